// Parsing the station's command line.
#include "station/options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "station/results/database.h"

namespace station {
namespace {

constexpr int kUsageExit = 2;
constexpr size_t kSha256HexLength = 64;

enum LongOption {
  kResults = 1000,
  kOnce,
  kSettle,
  kRemote,
  kStation,
  kOperator,
  kExpectSha256,
  kNoBell,
  kHttp,
  kHttpToken,
  kDatabase,
  kSpool
};

constexpr option kLongOptions[] = {{"results", required_argument, nullptr, kResults},
                                   {"once", no_argument, nullptr, kOnce},
                                   {"settle", required_argument, nullptr, kSettle},
                                   {"remote", required_argument, nullptr, kRemote},
                                   {"station", required_argument, nullptr, kStation},
                                   {"operator", required_argument, nullptr, kOperator},
                                   {"expect-sha256", required_argument, nullptr, kExpectSha256},
                                   {"no-bell", no_argument, nullptr, kNoBell},
                                   {"http", required_argument, nullptr, kHttp},
                                   {"http-token", required_argument, nullptr, kHttpToken},
                                   {"db", required_argument, nullptr, kDatabase},
                                   {"spool", required_argument, nullptr, kSpool},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};

constexpr const char* kUsage =
    "Usage: kavro-station [-a ads-file] [-b base-image] [-o ota-image] [-s settings-file]\n"
    "                     [-p public-key -q private-key] [-f]\n"
    "                     [--expect-sha256 HEX]... [--station NAME] [--operator NAME]\n"
    "                     [--results FILE] [--once [--settle SECONDS]] [--no-bell]\n"
    "                     [--remote HOST[:PORT]]... [--http [ADDR:]PORT [--http-token FILE]]\n"
    "                     [--db DATABASE [--spool FILE]] [-h]\n"
    "\n"
    "Flashes every module plugged in in hardware mode, until interrupted (SIGINT, SIGTERM).\n"
    "The firmware options are those of kavro-flash. KAVRO_FLASH names the kavro-flash to run.\n"
    "    --expect-sha256 HEX: start only when every archive given has one of these SHA-256\n"
    "        digests (once per archive)\n"
    "    --station NAME: the station's name in the table and the records (default: host name)\n"
    "    --operator NAME: the operator's name in the records\n"
    "    --results FILE: append one JSON line per finished module to FILE\n"
    "    --once: flash the modules attached within the settle time, then exit\n"
    "    --settle SECONDS: how long --once waits for modules to show up (default 10)\n"
    "    --no-bell: no terminal bell when a module fails\n"
    "    --remote HOST[:PORT]: also flash the modules HOST exports over USB/IP (usbipd,\n"
    "        port 3240 by default); root and the vhci-hcd kernel module needed\n"
    "    --http [ADDR:]PORT: serve a read-only dashboard on ADDR (default 127.0.0.1) and PORT\n"
    "        (0: any free port)\n"
    "    --http-token FILE: let in only requests with the token in FILE's first line (needed\n"
    "        for an ADDR other than 127.x.x.x)\n"
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

// 64 hex digits, in either case, as lower case; empty when it is not a SHA-256 digest.
std::string parse_sha256(std::string_view text) {
  if (text.size() != kSha256HexLength || !std::ranges::all_of(text, [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c));
      })) {
    return "";
  }
  std::string digest(text);
  std::ranges::transform(digest, digest.begin(),
                         [](char c) { return static_cast<char>(std::tolower(c)); });
  return digest;
}

// [ADDR:]PORT, ADDR an IPv4 address.
bool parse_listen(std::string_view text, HttpListen& listen) {
  const size_t colon = text.rfind(':');
  if (colon != text.npos) {
    listen.address = text.substr(0, colon);
    text.remove_prefix(colon + 1);
  }
  in_addr address{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), listen.port);
  return inet_pton(AF_INET, listen.address.c_str(), &address) == 1 && error == std::errc() &&
         end == text.data() + text.size() && listen.port >= 0 && listen.port <= 65535;
}

// Whether anyone but this machine could reach the address.
bool reachable_from_elsewhere(const HttpListen& listen) {
  return !listen.address.starts_with("127.");
}

std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "station";
}

int usage_error(const char* problem) {
  std::fprintf(stderr, "kavro-station: %s\n%s", problem, kUsage);
  return kUsageExit;
}

// The station's own option; the exit status when it is not usable.
std::optional<int> take_long_option(int option, const char* argument, StationOptions& options) {
  switch (option) {
    case kResults:
      options.results_file = argument;
      break;
    case kOnce:
      options.once = true;
      break;
    case kSettle:
      if (!parse_seconds(argument, options.settle)) {
        return usage_error("--settle takes a whole number of seconds");
      }
      break;
    case kRemote:
      options.remotes.emplace_back();
      if (!parse_remote_host(argument, options.remotes.back())) {
        return usage_error("--remote takes HOST or HOST:PORT");
      }
      break;
    case kStation:
      options.station = argument;
      break;
    case kOperator:
      options.operator_name = argument;
      break;
    case kExpectSha256:
      options.expected_sha256.push_back(parse_sha256(argument));
      if (options.expected_sha256.back().empty()) {
        return usage_error("--expect-sha256 takes a SHA-256 digest: 64 hex digits");
      }
      break;
    case kNoBell:
      options.bell = false;
      break;
    case kHttp:
      options.http.emplace();
      if (!parse_listen(argument, *options.http)) {
        return usage_error("--http takes PORT or ADDR:PORT, ADDR an IPv4 address");
      }
      break;
    case kHttpToken:
      options.http_token_file = argument;
      break;
    case kDatabase:
      options.database = argument;
      break;
    case kSpool:
      options.spool = argument;
      break;
    default:
      std::fputs(kUsage, stderr);
      return kUsageExit;
  }
  return std::nullopt;
}

}  // namespace

std::variant<StationOptions, int> parse_options(int argc, char* argv[]) {
  StationOptions options;
  opterr = 0;
  optind = 1;
  // "+": stop at the first plain argument, as kavro-flash does.
  const std::string option_string = "+" + firmware_option_string() + "h";
  for (int option;
       (option = getopt_long(argc, argv, option_string.c_str(), kLongOptions, nullptr)) != -1;) {
    if (option == 'h') {
      std::fputs(kUsage, stdout);
      return kUsageExit;
    }
    if (take_firmware_option(option, optarg, options.firmware)) {
      // Handed on as given, so that a repeated option means to kavro-flash what it means here.
      options.flasher_arguments.push_back({'-', static_cast<char>(option)});
      if (optarg != nullptr) {
        options.flasher_arguments.push_back(optarg);
      }
    } else if (const auto failure = take_long_option(option, optarg, options)) {
      return *failure;
    }
  }
  // A stray argument would otherwise hide the options after it from a line operator.
  if (optind < argc) {
    std::fprintf(stderr, "kavro-station: unexpected argument '%s'\n%s", argv[optind], kUsage);
    return kUsageExit;
  }
  if (!options.http_token_file.empty() && !options.http) {
    return usage_error("--http-token goes with --http");
  }
  if (options.http && options.http_token_file.empty() && reachable_from_elsewhere(*options.http)) {
    return usage_error("--http on an address other machines can reach needs --http-token FILE");
  }
  if (!options.spool.empty() && !results::names_server(options.database)) {
    return usage_error("--spool goes with --db and a PostgreSQL server");
  }
  if (options.station.empty()) {
    options.station = host_name();
  }
  return options;
}

}  // namespace station
