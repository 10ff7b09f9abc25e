#pragma once

// The results database's schema, for both engines: one table, kavro_results, with a column per
// key of the results-log record, versioned, and created or migrated step by step on opening;
// and the writer that turns results-log lines into its rows.
//
// A record is identified by (station, started, device_path): writing the same line twice
// stores it once, which is what lets the station's spool send again whatever it is not sure
// arrived, and lets kavro-report import a log more than once.

#include <functional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>

#include "station/results/database.h"

namespace results {

constexpr int kSchemaVersion = 2;
constexpr const char* kResultsTable = "kavro_results";

enum class ColumnType { kText, kInteger, kReal, kBoolean };

// One key of the results-log record and the column that holds it (same name). The list only
// grows: a new key becomes a column of the next schema version, nullable; none is changed or
// removed, so that every migration step stays what it was when it shipped.
struct Column {
  const char* key;
  ColumnType type;
  int since_version;
};
std::span<const Column> columns();

// Brings `db` to schema `version`: creates the schema in an empty database and migrates an
// older one, one version at a time, in one transaction. Throws DatabaseError: kNotOurs for a
// database that holds something else or a newer schema, kRefused when the engine refuses the
// migration (a role without the rights to create tables).
void prepare_schema(Database& db, int version = kSchemaVersion);

// A line that is not a results-log record (not a JSON object, a key of the wrong type, no
// started or device_path).
class RecordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes results-log lines into a database whose schema is prepared.
class RecordWriter {
 public:
  using Warn = std::function<void(const std::string& message)>;
  // `default_station` names the station of records that do not name one; `warn` hears, once
  // each, of keys that have no column (they stay in the results log only).
  RecordWriter(Database& db, std::string default_station, Warn warn);

  // Stores one line: a finished module's record is inserted unless its (station, started,
  // device_path) is there already; an {"event": "removed"} line sets its record's removal
  // time. True when a row was added or changed. Throws RecordError and DatabaseError.
  bool write(const std::string& line);

 private:
  Database& db_;
  std::string default_station_;
  Warn warn_;
  std::string insert_;
  std::string update_removed_;
  std::set<std::string> warned_;
};

}  // namespace results
