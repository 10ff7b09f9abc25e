// kavro-report's SQL: summaries, failures, ports, hours and histories.
#include "report/queries.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include "station/results/schema.h"

namespace report {
namespace {

using results::Row;
using results::Value;
using results::whole_number;

constexpr const char* kDone = "sum(CASE WHEN \"result\" = 'ok' THEN 1 ELSE 0 END)";
constexpr const char* kFailed = "sum(CASE WHEN \"result\" = 'ok' THEN 0 ELSE 1 END)";

std::string text(const std::optional<std::string>& value) {
  return value.value_or("");
}

// Adds `part`'s records to `group`'s, and widens its time span to cover them.
void add(GroupCounts& group, const GroupCounts& part) {
  group.records += part.records;
  group.done += part.done;
  if (group.first_started.empty() ||
      (!part.first_started.empty() && part.first_started < group.first_started)) {
    group.first_started = part.first_started;
  }
  group.last_finished = std::max(group.last_finished, part.last_finished);
}

bool sha256_hex(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdefABCDEF") == text.npos;
}

}  // namespace

std::string Queries::where(const std::string& condition, std::vector<Value>& parameters) const {
  const results::Dialect& dialect = db_.dialect();
  std::string clause = " WHERE " + condition;
  const auto next = [&](const std::string& value) {
    parameters.emplace_back(value);
    return results::placeholder(dialect, static_cast<int>(parameters.size()));
  };
  if (!filters_.since.empty()) {
    clause += " AND \"started\" >= " + next(filters_.since);
  }
  if (!filters_.until.empty()) {
    clause += " AND \"started\" < " + next(filters_.until);
  }
  if (!filters_.station.empty()) {
    clause += " AND \"station\" = " + next(filters_.station);
  }
  if (sha256_hex(filters_.firmware)) {
    const std::string digest = next(filters_.firmware);
    clause += " AND (lower(\"ota_archive_sha256\") = lower(" + digest +
              ") OR lower(\"base_archive_sha256\") = lower(" + digest + "))";
  } else if (!filters_.firmware.empty()) {
    clause += " AND \"firmware_version\" = " + next(filters_.firmware);
  }
  return clause;
}

std::vector<GroupCounts> Queries::summary() {
  // One pass over the station index, by station and firmware together; the groups asked for
  // are sums of these few.
  std::vector<Value> parameters;
  const std::string sql = std::string("SELECT \"station\", \"firmware_version\", count(*), ") +
                          kDone + ", min(\"started\"), max(\"finished\") FROM " +
                          results::kResultsTable + where("1 = 1", parameters) +
                          " GROUP BY \"station\", \"firmware_version\"";
  GroupCounts all{"all", "", 0, 0, "", ""};
  std::map<std::string, GroupCounts> stations;
  std::map<std::string, GroupCounts> firmwares;
  for (const Row& row : db_.query(sql, parameters)) {
    const GroupCounts part{"",           "",          whole_number(row[2]), whole_number(row[3]),
                           text(row[4]), text(row[5])};
    add(all, part);
    add(stations.try_emplace(text(row[0]), GroupCounts{"station", text(row[0]), 0, 0, "", ""})
            .first->second,
        part);
    add(firmwares.try_emplace(text(row[1]), GroupCounts{"firmware", text(row[1]), 0, 0, "", ""})
            .first->second,
        part);
  }
  std::vector<GroupCounts> counts{all};
  for (const auto* groups : {&stations, &firmwares}) {
    for (const auto& [name, group] : *groups) {
      counts.push_back(group);
    }
  }
  return counts;
}

std::vector<FailureCounts> Queries::failures() {
  std::vector<Value> parameters;
  const std::string sql =
      std::string(
          "SELECT \"error\", \"sub_error\", max(\"error_text\"), max(\"sub_error_text\"), "
          "count(*) FROM ") +
      // Two ranges rather than "<>", which no index serves.
      results::kResultsTable + where("(\"result\" < 'ok' OR \"result\" > 'ok')", parameters) +
      // Stopped sessions (no error pair) after the others of their count in both engines,
      // which put NULL at opposite ends.
      " GROUP BY \"error\", \"sub_error\" ORDER BY count(*) DESC, \"error\" IS NULL, \"error\", "
      "\"sub_error\"";
  std::vector<FailureCounts> counts;
  for (const Row& row : db_.query(sql, parameters)) {
    counts.push_back({row[0] ? std::optional(whole_number(row[0])) : std::nullopt,
                      row[1] ? std::optional(whole_number(row[1])) : std::nullopt, text(row[2]),
                      text(row[3]), whole_number(row[4])});
  }
  return counts;
}

std::vector<PortCounts> Queries::ports() {
  std::vector<Value> parameters;
  const std::string sql = std::string("SELECT \"station\", \"device_path\", count(*), ") + kFailed +
                          " FROM " + results::kResultsTable + where("1 = 1", parameters) +
                          // In the order of the port index, which holds all it reads.
                          " GROUP BY \"device_path\", \"station\" ORDER BY \"station\", "
                          "\"device_path\"";
  std::vector<PortCounts> counts;
  for (const Row& row : db_.query(sql, parameters)) {
    counts.push_back({text(row[0]), text(row[1]), whole_number(row[2]), whole_number(row[3])});
  }
  return counts;
}

std::vector<HourCounts> Queries::hours() {
  std::vector<Value> parameters;
  const std::string sql = std::string("SELECT substr(\"started\", 1, 13), count(*), ") + kDone +
                          " FROM " + results::kResultsTable + where("1 = 1", parameters) +
                          " GROUP BY substr(\"started\", 1, 13) ORDER BY 1";
  std::vector<HourCounts> counts;
  for (const Row& row : db_.query(sql, parameters)) {
    counts.push_back({text(row[0]), whole_number(row[1]), whole_number(row[2])});
  }
  return counts;
}

std::vector<Row> Queries::history(const std::string& port_or_serial) {
  std::vector<Value> parameters{port_or_serial};
  std::string columns;
  for (const results::Column& column : results::columns()) {
    columns += (columns.empty() ? "\"" : ", \"") + std::string(column.key) + "\"";
  }
  const std::string match = results::placeholder(db_.dialect(), 1);
  return db_.query(
      "SELECT " + columns + " FROM " + results::kResultsTable +
          where("(\"device_path\" = " + match + " OR \"usb_serial\" = " + match + ")", parameters) +
          " ORDER BY \"started\", \"id\"",
      parameters);
}

std::optional<std::string> record_time(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  char separator = 'T';
  int used = 0;
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used);
  if (fields < 3 || month < 1 || month > 12 || day < 1 || day > 31) {
    return std::nullopt;
  }
  std::string rest = text.substr(used);
  if (!rest.empty() && rest.back() == 'Z') {
    rest.pop_back();
  }
  if (!rest.empty()) {
    int consumed = 0;
    const int parts =
        std::sscanf(rest.c_str(), "%c%2d:%2d%n", &separator, &hour, &minute, &consumed);
    if (parts < 3 || (separator != 'T' && separator != ' ')) {
      return std::nullopt;
    }
    rest = rest.substr(consumed);
    if (!rest.empty() && std::sscanf(rest.c_str(), ":%2d%n", &second, &consumed) == 1) {
      rest = rest.substr(consumed);
      if (!rest.empty() && std::sscanf(rest.c_str(), ".%3d%n", &millis, &consumed) == 1) {
        for (int digits = consumed - 1; digits < 3; ++digits) {
          millis *= 10;  // ".5" is 500 ms
        }
        rest = rest.substr(consumed);
      }
    }
    if (!rest.empty() || hour > 23 || minute > 59 || second > 60) {
      return std::nullopt;
    }
  }
  char normal[32];
  std::snprintf(normal, sizeof normal, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day,
                hour, minute, second, millis);
  return normal;
}

std::optional<double> epoch_seconds(const std::string& record_time) {
  std::tm parts{};
  int millis = 0;
  if (std::sscanf(record_time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &parts.tm_year, &parts.tm_mon,
                  &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &millis) < 6) {
    return std::nullopt;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return static_cast<double>(timegm(&parts)) + millis / 1000.0;
}

}  // namespace report
