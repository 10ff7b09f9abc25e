// The flash bootloader model: decodes every block the host writes and answers it with a status.
// It keeps its own definition of the wire format (ids, lengths, offsets, status words) on
// purpose, apart from the tool's flash/software_protocol.h: a wrong byte in the tool then fails
// a test instead of being read back the same wrong way.

#include "sim/flash_bootloader.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "digest/crc32.h"
#include "sim/wire.h"

namespace sim {
namespace {

using wire::load_le32;
using wire::load_split64;

constexpr size_t kHeadSize = 8;
constexpr size_t kNameFieldSize = 8;
constexpr uint32_t kMaxCustomPartitions = 8;
constexpr size_t kCustomEntriesOffset = 32;
constexpr size_t kCustomEntrySize = 16;

// Exact block length of each command id; 0 for ids the bootloader does not know.
constexpr size_t command_length(uint32_t id) {
  constexpr std::array<size_t, 9> kLengths{0, 164, 52, 24, 16, 8, 8, 12, 272};
  return id < kLengths.size() ? kLengths[id] : 0;
}

struct FixedPartition {
  std::string_view name;
  uint64_t size;
};

constexpr std::array<FixedPartition, 5> kFixedPartitions{{
    {"bst", kBootstrapPartitionSize},
    {"bld", kBootloaderPartitionSize},
    {"bda", kOsloaderPartitionSize},
    {"msc", kMiscPartitionSize},
    {"mta", kMetaPartitionSize},
}};

constexpr std::string_view kKernelPartition = "kna";
constexpr std::string_view kRootfsPartition = "rfa";

bool is_builtin_partition(std::string_view name) {
  return name == kKernelPartition || name == kRootfsPartition ||
         std::ranges::any_of(kFixedPartitions,
                             [name](const FixedPartition& fixed) { return fixed.name == name; });
}

// A zero-padded name field of 8 bytes: printable characters, then only zero bytes. An empty
// name is returned as an empty text; a field that breaks the rule gives nothing.
std::optional<std::string> name_field(std::span<const uint8_t> block, size_t offset) {
  const auto field = block.subspan(offset, kNameFieldSize);
  const auto end = std::ranges::find(field, uint8_t{0});
  if (!std::all_of(end, field.end(), [](uint8_t byte) { return byte == 0; })) {
    return std::nullopt;
  }
  std::string name(field.begin(), end);
  if (!std::ranges::all_of(name, [](char c) { return c > ' ' && c < 0x7F; })) {
    return std::nullopt;
  }
  return name;
}

bool all_zero(std::span<const uint8_t> bytes) {
  return std::ranges::all_of(bytes, [](uint8_t byte) { return byte == 0; });
}

// a + b, or nothing when the sum does not fit 64 bits.
std::optional<uint64_t> checked_add(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return std::nullopt;
  }
  return sum;
}

}  // namespace

FlashBootloader::FlashBootloader(FlashStore& store, uint64_t flash_capacity)
    : store_(store), flash_capacity_(flash_capacity) {}

BlockHead FlashBootloader::classify(std::span<const uint8_t> block) const {
  if (phase_ == Phase::AwaitData) {
    return {BlockKind::Data, 0};
  }
  if (block.size() < kHeadSize || load_le32(block, 0) != kCommandSignature) {
    return {BlockKind::Malformed, 0};
  }
  return {BlockKind::Command, load_le32(block, 4)};
}

uint32_t FlashBootloader::handle(std::span<const uint8_t> block) {
  const BlockHead head = classify(block);
  uint32_t status = kStatusInvalidParameter;
  switch (head.kind) {
    case BlockKind::Data:
      status = data_block(block);
      break;
    case BlockKind::Command:
      record(head.command_id);
      status = dispatch(head.command_id, block);
      break;
    case BlockKind::Malformed:
      break;
  }
  if (!store_.save() && status == kStatusOk) {
    status = kStatusWriteFailed;
  }
  return status;
}

uint32_t FlashBootloader::refuse(std::span<const uint8_t> block, uint32_t status) {
  const BlockHead head = classify(block);
  if (head.kind == BlockKind::Command) {
    record(head.command_id);
    store_.save();
  }
  phase_ = Phase::Idle;  // as with any refusal, an image in progress is abandoned
  return status;
}

void FlashBootloader::reset() {
  layout_set_ = false;
  images_started_ = false;
  phase_ = Phase::Idle;
  image_.clear();
}

void FlashBootloader::record(uint32_t id) {
  store_.record_command(id);
}

uint32_t FlashBootloader::dispatch(uint32_t id, std::span<const uint8_t> block) {
  const size_t expected_length = command_length(id);
  if (expected_length == 0 || block.size() != expected_length) {
    return kStatusInvalidParameter;
  }
  if (id == kCommandReboot) {
    return reboot();
  }
  if (id != kCommandPartitionDetails && !layout_set_) {
    return kStatusInvalidSetup;
  }
  // Inside an image only the header of its next block may come.
  if (phase_ != Phase::Idle && id != kCommandBlockHeader) {
    return kStatusInvalidParameter;
  }
  switch (id) {
    case kCommandPartitionDetails:
      return partition_details(block);
    case kCommandImageHeader:
      return image_header(block);
    case kCommandBlockHeader:
      return block_header(block);
    case kCommandErasePartition:
      return erase_partition(block);
    case kCommandPtbWrite:
      return ptb_write();
    case kCommandDeviceId:
      return device_id(block);
    default:
      return signature(block);
  }
}

uint32_t FlashBootloader::partition_details(std::span<const uint8_t> block) {
  if (images_started_) {
    return kStatusInvalidSetup;  // the layout is fixed once images are being written
  }
  PartitionDetails details;
  details.ota_enabled = load_le32(block, 8);
  details.kernel_maxsize = load_split64(block, 12);
  details.rootfs_maxsize = load_split64(block, 20);
  const uint32_t custom_count = load_le32(block, 28);
  details.move_calib = load_le32(block, 160);
  if (details.ota_enabled > 1 || details.move_calib > 1 || custom_count > kMaxCustomPartitions) {
    return kStatusInvalidParameter;
  }
  for (uint32_t i = 0; i < kMaxCustomPartitions; ++i) {
    const size_t offset = kCustomEntriesOffset + i * kCustomEntrySize;
    if (i >= custom_count) {
      if (!all_zero(block.subspan(offset, kCustomEntrySize))) {
        return kStatusInvalidParameter;
      }
      continue;
    }
    const std::optional<std::string> name = name_field(block, offset);
    if (!name) {
      return kStatusInvalidParameter;
    }
    const bool duplicate = std::ranges::any_of(
        details.custom, [&name](const CustomPartition& other) { return other.name == *name; });
    if (name->empty() || duplicate || is_builtin_partition(*name)) {
      return kStatusPtbDetails;
    }
    details.custom.push_back({*name, load_split64(block, offset + 8)});
  }

  // With OTA the kernel and the root file system are kept twice (active and update copy).
  const uint64_t copies = details.ota_enabled ? 2 : 1;
  std::optional<uint64_t> total = 0;
  for (const FixedPartition& fixed : kFixedPartitions) {
    total = checked_add(*total, fixed.size);
  }
  for (uint64_t copy = 0; copy < copies && total; ++copy) {
    total = checked_add(*total, details.kernel_maxsize);
    total = total ? checked_add(*total, details.rootfs_maxsize) : total;
  }
  for (const CustomPartition& custom : details.custom) {
    total = total ? checked_add(*total, custom.maxsize) : total;
  }
  if (!total) {
    return kStatusOverflow;
  }
  if (*total > flash_capacity_) {
    return kStatusSizeInvalid;
  }
  store_.set_partition_details(std::move(details));
  layout_set_ = true;
  return kStatusOk;
}

uint32_t FlashBootloader::image_header(std::span<const uint8_t> block) {
  const std::optional<std::string> name = name_field(block, 8);
  if (!name || name->empty()) {
    return kStatusInvalidParameter;
  }
  const std::optional<uint64_t> capacity = partition_size(*name);
  if (!capacity) {
    return kStatusInvalidParameter;
  }
  const uint64_t size = load_split64(block, 16);
  const uint32_t length = load_le32(block, 24);
  const uint32_t offset = load_le32(block, 28);
  const uint32_t end_marker = load_le32(block, 32);
  const uint32_t crc = load_le32(block, 36);
  const uint32_t load_address = load_le32(block, 40);
  if (offset != 0 || !all_zero(block.subspan(44, 8))) {
    return kStatusInvalidParameter;
  }
  if (size == 0 || size > *capacity) {
    return kStatusSizeInvalid;
  }
  image_ = *name;
  if (!store_.begin_image(image_, size, load_address)) {
    return kStatusWriteFailed;
  }
  images_started_ = true;
  return announce_block(length, end_marker, crc);
}

uint32_t FlashBootloader::block_header(std::span<const uint8_t> block) {
  if (phase_ != Phase::AwaitBlockHeader) {
    return kStatusInvalidParameter;
  }
  if (load_le32(block, 12) != 0) {
    return kStatusInvalidParameter;
  }
  return announce_block(load_le32(block, 8), load_le32(block, 16), load_le32(block, 20));
}

uint32_t FlashBootloader::announce_block(uint32_t length, uint32_t end_marker, uint32_t crc) {
  const StoredImage& image = store_.contents().images.at(image_);
  const uint64_t remaining = image.size - image.received;
  uint32_t status = kStatusOk;
  if (length == 0 || end_marker > 1) {
    status = kStatusInvalidParameter;
  } else if (length > kReceiveBufferSize) {
    status = kStatusOutOfMemory;
  } else if (length > remaining) {
    status = kStatusOverflow;
  } else if ((end_marker == 1) != (length == remaining)) {
    status = kStatusInvalidParameter;  // the end marker must sit exactly on the last block
  }
  if (status != kStatusOk) {
    phase_ = Phase::Idle;  // the image is abandoned
    return status;
  }
  block_length_ = length;
  block_crc_ = crc;
  block_ends_image_ = end_marker == 1;
  phase_ = Phase::AwaitData;
  return kStatusOk;
}

uint32_t FlashBootloader::data_block(std::span<const uint8_t> block) {
  phase_ = Phase::Idle;  // a refused block abandons the image
  if (block.size() != block_length_) {
    return kStatusSizeMismatch;
  }
  if (crc32_internal(block.data(), block.size()) != block_crc_) {
    return kStatusCrc;
  }
  if (!store_.append_image(image_, block)) {
    return kStatusWriteFailed;
  }
  phase_ = block_ends_image_ ? Phase::Idle : Phase::AwaitBlockHeader;
  return kStatusOk;
}

uint32_t FlashBootloader::erase_partition(std::span<const uint8_t> block) {
  const std::optional<std::string> name = name_field(block, 8);
  if (!name || name->empty() || !partition_size(*name)) {
    return kStatusInvalidParameter;
  }
  return store_.erase(*name) ? kStatusOk : kStatusEraseFailed;
}

uint32_t FlashBootloader::ptb_write() {
  store_.set_ptb_written();
  return kStatusOk;
}

uint32_t FlashBootloader::reboot() {
  phase_ = Phase::Idle;
  store_.set_rebooted();
  return kStatusOk;
}

uint32_t FlashBootloader::device_id(std::span<const uint8_t> block) {
  store_.set_device_id(load_le32(block, 8));
  return kStatusOk;
}

uint32_t FlashBootloader::signature(std::span<const uint8_t> block) {
  const std::optional<std::string> name = name_field(block, 8);
  if (!name || (*name != "bst" && *name != "bld")) {
    return kStatusInvalidParameter;
  }
  const auto& images = store_.contents().images;
  const auto image = images.find(*name);
  // Only a boot image that has arrived whole, and only once.
  if (image == images.end() || !image->second.complete() || image->second.signature) {
    return kStatusInvalidParameter;
  }
  store_.set_signature(*name, block.subspan<16, kImageSignatureSize>());
  return kStatusOk;
}

std::optional<uint64_t> FlashBootloader::partition_size(const std::string& name) const {
  for (const FixedPartition& fixed : kFixedPartitions) {
    if (fixed.name == name) {
      return fixed.size;
    }
  }
  const PartitionDetails& details = *store_.contents().partition_details;
  if (name == kKernelPartition) {
    return details.kernel_maxsize;
  }
  if (name == kRootfsPartition) {
    return details.rootfs_maxsize;
  }
  for (const CustomPartition& custom : details.custom) {
    if (custom.name == name) {
      return custom.maxsize;
    }
  }
  return std::nullopt;
}

}  // namespace sim
