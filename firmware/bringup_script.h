#pragma once

#include <cstdint>

inline constexpr uint32_t ADS_CMD_NONE = 0;
inline constexpr uint32_t ADS_CMD_WRITE = 1;
inline constexpr uint32_t ADS_CMD_POLL = 2;
inline constexpr uint32_t ADS_CMD_USLEEP = 3;
inline constexpr int ADS_END_OF_SCRIPT = -5;

struct ads_handle;

int kavro_ads_init(ads_handle** handle, const char* platform, uint32_t hw_version);
int kavro_ads_init_file(ads_handle** handle, const char* path);
void kavro_ads_destroy(ads_handle** handle);
int kavro_ads_get_next_command(ads_handle** handle, uint32_t* type, uint32_t* arg1, uint32_t* arg2,
                               uint32_t* arg3);
const char* kavro_ads_error_string(int code);
