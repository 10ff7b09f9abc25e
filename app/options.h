#pragma once
// The command line of kavro-flash: the options and their checks.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// What the command line asked for. An empty path means the option was not given. Paths are
// kept whole: a long path is passed on as it is rather than cut.
struct Options {
  std::string ads_file;
  std::string base_file;
  std::string ota_file;
  std::string settings_file;
  std::string public_key;
  std::string private_key;
  uint32_t move_calib = 0;
};

// The options that name what every flash session receives, by letter: each path option copies
// its argument into its field, -f sets move_calib. kavro-station takes them from this table too
// and hands them on to the kavro-flash it runs.
struct FirmwareOption {
  char letter;
  std::string Options::*path;  // null for -f, which takes no argument
};
inline const std::array<FirmwareOption, 7> kFirmwareOptions{{{'a', &Options::ads_file},
                                                             {'b', &Options::base_file},
                                                             {'f', nullptr},
                                                             {'o', &Options::ota_file},
                                                             {'p', &Options::public_key},
                                                             {'q', &Options::private_key},
                                                             {'s', &Options::settings_file}}};
// The table as getopt's option string: "a:b:fo:p:q:s:".
std::string firmware_option_string();
// Every option of kavro-flash as getopt reads them, the firmware options first;
// kavro-flash(1) describes each (a test holds the two together).
std::string flasher_option_string();
// Takes option `letter` (as getopt returned it) with its `argument` into `options`; false when
// it is not a firmware option.
bool take_firmware_option(int letter, const char* argument, Options& options);

// An image given, and a secure-boot key pair that is complete and passes its checks: the exit
// status when not (after the message, and the reason where there is one).
std::optional<int> check_image_and_key_pair(const Options& options);

// Parses the options, prints the version or the usage text when asked, and validates the
// secure-boot key pair. Returns the exit status when the program must end here, nothing when
// it goes on to flash.
std::optional<int> run_startup_checks(int argc, char* argv[], Options& options);
