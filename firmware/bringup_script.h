#pragma once
// Bring-up scripts (ADS): the register writes, polls and pauses that set up a module's clocks
// and DRAM, replayed in boot-ROM mode before the flash bootloader is downloaded. A script is
// built in per product row or read from a file, then handed out one command at a time.

#include <cstdint>
#include <string>
#include <vector>

// Result codes of the script operations (0 is success); kavro_ads_error_string words the first
// three and calls every other code "Unknown error".
inline constexpr int ADS_INVALID_PARAMETER = -1;
// Also the code of a script file that cannot be read completely (an empty file included).
inline constexpr int ADS_NO_MEMORY = -2;
inline constexpr int ADS_NOT_FOUND = -3;
inline constexpr int ADS_PARSE_FAILED = -4;
// kavro_ads_get_next_command past the last command.
inline constexpr int ADS_END_OF_SCRIPT = -5;

inline constexpr uint32_t ADS_CMD_NONE = 0;
inline constexpr uint32_t ADS_CMD_WRITE = 1;
inline constexpr uint32_t ADS_CMD_POLL = 2;
inline constexpr uint32_t ADS_CMD_USLEEP = 3;

struct ads_handle;

int kavro_ads_init(ads_handle** handle, const char* platform, uint32_t hw_version);
// With `warnings`, also adds one line for each line of the file that is not read as written
// ("bring-up script: line 2 \"foo bar\" skipped: not a command or a number"); the commands are
// read the same either way.
int kavro_ads_init_file(ads_handle** handle, const char* path,
                        std::vector<std::string>* warnings = nullptr);
void kavro_ads_destroy(ads_handle** handle);
int kavro_ads_get_next_command(ads_handle** handle, uint32_t* type, uint32_t* arg1, uint32_t* arg2,
                               uint32_t* arg3);
const char* kavro_ads_error_string(int code);
