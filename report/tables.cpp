// The tables of kavro-report and their text and CSV forms.
#include "report/tables.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "station/results/schema.h"

namespace report {
namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// Records per hour from the first start to the last finish; "-" when they span no time.
std::string per_hour(const GroupCounts& group) {
  const auto first = epoch_seconds(group.first_started);
  const auto last = epoch_seconds(group.last_finished);
  if (!first || !last || *last <= *first) {
    return "-";
  }
  return number(group.records * 3600.0 / (*last - *first));
}

// The chance of at least `failed` failures among `records` modules that each fail with
// `rate`. Only asked above the mean, where the terms fall from the first: summed until they no
// longer count.
double failures_at_least(int64_t failed, int64_t records, double rate) {
  double sum = 0;
  for (int64_t count = failed; count <= records; ++count) {
    const double term = std::exp(std::lgamma(records + 1.0) - std::lgamma(count + 1.0) -
                                 std::lgamma(records - count + 1.0) + count * std::log(rate) +
                                 (records - count) * std::log1p(-rate));
    sum += term;
    if (term < sum * 1e-12) {
      break;
    }
  }
  return sum;
}

bool numeric(const std::string& cell) {
  return !cell.empty() && cell.find_first_not_of("0123456789.-+ %") == std::string::npos;
}

}  // namespace

std::string percent(int64_t part, int64_t whole) {
  return whole == 0 ? "-" : number(100.0 * part / whole) + " %";
}

std::string error_pair(const FailureCounts& failure) {
  if (!failure.error) {
    return "stopped";
  }
  return std::to_string(*failure.error) + " " + std::to_string(failure.sub_error.value_or(0));
}

bool port_flagged(const PortCounts& port, int64_t all_records, int64_t all_failed, size_t ports) {
  const int64_t other_records = all_records - port.records;
  const int64_t other_failed = all_failed - port.failed;
  // failed / records > 2 * other_failed / other_records, without dividing by zero
  if (port.failed < 3 || port.failed * other_records <= 2 * other_failed * port.records) {
    return false;
  }
  return other_failed == 0 ||
         failures_at_least(port.failed, port.records,
                           static_cast<double>(other_failed) / static_cast<double>(other_records)) <
             0.01 / static_cast<double>(ports);
}

Table summary_table(const std::vector<GroupCounts>& groups) {
  Table table{"Modules", {"GROUP", "NAME", "DONE", "FAILED", "YIELD", "PER HOUR"}, {}};
  for (const GroupCounts& group : groups) {
    table.rows.push_back({group.group, group.name, std::to_string(group.done),
                          std::to_string(group.records - group.done),
                          percent(group.done, group.records), per_hour(group)});
  }
  return table;
}

Table failures_table(const std::vector<FailureCounts>& failures) {
  Table table{"Failures by error", {"ERROR", "COUNT", "SHARE", "CUMULATIVE", "TEXT"}, {}};
  int64_t all = 0;
  for (const FailureCounts& failure : failures) {
    all += failure.count;
  }
  int64_t running = 0;
  for (const FailureCounts& failure : failures) {
    running += failure.count;
    std::string words = failure.error_text;
    if (!failure.sub_error_text.empty()) {
      words += (words.empty() ? "" : ": ") + failure.sub_error_text;
    }
    table.rows.push_back({error_pair(failure), std::to_string(failure.count),
                          percent(failure.count, all), percent(running, all), words});
  }
  return table;
}

Table ports_table(const std::vector<PortCounts>& ports) {
  Table table{"Failures by port", {"STATION", "PORT", "MODULES", "FAILED", "RATE", "FLAG"}, {}};
  int64_t records = 0;
  int64_t failed = 0;
  for (const PortCounts& port : ports) {
    records += port.records;
    failed += port.failed;
  }
  for (const PortCounts& port : ports) {
    table.rows.push_back(
        {port.station, port.device_path, std::to_string(port.records), std::to_string(port.failed),
         percent(port.failed, port.records),
         port_flagged(port, records, failed, ports.size()) ? "far above the rest" : ""});
  }
  return table;
}

Table history_table(const std::vector<results::Row>& records) {
  Table table{"History", {}, {}};
  for (const results::Column& column : results::columns()) {
    table.headers.emplace_back(column.key);
  }
  for (const results::Row& record : records) {
    auto& row = table.rows.emplace_back();
    for (const auto& value : record) {
      row.push_back(value.value_or(""));
    }
  }
  return table;
}

Table without_empty_columns(const Table& table) {
  Table kept{table.title, {}, std::vector<std::vector<std::string>>(table.rows.size())};
  for (size_t column = 0; column < table.headers.size(); ++column) {
    if (std::all_of(table.rows.begin(), table.rows.end(),
                    [&](const auto& row) { return row[column].empty(); })) {
      continue;
    }
    kept.headers.push_back(table.headers[column]);
    for (size_t row = 0; row < table.rows.size(); ++row) {
      kept.rows[row].push_back(table.rows[row][column]);
    }
  }
  return kept;
}

void print_text(const Table& table, std::FILE* out) {
  std::vector<size_t> widths;
  for (const std::string& header : table.headers) {
    widths.push_back(header.size());
  }
  for (const auto& row : table.rows) {
    for (size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  const auto line = [&](const std::vector<std::string>& cells, bool header) {
    std::string text;
    for (size_t column = 0; column < cells.size(); ++column) {
      const std::string padding(widths[column] - cells[column].size(), ' ');
      const bool right = !header && numeric(cells[column]);
      text +=
          (column == 0 ? "" : "  ") + (right ? padding + cells[column] : cells[column] + padding);
    }
    text.erase(text.find_last_not_of(' ') + 1);
    std::fprintf(out, "%s\n", text.c_str());
  };
  std::fprintf(out, "%s\n", table.title.c_str());
  line(table.headers, true);
  for (const auto& row : table.rows) {
    line(row, false);
  }
}

void print_csv(const Table& table, std::FILE* out) {
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t column = 0; column < cells.size(); ++column) {
      std::string cell = cells[column];
      if (cell.find_first_of(",\"\r\n") != std::string::npos) {
        std::string quoted = "\"";
        for (const char c : cell) {
          quoted += c == '"' ? "\"\"" : std::string(1, c);
        }
        cell = quoted + "\"";
      }
      text += (column == 0 ? "" : ",") + cell;
    }
    std::fprintf(out, "%s\r\n", text.c_str());
  };
  std::vector<std::string> headers;
  for (std::string header : table.headers) {
    std::transform(header.begin(), header.end(), header.begin(),
                   [](char c) { return c == ' ' ? '_' : static_cast<char>(std::tolower(c)); });
    headers.push_back(header);
  }
  line(headers);
  for (const auto& row : table.rows) {
    line(row);
  }
}

}  // namespace report
