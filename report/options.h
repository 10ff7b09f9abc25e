#pragma once

// kavro-report's command line: the database, one command and its argument, the filters, and
// the form of the answer.

#include <string>
#include <variant>

#include "report/queries.h"

namespace report {

enum class Command { kSummary, kFailures, kHistory, kImport, kMigrate };

struct ReportOptions {
  std::string database;  // --db
  Command command = Command::kSummary;
  std::string argument;  // history: the port or serial; import: the log
  Filters filters;       // --since --until --station --firmware
  bool csv = false;      // --csv
  std::string html;      // --html FILE; empty: text
};

// The options, or the exit status to end with at once (usage text shown for -h and errors).
std::variant<ReportOptions, int> parse_options(int argc, char* argv[]);

}  // namespace report
