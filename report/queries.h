#pragma once

// The questions kavro-report asks a results database, as SQL written once for both engines,
// each narrowed by the same filters (time, station, firmware).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/results/database.h"

namespace report {

struct Filters {
  std::string since;     // UTC, as the records write it; "" for no bound
  std::string until;     // excluded
  std::string station;   // ""
  std::string firmware;  // a SHA-256 of the OTA or base archive, or a firmware version; ""
};

// Records of a group: all of them, a station's, or a firmware's.
struct GroupCounts {
  std::string group;  // "all", "station", "firmware"
  std::string name;
  int64_t records = 0;
  int64_t done = 0;
  std::string first_started;  // "" when there are no records
  std::string last_finished;
};

// Failures with one error pair; no pair for sessions the operator stopped.
struct FailureCounts {
  std::optional<int64_t> error;
  std::optional<int64_t> sub_error;
  std::string error_text;
  std::string sub_error_text;
  int64_t count = 0;
};

struct PortCounts {
  std::string station;
  std::string device_path;
  int64_t records = 0;
  int64_t failed = 0;
};

struct HourCounts {
  std::string hour;  // "2026-12-07T02", UTC
  int64_t records = 0;
  int64_t done = 0;
};

class Queries {
 public:
  Queries(results::Database& db, Filters filters) : db_(db), filters_(std::move(filters)) {}

  // All records first, then by station, then by firmware version.
  std::vector<GroupCounts> summary();
  // Worst first.
  std::vector<FailureCounts> failures();
  std::vector<PortCounts> ports();
  // Hours that have records, in order.
  std::vector<HourCounts> hours();
  // Every record of one port (device path) or one module (USB serial), oldest first, with every
  // column in results::columns() order.
  std::vector<results::Row> history(const std::string& port_or_serial);

 private:
  // " WHERE <condition> AND <filters>" with the filters' parameters appended to `parameters`.
  std::string where(const std::string& condition, std::vector<results::Value>& parameters) const;

  results::Database& db_;
  Filters filters_;
};

// A time given on the command line ("2026-12-07", "2026-12-07 02:00", "2026-12-07T02:00:00Z"),
// UTC, in the records' form "2026-12-07T02:00:00.000Z"; nothing when it is none of these.
std::optional<std::string> record_time(const std::string& text);
// Seconds since the epoch of a record's time; nothing for a malformed one.
std::optional<double> epoch_seconds(const std::string& record_time);

}  // namespace report
