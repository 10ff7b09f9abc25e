// Builders of the software-mode command blocks and the parser of the module's response.

#include "flash/software_protocol.h"

#include <algorithm>

#include "common/little_endian.h"

namespace {

// A zero-filled block of `Length` bytes opened by the common head.
template <size_t Length>
sw_bytes<Length> command_head(uint32_t command_id) {
  sw_bytes<Length> block{};
  store_le32(block, sw_block::head::SIGNATURE, SW_CMD_SIGNATURE_WORD);
  store_le32(block, sw_block::head::COMMAND_ID, command_id);
  return block;
}

void put_u64_high_first(std::span<uint8_t> block, size_t offset, uint64_t value) {
  store_le32(block, offset, static_cast<uint32_t>(value >> 32));
  store_le32(block, offset + 4, static_cast<uint32_t>(value));
}

void put_name(std::span<uint8_t> block, size_t offset, std::string_view name) {
  std::copy_n(name.begin(), std::min(name.size(), SW_NAME_FIELD_LENGTH), block.begin() + offset);
}

}  // namespace

sw_bytes<sw_block::partition_details::LENGTH> sw_partition_details(
    const sw_partition_layout& layout) {
  namespace field = sw_block::partition_details;
  auto block = command_head<field::LENGTH>(SW_CMD_PARTITION_DETAILS);
  store_le32(block, field::OTA_ENABLED, layout.ota_enabled);
  put_u64_high_first(block, field::KERNEL_MAXSIZE, layout.kernel_maxsize);
  put_u64_high_first(block, field::ROOTFS_MAXSIZE, layout.rootfs_maxsize);
  store_le32(block, field::CUSTOM_COUNT, layout.custom_count);
  store_le32(block, field::MOVE_CALIB, layout.move_calib);
  for (uint32_t i = 0; i < std::min(layout.custom_count, SW_MAX_CUSTOM_PARTITIONS); ++i) {
    const size_t entry = field::CUSTOM_ENTRIES + field::CUSTOM_ENTRY_LENGTH * i;
    put_name(block, entry + field::CUSTOM_NAME, layout.custom[i].name);
    put_u64_high_first(block, entry + field::CUSTOM_MAXSIZE, layout.custom[i].maxsize);
  }
  return block;
}

sw_bytes<sw_block::image_header::LENGTH> sw_image_header(std::string_view device_name,
                                                         uint64_t image_size, sw_data_block block,
                                                         uint32_t load_address) {
  namespace field = sw_block::image_header;
  auto bytes = command_head<field::LENGTH>(SW_CMD_IMAGE_HEADER);
  put_name(bytes, field::NAME, device_name);
  put_u64_high_first(bytes, field::IMAGE_SIZE, image_size);
  store_le32(bytes, field::BLOCK_LENGTH, block.length);
  store_le32(bytes, field::LAST_BLOCK, block.last ? 1 : 0);
  store_le32(bytes, field::CRC, block.crc);
  store_le32(bytes, field::LOAD_ADDRESS, load_address);
  return bytes;
}

sw_bytes<sw_block::block_header::LENGTH> sw_block_header(sw_data_block block) {
  namespace field = sw_block::block_header;
  auto bytes = command_head<field::LENGTH>(SW_CMD_BLOCK_HEADER);
  store_le32(bytes, field::BLOCK_LENGTH, block.length);
  store_le32(bytes, field::LAST_BLOCK, block.last ? 1 : 0);
  store_le32(bytes, field::CRC, block.crc);
  return bytes;
}

sw_bytes<sw_block::erase_partition::LENGTH> sw_erase_partition(std::string_view device_name) {
  auto block = command_head<sw_block::erase_partition::LENGTH>(SW_CMD_ERASE_PARTITION);
  put_name(block, sw_block::erase_partition::NAME, device_name);
  return block;
}

sw_bytes<sw_block::head::LENGTH> sw_ptb_write() {
  return command_head<sw_block::head::LENGTH>(SW_CMD_PTB_WRITE);
}

sw_bytes<sw_block::head::LENGTH> sw_reboot() {
  return command_head<sw_block::head::LENGTH>(SW_CMD_REBOOT);
}

sw_bytes<sw_block::device_id::LENGTH> sw_device_id(uint32_t slot) {
  auto block = command_head<sw_block::device_id::LENGTH>(SW_CMD_DEVICE_ID);
  store_le32(block, sw_block::device_id::SLOT, slot);
  return block;
}

sw_bytes<sw_block::signature::LENGTH> sw_signature(
    std::string_view device_name, std::span<const uint8_t, SW_SIGNATURE_FIELD_LENGTH> signature) {
  namespace field = sw_block::signature;
  auto block = command_head<field::LENGTH>(SW_CMD_SIGNATURE);
  put_name(block, field::NAME, device_name);
  std::copy(signature.begin(), signature.end(), block.begin() + field::SIGNATURE);
  return block;
}

std::optional<uint32_t> sw_response_status(
    std::span<const uint8_t, sw_block::response::LENGTH> response) {
  if (load_le32(response, sw_block::response::SIGNATURE) != SW_RESPONSE_SIGNATURE_WORD) {
    return std::nullopt;
  }
  return load_le32(response, sw_block::response::STATUS);
}
