#pragma once
// The command line of kavro-flash: the options and their checks.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The options, as getopt reads them; kavro-flash(1) describes each (a test holds the two
// together). The leading '+' makes glibc's getopt stop at the first plain argument instead of
// moving options that follow it to the front; that argument is then refused.
inline constexpr std::string_view kOptionString = "+a:b:fgo:p:q:s:Vh";

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

// Parses the options, prints the version or the usage text when asked, and validates the
// secure-boot key pair. Returns the exit status when the program must end here, nothing when
// it goes on to flash.
std::optional<int> run_startup_checks(int argc, char* argv[], Options& options);
