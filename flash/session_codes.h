#pragma once
// The states and error codes of a flash session: what kavro_flash_get_status reports and what
// the session thread records. Shared by the public operations and the session's own parts.

#include <cstdint>

// States, in the order a successful session passes through them (1 is not used).
inline constexpr uint32_t FLASH_STATE_STARTED = 0;
inline constexpr uint32_t FLASH_STATE_ADS = 2;
inline constexpr uint32_t FLASH_STATE_BLD_DOWNLOAD = 3;
inline constexpr uint32_t FLASH_STATE_MODE_SWITCH = 4;
inline constexpr uint32_t FLASH_STATE_SOFTWARE = 5;
inline constexpr uint32_t FLASH_STATE_DONE = 6;
inline constexpr uint32_t FLASH_STATE_FAILED = 7;

// Error codes of a flash session (kavro_flash_error_string has their texts).
inline constexpr int FLASH_ERR_INVALID_PARAMETERS = -1;
inline constexpr int FLASH_ERR_NO_MEMORY = -2;
inline constexpr int FLASH_ERR_ARCHIVE = -3;
inline constexpr int FLASH_ERR_DEVICE_MANAGER = -4;
inline constexpr int FLASH_ERR_SETTINGS = -5;
inline constexpr int FLASH_ERR_ADS = -6;
inline constexpr int FLASH_ERR_SESSION_EXISTS = -7;
inline constexpr int FLASH_ERR_INVALID_ADS_COMMAND = -8;
inline constexpr int FLASH_ERR_NO_FLASH_BOOTLOADER = -9;
inline constexpr int FLASH_ERR_MISSING_PARTITION = -10;
inline constexpr int FLASH_ERR_INVALID_FILE_SIZE = -11;
inline constexpr int FLASH_ERR_BASE_MISSING_BASE_PARTS = -12;
inline constexpr int FLASH_ERR_OTA_MISSING_OTA_PARTS = -13;
inline constexpr int FLASH_ERR_BASE_MISSING_OTA_PARTS = -14;
inline constexpr int FLASH_ERR_MODE_SWITCH_TIMEOUT = -15;
inline constexpr int FLASH_ERR_LIBUSB = -16;
inline constexpr int FLASH_ERR_PLATFORM_MISMATCH = -17;
inline constexpr int FLASH_ERR_PARAMETER_UPDATE = -18;
inline constexpr int FLASH_ERR_INVALID_PLATFORM = -19;
inline constexpr int FLASH_ERR_PRIVATE_KEY = -20;
inline constexpr int FLASH_ERR_SIGNATURE = -21;
inline constexpr int FLASH_ERR_DEVICE_STATUS = -22;

inline constexpr int FLASH_MAX_SESSIONS = 64;
