#pragma once
// Firmware archives: opening one from a file or a built-in base archive, its manifest and
// partitions, block-wise extraction and the publisher signature check. Every operation takes the
// address of the caller's handle; codes are ARCHIVE_ERR_*.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "firmware/archive_format.h"

struct kavro_archive_t;

// Result codes of the archive operations (0 is success); kavro_archive_error_string describes
// each. Manifest partition i that is invalid gives -(10 + i), from -11 (bootstrap) to -25
// (custom_h): archive_error_invalid_partition(i).
inline constexpr int ARCHIVE_ERR_INVALID_PARAMETERS = -1;
inline constexpr int ARCHIVE_ERR_NO_MEMORY = -2;
inline constexpr int ARCHIVE_ERR_OPEN = -3;
inline constexpr int ARCHIVE_ERR_EXTRACT = -4;
inline constexpr int ARCHIVE_ERR_NO_MANIFEST = -5;
inline constexpr int ARCHIVE_ERR_MULTIPLE_MANIFESTS = -6;
inline constexpr int ARCHIVE_ERR_MANIFEST_PARSE = -7;
inline constexpr int ARCHIVE_ERR_MISSING_PLATFORM = -8;
inline constexpr int ARCHIVE_ERR_MISSING_FIRMWARE_VERSION = -9;
inline constexpr int ARCHIVE_ERR_MISSING_PARTITIONS = -10;
inline constexpr int ARCHIVE_ERR_INVALID_BOOTSTRAP = -11;
inline constexpr int ARCHIVE_ERR_INVALID_BOOTLOADER = -12;
inline constexpr int ARCHIVE_ERR_INVALID_OSLOADER = -13;
inline constexpr int ARCHIVE_ERR_INVALID_META = -14;
inline constexpr int ARCHIVE_ERR_INVALID_MISC = -15;
inline constexpr int ARCHIVE_ERR_INVALID_KERNEL = -16;
inline constexpr int ARCHIVE_ERR_INVALID_ROOTFS = -17;
inline constexpr int ARCHIVE_ERR_INVALID_CUSTOM_A = -18;
inline constexpr int ARCHIVE_ERR_INVALID_CUSTOM_B = -19;
inline constexpr int ARCHIVE_ERR_INVALID_CUSTOM_C = -20;
inline constexpr int ARCHIVE_ERR_INVALID_CUSTOM_D = -21;
inline constexpr int ARCHIVE_ERR_INVALID_CUSTOM_E = -22;
inline constexpr int ARCHIVE_ERR_INVALID_CUSTOM_F = -23;
inline constexpr int ARCHIVE_ERR_INVALID_CUSTOM_G = -24;
inline constexpr int ARCHIVE_ERR_INVALID_CUSTOM_H = -25;
inline constexpr int ARCHIVE_ERR_PARTITION_NOT_FOUND = -26;
inline constexpr int ARCHIVE_ERR_UNKNOWN_PARAMETER = -27;
inline constexpr int ARCHIVE_ERR_PLATFORM = -28;
inline constexpr int ARCHIVE_ERR_SIGNATURE = -29;

// The code of an invalid manifest entry for partition `id`, and the partition an invalid-entry
// code names (0 for any other code).
constexpr int archive_error_invalid_partition(int id) {
  return ARCHIVE_ERR_MISSING_PARTITIONS - id;
}
constexpr int archive_invalid_partition_of(int code) {
  return code <= ARCHIVE_ERR_INVALID_BOOTSTRAP && code >= ARCHIVE_ERR_INVALID_CUSTOM_H
             ? ARCHIVE_ERR_MISSING_PARTITIONS - code
             : 0;
}

// Selectors of kavro_archive_get_partition_param.
inline constexpr uint32_t PARAM_SIZE = 0;
inline constexpr uint32_t PARAM_REQUIRED_FIXED_SIZE = 1;
inline constexpr uint32_t PARAM_SIGNED = 2;
inline constexpr uint32_t PARAM_COREMHZ_OFFSET = 3;
inline constexpr uint32_t PARAM_IDSPMHZ_OFFSET = 4;
inline constexpr uint32_t PARAM_DRAMMHZ_OFFSET = 5;
inline constexpr uint32_t PARAM_CORTEXMHZ_OFFSET = 6;
inline constexpr uint32_t PARAM_BLD_SIZE_OFFSET = 7;
inline constexpr uint32_t PARAM_BLD_LOAD_ADDR_OFFSET = 8;
inline constexpr uint32_t PARAM_PUBLIC_KEY_OFFSET = 9;
inline constexpr uint32_t PARAM_LOAD_ADDRESS = 10;

int kavro_archive_init(kavro_archive_t** archive, const char* path);
int kavro_archive_init_embedded(kavro_archive_t** archive, const char* platform,
                                uint32_t hw_version);
void kavro_archive_destroy(kavro_archive_t** archive);
const char* kavro_archive_error_string(int code);

int kavro_archive_verify_signature(kavro_archive_t** archive, uint32_t partition);

int kavro_archive_extract_setup(kavro_archive_t** archive, int partition);
int kavro_archive_extract_setup_filename(kavro_archive_t** archive, const char* name);
int kavro_archive_extract_block(kavro_archive_t** archive, const void** block, size_t* size,
                                int64_t* offset);

int kavro_archive_contains_bootloaders(kavro_archive_t** archive);
int kavro_archive_contains_ota_parts(kavro_archive_t** archive);
int kavro_archive_contains_partition(kavro_archive_t** archive, int partition);
const char* kavro_archive_get_platform(kavro_archive_t** archive);
const char* kavro_archive_get_firmware_version(kavro_archive_t** archive);
int64_t kavro_archive_get_partition_size(kavro_archive_t** archive, int partition);
int64_t kavro_archive_get_partition_param(kavro_archive_t** archive, int partition,
                                          uint32_t selector);
const char* kavro_archive_get_image_type_name(int partition);
const char* kavro_archive_get_compressed_filename(kavro_archive_t** archive, int partition);

// Every archive open waits one second first (the product keeps that pause). Tests shorten it
// here; the product never calls this.
void kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds delay);
