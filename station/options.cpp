#include "station/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "station/results/database.h"

namespace station {
namespace {

constexpr int kUsageExit = 2;

enum LongOption { kResults = 1000, kOnce, kSettle, kRemote, kDatabase, kSpool };

constexpr option kLongOptions[] = {{"results", required_argument, nullptr, kResults},
                                   {"once", no_argument, nullptr, kOnce},
                                   {"settle", required_argument, nullptr, kSettle},
                                   {"remote", required_argument, nullptr, kRemote},
                                   {"db", required_argument, nullptr, kDatabase},
                                   {"spool", required_argument, nullptr, kSpool},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};

constexpr const char* kUsage =
    "Usage: kavro-station [-a ads-file] [-b base-image] [-o ota-image] [-s settings-file]\n"
    "                     [-p public-key -q private-key] [-f]\n"
    "                     [--results FILE] [--once [--settle SECONDS]]\n"
    "                     [--remote HOST[:PORT]]... [--db DATABASE [--spool FILE]] [-h]\n"
    "\n"
    "Flashes every module plugged in in hardware mode, until interrupted (SIGINT, SIGTERM).\n"
    "The firmware options are those of kavro-flash. KAVRO_FLASH names the kavro-flash to run.\n"
    "    --results FILE: append one JSON line per finished module to FILE\n"
    "    --once: flash the modules attached within the settle time, then exit\n"
    "    --settle SECONDS: how long --once waits for modules to show up (default 10)\n"
    "    --remote HOST[:PORT]: also flash the modules HOST exports over USB/IP (usbipd,\n"
    "        port 3240 by default); root and the vhci-hcd kernel module needed\n"
    "    --db DATABASE: also store each finished module in a results database: an SQLite\n"
    "        file, or a PostgreSQL server (postgresql://... or 'host=... dbname=...')\n"
    "    --spool FILE: where records wait for the PostgreSQL server (default\n"
    "        $XDG_STATE_HOME/kavro-station/spool.sqlite, /var/lib/kavro-station as root)\n";

// A whole number of seconds, or nothing.
bool parse_seconds(std::string_view text, std::chrono::seconds& seconds) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  seconds = std::chrono::seconds(std::strtol(std::string(text).c_str(), nullptr, 10));
  return true;
}

}  // namespace

std::variant<StationOptions, int> parse_options(int argc, char* argv[]) {
  StationOptions options;
  opterr = 0;
  optind = 1;
  // "+": stop at the first plain argument, as kavro-flash does.
  for (int option;
       (option = getopt_long(argc, argv, "+a:b:fo:p:q:s:h", kLongOptions, nullptr)) != -1;) {
    switch (option) {
      case 'a':
      case 'b':
      case 'o':
      case 'p':
      case 'q':
      case 's':
        options.flasher_arguments.push_back({'-', static_cast<char>(option)});
        options.flasher_arguments.push_back(optarg);
        if (option == 'o') {
          options.ota_file = optarg;
        } else if (option == 'b') {
          options.base_file = optarg;
        }
        break;
      case 'f':
        options.flasher_arguments.push_back("-f");
        break;
      case kResults:
        options.results_file = optarg;
        break;
      case kOnce:
        options.once = true;
        break;
      case kSettle:
        if (!parse_seconds(optarg, options.settle)) {
          std::fprintf(stderr, "kavro-station: --settle takes a whole number of seconds\n%s",
                       kUsage);
          return kUsageExit;
        }
        break;
      case kRemote:
        options.remotes.emplace_back();
        if (!parse_remote_host(optarg, options.remotes.back())) {
          std::fprintf(stderr, "kavro-station: --remote takes HOST or HOST:PORT\n%s", kUsage);
          return kUsageExit;
        }
        break;
      case kDatabase:
        options.database = optarg;
        break;
      case kSpool:
        options.spool = optarg;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return kUsageExit;
      default:
        std::fputs(kUsage, stderr);
        return kUsageExit;
    }
  }
  // A stray argument would otherwise hide the options after it from a line operator.
  if (optind < argc) {
    std::fprintf(stderr, "kavro-station: unexpected argument '%s'\n%s", argv[optind], kUsage);
    return kUsageExit;
  }
  if (!options.spool.empty() && !results::names_server(options.database)) {
    std::fprintf(stderr, "kavro-station: --spool goes with --db and a PostgreSQL server\n%s",
                 kUsage);
    return kUsageExit;
  }
  return options;
}

}  // namespace station
