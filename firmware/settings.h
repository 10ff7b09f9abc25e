#pragma once
// Flashing settings: partition sizes, custom partitions and clocks, from the built-in defaults
// of a platform or from a JSON settings file. The strings the getters return live as long as
// the record. Codes are SETTINGS_*; kavro_settings_error_string words each.

#include <cstdint>
#include <string>
#include <vector>

// Result codes of the settings operations (0 is success).
inline constexpr int SETTINGS_INVALID_PARAMETER = -1;
inline constexpr int SETTINGS_NO_MEMORY = -2;
inline constexpr int SETTINGS_OPEN_FAILED = -3;
inline constexpr int SETTINGS_BAD_FILE_SIZE = -4;
inline constexpr int SETTINGS_READ_FAILED = -5;
inline constexpr int SETTINGS_BAD_JSON = -6;
inline constexpr int SETTINGS_NO_SETTINGS_OBJECT = -7;
inline constexpr int SETTINGS_NO_PLATFORM = -8;
inline constexpr int SETTINGS_NO_OTA_ENABLED = -10;
inline constexpr int SETTINGS_NO_KERNEL_MAXSIZE = -11;
inline constexpr int SETTINGS_NO_ROOTFS_MAXSIZE = -12;
inline constexpr int SETTINGS_BAD_CUSTOM_PARTITION = -13;
inline constexpr int SETTINGS_NOT_FOUND = -14;
inline constexpr int SETTINGS_BAD_OTA_ALTERNATIVE = -15;

// The largest settings file read: one JSON document of at most 128 KiB bounds the memory a
// single parse can take.
inline constexpr long SETTINGS_MAX_FILE_SIZE = 0x20000;

struct custom_partition {
  char name[8];  // NUL-terminated only when shorter than 8
  uint64_t maxsize;
  char ota_alternative[8];
  int32_t flags;
};

struct kavro_settings {
  char platform[64];
  uint32_t ota_enabled;
  uint64_t kernel_maxsize;
  uint64_t rootfs_maxsize;
  uint32_t custom_part_count;
  custom_partition custom[8];
  uint32_t idsp_mhz;
  uint32_t core_mhz;
  uint32_t cortex_mhz;
  uint32_t dram_mhz;
};

int kavro_settings_init(kavro_settings** settings);
void kavro_settings_destroy(kavro_settings** settings);
int kavro_settings_load_defaults(kavro_settings** settings, const char* platform);
// With `warnings`, also adds one line for each value of the file that is not read as written
// and each key it does not know ("settings: partitions.kernel_maxsize is the text \"16M\", read
// as 16"); the values are read the same either way.
int kavro_settings_parse_json_file(kavro_settings** settings, const char* path,
                                   std::vector<std::string>* warnings = nullptr);
const char* kavro_settings_error_string(int code);

const char* kavro_settings_get_platform(kavro_settings** settings);
uint32_t kavro_settings_get_ota_enabled(kavro_settings** settings);
uint64_t kavro_settings_get_kernel_maxsize(kavro_settings** settings);
uint64_t kavro_settings_get_rootfs_maxsize(kavro_settings** settings);
uint32_t kavro_settings_get_custom_part_count(kavro_settings** settings);
const char* kavro_settings_get_custom_name(kavro_settings** settings, int32_t index);
uint64_t kavro_settings_get_custom_maxsize(kavro_settings** settings, int32_t index);
uint32_t kavro_settings_get_idsp_mhz(kavro_settings** settings);
uint32_t kavro_settings_get_core_mhz(kavro_settings** settings);
uint32_t kavro_settings_get_cortex_mhz(kavro_settings** settings);
uint32_t kavro_settings_get_dram_mhz(kavro_settings** settings);
