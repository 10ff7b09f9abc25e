#pragma once
// The flash bootloader's software-mode wire format, and nothing but it: command ids, the length
// and field offsets of every block, the 16-byte response, the module's status words, one builder
// per block and the response parser. No I/O: the device manager moves the bytes these make and
// the session decides what to send. The simulator keeps an independent decoder on purpose.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Every command block opens with SW_CMD_SIGNATURE_WORD and its command id; raw image data
// travels without a head. Every response opens with SW_RESPONSE_SIGNATURE_WORD.
inline constexpr uint32_t SW_CMD_SIGNATURE_WORD = 0x4B434D44;       // "DMCK" on the wire
inline constexpr uint32_t SW_RESPONSE_SIGNATURE_WORD = 0x4B525350;  // "PSRK" on the wire

inline constexpr uint32_t SW_CMD_PARTITION_DETAILS = 1;
inline constexpr uint32_t SW_CMD_IMAGE_HEADER = 2;
inline constexpr uint32_t SW_CMD_BLOCK_HEADER = 3;
inline constexpr uint32_t SW_CMD_ERASE_PARTITION = 4;
inline constexpr uint32_t SW_CMD_PTB_WRITE = 5;
inline constexpr uint32_t SW_CMD_REBOOT = 6;
inline constexpr uint32_t SW_CMD_DEVICE_ID = 7;
inline constexpr uint32_t SW_CMD_SIGNATURE = 8;

// The status word of a response: 0 accepts the block, anything else is the module's reason for
// refusing it (kavro_flash_device_status_string has their texts).
inline constexpr uint32_t SW_STATUS_OK = 0;
inline constexpr uint32_t SW_STATUS_INVALID_PARAMETER = 1;
inline constexpr uint32_t SW_STATUS_OVERFLOW = 2;
inline constexpr uint32_t SW_STATUS_PTB_DETAILS_FAILED = 3;
inline constexpr uint32_t SW_STATUS_PARTITION_SIZE_INVALID = 4;
inline constexpr uint32_t SW_STATUS_CRC_MISMATCH = 5;
inline constexpr uint32_t SW_STATUS_INVALID_PARTITION_SETUP = 6;
inline constexpr uint32_t SW_STATUS_FLASH_WRITE_FAILED = 7;
inline constexpr uint32_t SW_STATUS_OUT_OF_MEMORY = 8;
inline constexpr uint32_t SW_STATUS_SIZE_MISMATCH = 9;
inline constexpr uint32_t SW_STATUS_ERASE_FAILED = 10;

// The largest block of raw image data the bootloader takes at once: 2 MiB plus 16416 bytes.
inline constexpr size_t SW_MAX_DATA_BLOCK_LENGTH = 2113568;
// A partition name as the bootloader knows it ("bst", "rfa"): at most 8 characters,
// zero-padded, without a terminator when it fills the field.
inline constexpr size_t SW_NAME_FIELD_LENGTH = 8;
// The boot-image signature field; only keys of up to 2048 bits make signatures that fit.
inline constexpr size_t SW_SIGNATURE_FIELD_LENGTH = 256;
inline constexpr uint32_t SW_MAX_CUSTOM_PARTITIONS = 8;

// Byte offsets of every field, block by block; all values are little-endian 32-bit words, and a
// 64-bit value travels as two of them, the high word first.
namespace sw_block {
namespace head {
inline constexpr size_t SIGNATURE = 0, COMMAND_ID = 4, LENGTH = 8;
}
namespace partition_details {
inline constexpr size_t OTA_ENABLED = 8, KERNEL_MAXSIZE = 12, ROOTFS_MAXSIZE = 20,
                        CUSTOM_COUNT = 28, CUSTOM_ENTRIES = 32, CUSTOM_ENTRY_LENGTH = 16,
                        CUSTOM_NAME = 0, CUSTOM_MAXSIZE = 8,  // within an entry
    MOVE_CALIB = 160, LENGTH = 164;
}
namespace image_header {
inline constexpr size_t NAME = 8, IMAGE_SIZE = 16, BLOCK_LENGTH = 24, BLOCK_OFFSET = 28,
                        LAST_BLOCK = 32, CRC = 36, LOAD_ADDRESS = 40, LENGTH = 52;
}
namespace block_header {
inline constexpr size_t BLOCK_LENGTH = 8, LAST_BLOCK = 16, CRC = 20, LENGTH = 24;
}
namespace erase_partition {
inline constexpr size_t NAME = 8, LENGTH = 16;
}
namespace device_id {
inline constexpr size_t SLOT = 8, LENGTH = 12;
}
namespace signature {
inline constexpr size_t NAME = 8, SIGNATURE = 16, LENGTH = 272;
}
namespace response {
inline constexpr size_t SIGNATURE = 0, STATUS = 4, LENGTH = 16;  // bytes 8 to 15: not read
}
}  // namespace sw_block

template <size_t Length>
using sw_bytes = std::array<uint8_t, Length>;

struct sw_custom_partition {
  std::string_view name;  // cut to the name field
  uint64_t maxsize = 0;
};

// What the partition details announce. `custom_count` goes on the wire as given; entries at
// and beyond it, and beyond the eighth, stay zero.
struct sw_partition_layout {
  uint32_t ota_enabled = 0;
  uint64_t kernel_maxsize = 0;
  uint64_t rootfs_maxsize = 0;
  uint32_t custom_count = 0;
  std::array<sw_custom_partition, SW_MAX_CUSTOM_PARTITIONS> custom{};
  uint32_t move_calib = 0;
};

// One announced block of an image: its length, whether it ends the image, its CRC-32.
struct sw_data_block {
  uint32_t length = 0;
  bool last = false;
  uint32_t crc = 0;
};

sw_bytes<sw_block::partition_details::LENGTH> sw_partition_details(
    const sw_partition_layout& layout);
// Announces an image and its first block; `load_address` is what the module loads it to.
sw_bytes<sw_block::image_header::LENGTH> sw_image_header(std::string_view device_name,
                                                         uint64_t image_size, sw_data_block block,
                                                         uint32_t load_address);
// Announces every later block of the image.
sw_bytes<sw_block::block_header::LENGTH> sw_block_header(sw_data_block block);
sw_bytes<sw_block::erase_partition::LENGTH> sw_erase_partition(std::string_view device_name);
sw_bytes<sw_block::head::LENGTH> sw_ptb_write();
sw_bytes<sw_block::head::LENGTH> sw_reboot();
sw_bytes<sw_block::device_id::LENGTH> sw_device_id(uint32_t slot);
sw_bytes<sw_block::signature::LENGTH> sw_signature(
    std::string_view device_name, std::span<const uint8_t, SW_SIGNATURE_FIELD_LENGTH> signature);

// The status word of a response; nothing when the response lacks its signature.
std::optional<uint32_t> sw_response_status(
    std::span<const uint8_t, sw_block::response::LENGTH> response);
