#pragma once
// The firmware archive format, read by the flasher (firmware/), written by kavro-pack (tools/)
// and explained in refusals (app/): entry names, manifest keys, partitions and ".sign" companions.
// Header-only, with nothing but constants, so that kavro-pack need not link the archive library.
//
// An archive holds one non-empty entry named "manifest", a JSON document
//   {"manifest": {"platform": ..., "firmware_version": ..., "partitions": {NAME: {...}, ...}}}
// whose partitions name their image entries; an image may have a companion entry of the same
// name plus ".sign" holding the publisher's signature over it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Partition identifiers, the rows of archive_partitions below; mask bit = 1 << (id - 1).
inline constexpr int PART_BOOTSTRAP = 1;
inline constexpr int PART_BOOTLOADER = 2;
inline constexpr int PART_OSLOADER = 3;
inline constexpr int PART_META = 4;
inline constexpr int PART_MISC = 5;
inline constexpr int PART_KERNEL = 6;
inline constexpr int PART_ROOTFS = 7;
inline constexpr int PART_CUSTOM_A = 8;
inline constexpr int PART_CUSTOM_H = 15;

struct archive_partition {
  std::string_view name;         // its key in the manifest's "partitions"
  uint32_t mask;                 // its bit in a set of partitions
  std::string_view device_name;  // the flash bootloader's name for it; empty: never flashed
};

// Row i describes partition identifier i; row 0 is the placeholder for "no partition".
inline constexpr std::array<archive_partition, 16> archive_partitions{{
    {"invalid", 0x0, ""},
    {"bootstrap", 0x1, "bst"},
    {"bootloader", 0x2, "bld"},
    {"osloader", 0x4, "bda"},
    {"meta", 0x8, "mta"},
    {"misc", 0x10, "msc"},
    {"kernel", 0x20, "kna"},
    {"rootfs", 0x40, "rfa"},
    {"custom_a", 0x80, ""},
    {"custom_b", 0x100, ""},
    {"custom_c", 0x200, ""},
    {"custom_d", 0x400, ""},
    {"custom_e", 0x800, ""},
    {"custom_f", 0x1000, ""},
    {"custom_g", 0x2000, ""},
    {"custom_h", 0x4000, ""},
}};

inline constexpr bool is_partition_id(int64_t partition) {
  return partition >= PART_BOOTSTRAP && partition < static_cast<int64_t>(archive_partitions.size());
}

// The partitions a base archive must hold (the boot chain) and those an OTA archive must hold.
inline constexpr std::array<int, 3> BASE_ARCHIVE_PARTITIONS{PART_BOOTSTRAP, PART_BOOTLOADER,
                                                            PART_MISC};
inline constexpr std::array<int, 4> OTA_ARCHIVE_PARTITIONS{PART_OSLOADER, PART_META, PART_KERNEL,
                                                           PART_ROOTFS};

// The mask bits of a list of partitions.
template <std::size_t N>
constexpr uint32_t partitions_mask(const std::array<int, N>& ids) {
  uint32_t mask = 0;
  for (const int id : ids) {
    mask |= archive_partitions[static_cast<std::size_t>(id)].mask;
  }
  return mask;
}

// The order in which a session sends the partitions it flashes; an archive that keeps its
// images in this order lets a reader meet each image when it is needed.
inline constexpr std::array<int, 7> PARTITION_SEND_ORDER{
    PART_BOOTSTRAP, PART_BOOTLOADER, PART_OSLOADER, PART_MISC, PART_META, PART_KERNEL, PART_ROOTFS};

// The manifest entry and its keys.
inline constexpr std::string_view MANIFEST_ENTRY = "manifest";
inline constexpr const char* MANIFEST_KEY_ROOT = "manifest";
inline constexpr const char* MANIFEST_KEY_PLATFORM = "platform";
inline constexpr const char* MANIFEST_KEY_FIRMWARE_VERSION = "firmware_version";
inline constexpr const char* MANIFEST_KEY_PARTITIONS = "partitions";
// The longest platform and firmware version texts kept from a manifest; longer ones are cut.
inline constexpr std::size_t MANIFEST_PLATFORM_MAX_LENGTH = 63;
inline constexpr std::size_t MANIFEST_FIRMWARE_VERSION_MAX_LENGTH = 15;

// Keys of one partition's object. Every partition needs a file name and size; the bootstrap its
// six patch offsets, the bootloader its key offset, osloader and kernel a non-zero load address.
inline constexpr const char* PARTITION_KEY_FILENAME = "filename";
inline constexpr const char* PARTITION_KEY_FILESIZE = "filesize";
inline constexpr const char* PARTITION_KEY_LOAD_ADDRESS = "load_address";
inline constexpr const char* PARTITION_KEY_REQUIRED_FIXED_SIZE = "required_fixed_size";
inline constexpr const char* PARTITION_KEY_SIGNED = "signed";
inline constexpr const char* PARTITION_KEY_PUBLIC_KEY_OFFSET = "public_key_offset";
inline constexpr const char* PARTITION_KEY_BLD_SIZE_OFFSET = "bld_size_offset";
inline constexpr const char* PARTITION_KEY_BLD_LOAD_ADDR_OFFSET = "bld_load_addr_offset";
inline constexpr const char* PARTITION_KEY_COREMHZ_OFFSET = "coremhz_offset";
inline constexpr const char* PARTITION_KEY_IDSPMHZ_OFFSET = "idspmhz_offset";
inline constexpr const char* PARTITION_KEY_DRAMMHZ_OFFSET = "drammhz_offset";
inline constexpr const char* PARTITION_KEY_CORTEXMHZ_OFFSET = "cortexmhz_offset";
// The bootstrap's patch offsets, in the order they are checked.
inline constexpr std::array<const char*, 6> PARTITION_KEYS_BOOTSTRAP_OFFSETS{
    PARTITION_KEY_BLD_SIZE_OFFSET, PARTITION_KEY_BLD_LOAD_ADDR_OFFSET,
    PARTITION_KEY_COREMHZ_OFFSET,  PARTITION_KEY_IDSPMHZ_OFFSET,
    PARTITION_KEY_DRAMMHZ_OFFSET,  PARTITION_KEY_CORTEXMHZ_OFFSET};

// True when partition `id` must give a non-zero load address.
inline constexpr bool partition_needs_load_address(int id) {
  return id == PART_OSLOADER || id == PART_KERNEL;
}

// A ".sign" companion: an RSA-4096 signature, PKCS#1 v1.5 padding over the SHA-256 digest of
// its image entry (archive_signature_scheme.h sets OpenSSL up for it).
inline constexpr std::string_view SIGNATURE_SUFFIX = ".sign";
inline constexpr std::size_t SIGNATURE_SIZE = 512;
inline constexpr std::size_t SIGNATURE_DIGEST_SIZE = 32;

// True when `name` is a companion's name: the suffix after at least one character.
inline constexpr bool is_signature_companion(std::string_view name) {
  return name.size() > SIGNATURE_SUFFIX.size() && name.ends_with(SIGNATURE_SUFFIX);
}
