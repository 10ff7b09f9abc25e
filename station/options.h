#pragma once

// The station's command line: the firmware options of kavro-flash, which the station hands on
// unchanged to the kavro-flash it runs, and the station's own long options.

#include <chrono>
#include <string>
#include <variant>
#include <vector>

#include "app/options.h"
#include "station/remote_modules.h"

namespace station {

struct StationOptions {
  std::vector<std::string> flasher_arguments;  // kavro-flash's firmware options as given, in order
  Options firmware;                            // what they name, as kavro-flash reads them
  std::string results_file;                    // --results; empty: no log
  std::string station;                         // --station, else the host name
  std::string operator_name;                   // --operator; empty: not given
  std::vector<std::string> expected_sha256;    // --expect-sha256, lower-case hex, each time given
  bool bell = true;                            // --no-bell turns it off
  bool once = false;                           // --once
  std::chrono::seconds settle{10};             // --settle: how long --once waits for modules
  std::vector<RemoteHost> remotes;             // --remote, each time given
};

// The options, or the exit status to end with at once (usage text shown for -h and errors).
std::variant<StationOptions, int> parse_options(int argc, char* argv[]);

}  // namespace station
