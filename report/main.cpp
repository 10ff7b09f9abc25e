// kavro-report: what a results database says about the shifts: yield, failures, one port's or
// one module's history, as text, CSV or an HTML page with charts; and importing results logs.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "report/html_page.h"
#include "report/import_log.h"
#include "report/options.h"
#include "report/queries.h"
#include "report/tables.h"
#include "station/results/schema.h"

namespace {

using namespace report;

constexpr int kSuccess = 0;
constexpr int kBadLines = 1;
constexpr int kFailure = 2;

std::string host_name() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

// What the page was asked for, in words.
std::string heading(const ReportOptions& options) {
  const Filters& filters = options.filters;
  std::string words = "Records";
  words += filters.since.empty() ? "" : " from " + filters.since;
  words += filters.until.empty() ? "" : " until " + filters.until;
  words += filters.station.empty() ? "" : ", station " + filters.station;
  words += filters.firmware.empty() ? "" : ", firmware " + filters.firmware;
  words += options.command == Command::kHistory ? ", port or module " + options.argument : "";
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char made[32];
  std::strftime(made, sizeof made, "%Y-%m-%dT%H:%MZ", &parts);
  return words + "; made " + made + ".";
}

void print_tables(const std::vector<Table>& tables, bool csv) {
  for (size_t index = 0; index < tables.size(); ++index) {
    if (index > 0) {
      std::fputs(csv ? "\r\n" : "\n", stdout);
    }
    (csv ? print_csv : print_text)(tables[index], stdout);
  }
}

int answer(results::Database& db, const ReportOptions& options) {
  Queries queries(db, options.filters);
  PageContents page{heading(options), {}, {}, {}};
  if (options.command == Command::kHistory) {
    const Table history = history_table(queries.history(options.argument));
    page.tables.push_back(options.csv ? history : without_empty_columns(history));
  } else {
    // The page holds every table and both charts, whichever command asked for it.
    const bool whole_page = !options.html.empty();
    if (options.command == Command::kSummary || whole_page) {
      page.tables.push_back(summary_table(queries.summary()));
    }
    if (options.command == Command::kFailures || whole_page) {
      page.failures = queries.failures();
      page.tables.push_back(failures_table(page.failures));
      page.tables.push_back(ports_table(queries.ports()));
    }
    if (whole_page) {
      page.hours = queries.hours();
    }
  }
  if (options.html.empty()) {
    print_tables(page.tables, options.csv);
    return kSuccess;
  }
  std::ofstream file(options.html, std::ios::binary);
  file << html_page(page);
  file.close();
  if (!file) {
    std::fprintf(stderr, "kavro-report: cannot write %s\n", options.html.c_str());
    return kFailure;
  }
  return kSuccess;
}

int run(const ReportOptions& options) {
  const bool writes = options.command == Command::kImport || options.command == Command::kMigrate;
  // A mistyped file name must not become a new, empty database that reports nothing.
  if (!writes && !results::names_server(options.database) &&
      !std::filesystem::exists(options.database)) {
    std::fprintf(stderr, "kavro-report: %s: no such file\n", options.database.c_str());
    return kFailure;
  }
  std::unique_ptr<results::Database> db;
  try {
    db = results::open_database(options.database, "kavro-report");
    results::prepare_schema(*db);
    switch (options.command) {
      case Command::kMigrate:
        std::printf("results schema version %d\n", results::kSchemaVersion);
        return kSuccess;
      case Command::kImport: {
        const ImportCounts counts =
            import_log(*db, options.argument,
                       options.filters.station.empty() ? host_name() : options.filters.station);
        std::printf("%s: %lld records stored, %lld already there, %lld not records\n",
                    options.argument.c_str(), static_cast<long long>(counts.stored),
                    static_cast<long long>(counts.unchanged), static_cast<long long>(counts.bad));
        return counts.bad == 0 ? kSuccess : kBadLines;
      }
      default:
        return answer(*db, options);
    }
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "kavro-report: %s\n", error.what());
    return kFailure;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  auto parsed = parse_options(argc, argv);
  if (const int* exit_status = std::get_if<int>(&parsed)) {
    return *exit_status;
  }
  return run(std::get<ReportOptions>(parsed));
}
