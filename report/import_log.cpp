// Importing a results log, a thousand lines per transaction.
#include "report/import_log.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "station/results/schema.h"

namespace report {
namespace {

constexpr int kLinesPerTransaction = 1000;

}  // namespace

ImportCounts import_log(results::Database& db, const std::string& path,
                        const std::string& station) {
  std::ifstream log(path);
  if (!log) {
    throw std::runtime_error("cannot read " + path);
  }
  results::RecordWriter writer(db, station, [&](const std::string& message) {
    std::fprintf(stderr, "kavro-report: %s: %s\n", path.c_str(), message.c_str());
  });
  ImportCounts counts;
  int in_transaction = 0;
  int64_t number = 0;
  for (std::string line; std::getline(log, line);) {
    ++number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      continue;
    }
    if (in_transaction == 0) {
      db.execute("BEGIN");
    }
    try {
      ++(writer.write(line) ? counts.stored : counts.unchanged);
    } catch (const results::RecordError& error) {
      std::fprintf(stderr, "kavro-report: %s:%lld: %s\n", path.c_str(),
                   static_cast<long long>(number), error.what());
      ++counts.bad;
    }
    if (++in_transaction == kLinesPerTransaction) {
      db.execute("COMMIT");
      in_transaction = 0;
    }
  }
  if (in_transaction > 0) {
    db.execute("COMMIT");
  }
  if (log.bad()) {
    throw std::runtime_error("cannot read " + path);
  }
  return counts;
}

}  // namespace report
