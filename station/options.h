#pragma once

// The station's command line: the firmware options of kavro-flash, which the station hands on
// unchanged to the kavro-flash it runs, and the station's own long options.

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/options.h"
#include "station/remote_modules.h"

namespace station {

// Where the dashboard listens (--http [ADDR:]PORT).
struct HttpListen {
  std::string address = "127.0.0.1";
  int port = 0;
};

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
  std::optional<HttpListen> http;              // --http; nothing: no dashboard, nothing listens
  std::string http_token_file;                 // --http-token; empty: not given
  std::string database;                        // --db: an SQLite file or a PostgreSQL server
  std::string spool;                           // --spool; empty: the default one
};

// The options, or the exit status to end with at once (usage text shown for -h and errors).
std::variant<StationOptions, int> parse_options(int argc, char* argv[]);

}  // namespace station
