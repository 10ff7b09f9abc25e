#pragma once

// The station's command line: the firmware options of kavro-flash, which the station hands on
// unchanged to the kavro-flash it runs, and the station's own long options.

#include <chrono>
#include <string>
#include <variant>
#include <vector>

#include "station/remote_modules.h"

namespace station {

struct StationOptions {
  std::vector<std::string> flasher_arguments;  // -a -b -o -s -p -q -f as given, in order
  std::string ota_file;                        // -o, for the results log; empty: none
  std::string base_file;                       // -b, for the results log; empty: built-in
  std::string results_file;                    // --results; empty: no log
  bool once = false;                           // --once
  std::chrono::seconds settle{10};             // --settle: how long --once waits for modules
  std::vector<RemoteHost> remotes;             // --remote, each time given
  // The results database (station/results/results_store.h).
  std::string database;  // --db: an SQLite file or a PostgreSQL server; empty: none
  std::string spool;     // --spool; empty: the default one
};

// The options, or the exit status to end with at once (usage text shown for -h and errors).
std::variant<StationOptions, int> parse_options(int argc, char* argv[]);

}  // namespace station
