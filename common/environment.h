#pragma once
// The environment variables each program reads. Every read names its variable through
// environment_name(), which compiles only for a name on the program's list, so a list never
// misses a variable its program reads; each program's manual describes its list (a test holds
// the two together).

#include <array>
#include <cstddef>
#include <string_view>

// kavro-flash and kavro-flash-sim (KAVRO_SIM_CONFIG is read by the simulator only).
inline constexpr std::array<std::string_view, 3> FLASHER_ENVIRONMENT{"KAVRO_DOWNLOAD_DEPTH",
                                                                     "TMPDIR", "KAVRO_SIM_CONFIG"};
// kavro-station (the two last for the results spool's default place).
inline constexpr std::array<std::string_view, 3> STATION_ENVIRONMENT{"KAVRO_FLASH",
                                                                     "XDG_STATE_HOME", "HOME"};

// `name` itself, for std::getenv; a name missing from `list` stops the build here.
template <std::size_t N>
consteval const char* environment_name(const std::array<std::string_view, N>& list,
                                       const char* name) {
  for (const std::string_view listed : list) {
    if (listed == name) {
      return name;
    }
  }
  throw "the variable is missing from the program's list of environment variables";
}
