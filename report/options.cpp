// Parsing kavro-report's command line.
#include "report/options.h"

#include <getopt.h>

#include <cstdio>
#include <map>

namespace report {
namespace {

constexpr int kUsageExit = 2;

enum LongOption { kDatabase = 1000, kSince, kUntil, kStation, kFirmware, kCsv, kHtml, kVersion };

constexpr option kLongOptions[] = {{"db", required_argument, nullptr, kDatabase},
                                   {"since", required_argument, nullptr, kSince},
                                   {"until", required_argument, nullptr, kUntil},
                                   {"station", required_argument, nullptr, kStation},
                                   {"firmware", required_argument, nullptr, kFirmware},
                                   {"csv", no_argument, nullptr, kCsv},
                                   {"html", required_argument, nullptr, kHtml},
                                   {"version", no_argument, nullptr, kVersion},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};

constexpr const char* kUsage =
    "Usage: kavro-report --db DATABASE COMMAND [filters] [--csv | --html FILE]\n"
    "  kavro-report --db DATABASE summary        modules done and failed, yield and modules\n"
    "                                            per hour, by station and by firmware\n"
    "  kavro-report --db DATABASE failures       failures by error pair and by port\n"
    "  kavro-report --db DATABASE history PORT|SERIAL   every record of a port or a module\n"
    "  kavro-report --db DATABASE import FILE.jsonl [--station NAME]   load a results log\n"
    "  kavro-report --db DATABASE migrate        create or upgrade the schema\n"
    "DATABASE: an SQLite file, or a PostgreSQL server (postgresql://... or 'host=... dbname=...')\n"
    "Filters: --since TIME --until TIME (UTC, e.g. 2026-12-07T22:00), --station NAME,\n"
    "         --firmware SHA256|VERSION\n"
    "--csv: comma-separated values; --html FILE: a page with the tables and charts\n"
    "-h, --help: this text; --version: the program's version\n";

const std::map<std::string, Command> kCommands{{"summary", Command::kSummary},
                                               {"failures", Command::kFailures},
                                               {"history", Command::kHistory},
                                               {"import", Command::kImport},
                                               {"migrate", Command::kMigrate}};

int usage_error(const std::string& what) {
  std::fprintf(stderr, "kavro-report: %s\n%s", what.c_str(), kUsage);
  return kUsageExit;
}

// The operands: the command, and the one argument that history and import take.
std::variant<ReportOptions, int> with_operands(ReportOptions options, int count, char** operands) {
  if (count == 0) {
    return usage_error("no command given");
  }
  const auto command = kCommands.find(operands[0]);
  if (command == kCommands.end()) {
    return usage_error(std::string("unknown command '") + operands[0] + "'");
  }
  options.command = command->second;
  const int wanted =
      options.command == Command::kHistory || options.command == Command::kImport ? 2 : 1;
  if (count != wanted) {
    return usage_error(std::string(operands[0]) +
                       (wanted == 2 ? " takes one argument" : " takes no argument"));
  }
  if (wanted == 2) {
    options.argument = operands[1];
  }
  return options;
}

}  // namespace

std::variant<ReportOptions, int> parse_options(int argc, char* argv[]) {
  ReportOptions options;
  opterr = 0;
  optind = 1;
  for (int option; (option = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1;) {
    switch (option) {
      case kDatabase:
        options.database = optarg;
        break;
      case kSince:
      case kUntil: {
        const auto time = record_time(optarg);
        if (!time) {
          return usage_error(std::string("not a time: '") + optarg + "'");
        }
        (option == kSince ? options.filters.since : options.filters.until) = *time;
        break;
      }
      case kStation:
        options.filters.station = optarg;
        break;
      case kFirmware:
        options.filters.firmware = optarg;
        break;
      case kCsv:
        options.csv = true;
        break;
      case kHtml:
        options.html = optarg;
        break;
      case kVersion:
        std::printf("kavro-report %s\n", KAVRO_VERSION);
        return 0;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (options.database.empty()) {
    return usage_error("--db names the results database");
  }
  if (options.csv && !options.html.empty()) {
    return usage_error("--csv and --html are two different forms: give one");
  }
  return with_operands(std::move(options), argc - optind, argv + optind);
}

}  // namespace report
