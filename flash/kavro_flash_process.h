#pragma once

#include <cstdint>

struct dm_state;
struct flash_session;

inline constexpr uint32_t FLASH_STATE_STARTED = 0;
inline constexpr uint32_t FLASH_STATE_ADS = 2;
inline constexpr uint32_t FLASH_STATE_BLD_DOWNLOAD = 3;
inline constexpr uint32_t FLASH_STATE_MODE_SWITCH = 4;
inline constexpr uint32_t FLASH_STATE_SOFTWARE = 5;
inline constexpr uint32_t FLASH_STATE_DONE = 6;
inline constexpr uint32_t FLASH_STATE_FAILED = 7;

int kavro_flash_init(flash_session** session, const char* ads_file, const char* settings_file,
                     const char* base_file, const char* ota_file, dm_state** dm, int index,
                     uint32_t reboot, uint32_t move_calib, const char* public_key_file,
                     const char* private_key_file);
void kavro_flash_destroy(flash_session** session);
int kavro_flash_get_status(flash_session** session, uint32_t* state, uint32_t* error,
                           uint32_t* sub_error, uint32_t* progress);
const char* kavro_flash_error_string(int code);
void kavro_flash_print_error_string(int error, int sub_error);
