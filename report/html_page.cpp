// The HTML page and its two SVG charts.
#include "report/html_page.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace report {
namespace {

constexpr int kChartHeight = 240;
constexpr int kMargin = 48;        // room for the axes' labels
constexpr int kHourlyWidth = 720;  // the hourly bars share this, each 3 to 40 wide
constexpr int kLabelWidth = 80;    // room for one hour's label under the bars
constexpr int kParetoBarWidth = 48;

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The y of `value` on an axis from 0 (bottom) to `top`.
double y_of(double value, double top) {
  return kMargin / 2 + kChartHeight * (1 - (top <= 0 ? 0 : value / top));
}

std::string text_at(double x, double y, const std::string& text, const char* anchor = "middle") {
  return "<text x=\"" + fixed(x) + "\" y=\"" + fixed(y) + "\" text-anchor=\"" + anchor + "\">" +
         escaped(text) + "</text>";
}

// Every hour from the first to the last, the ones without records as zero.
std::vector<HourCounts> every_hour(const std::vector<HourCounts>& hours) {
  std::vector<HourCounts> filled;
  for (const HourCounts& hour : hours) {
    const auto at = epoch_seconds(hour.hour + ":00:00.000Z");
    while (!filled.empty() && at) {
      const auto last = epoch_seconds(filled.back().hour + ":00:00.000Z");
      if (!last || *last + 3600 >= *at) {
        break;
      }
      const std::time_t next = static_cast<std::time_t>(*last) + 3600;
      std::tm parts{};
      gmtime_r(&next, &parts);
      char name[16];
      std::strftime(name, sizeof name, "%Y-%m-%dT%H", &parts);
      filled.push_back({name, 0, 0});
    }
    filled.push_back(hour);
  }
  return filled;
}

// Bars of the modules finished each hour (left axis) and a line of the yield (right axis, %).
std::string hourly_chart(const std::vector<HourCounts>& given) {
  const std::vector<HourCounts> hours = every_hour(given);
  int64_t most = 1;
  for (const HourCounts& hour : hours) {
    most = std::max(most, hour.records);
  }
  const int bar = std::clamp(kHourlyWidth / static_cast<int>(hours.size()), 3, 40);
  const int width = 2 * kMargin + bar * static_cast<int>(hours.size());
  const int height = kChartHeight + kMargin;
  std::string svg = "<svg id=\"hourly-chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(width) + "\" height=\"" + std::to_string(height) +
                    "\" role=\"img\"><title>Modules per hour and yield, by hour (UTC)</title>";
  svg += text_at(kMargin - 4, y_of(most, most) + 4, std::to_string(most), "end") +
         text_at(kMargin - 4, y_of(0, most) + 4, "0", "end") +
         text_at(width - kMargin + 4, y_of(100, 100) + 4, "100 %", "start") +
         text_at(width - kMargin + 4, y_of(0, 100) + 4, "0 %", "start");
  std::string points;
  const size_t label_every = (kLabelWidth + bar - 1) / bar;
  for (size_t index = 0; index < hours.size(); ++index) {
    const HourCounts& hour = hours[index];
    const double x = kMargin + bar * static_cast<double>(index);
    const double top = y_of(static_cast<double>(hour.records), static_cast<double>(most));
    svg += "<rect class=\"modules\" x=\"" + fixed(x + 1) + "\" y=\"" + fixed(top) + "\" width=\"" +
           std::to_string(std::max(1, bar - 2)) + "\" height=\"" + fixed(y_of(0, 1) - top) +
           "\"><title>" + escaped(hour.hour) + ":00 UTC: " + std::to_string(hour.records) +
           " modules, yield " + percent(hour.done, hour.records) + "</title></rect>";
    if (hour.records > 0) {
      points += (points.empty() ? "" : " ") + fixed(x + bar / 2.0) + "," +
                fixed(y_of(100.0 * hour.done / hour.records, 100));
    }
    if (index % label_every == 0) {
      svg += text_at(x + bar / 2.0, height - 4, hour.hour.substr(5) + "h");
    }
  }
  return svg + "<polyline class=\"yield\" points=\"" + points + "\"/></svg>";
}

// Failures by error pair, worst first, with the running share as a line (right axis, %).
std::string pareto_chart(const std::vector<FailureCounts>& failures) {
  int64_t all = 0;
  for (const FailureCounts& failure : failures) {
    all += failure.count;
  }
  const double most = static_cast<double>(std::max<int64_t>(1, failures.front().count));
  const int width = 2 * kMargin + kParetoBarWidth * static_cast<int>(failures.size());
  const int height = kChartHeight + kMargin;
  std::string svg = "<svg id=\"pareto-chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(width) + "\" height=\"" + std::to_string(height) +
                    "\" role=\"img\"><title>Failures by error, worst first</title>";
  svg += text_at(kMargin - 4, y_of(most, most) + 4, fixed(most), "end") +
         text_at(width - kMargin + 4, y_of(100, 100) + 4, "100 %", "start");
  std::string points;
  int64_t running = 0;
  for (size_t index = 0; index < failures.size(); ++index) {
    const FailureCounts& failure = failures[index];
    running += failure.count;
    const double x = kMargin + kParetoBarWidth * static_cast<double>(index);
    const double top = y_of(static_cast<double>(failure.count), most);
    svg += "<rect class=\"failures\" x=\"" + fixed(x + 4) + "\" y=\"" + fixed(top) + "\" width=\"" +
           std::to_string(kParetoBarWidth - 8) + "\" height=\"" + fixed(y_of(0, 1) - top) +
           "\"><title>" + escaped(error_pair(failure)) + ": " + std::to_string(failure.count) +
           " (" + percent(failure.count, all) + ") " + escaped(failure.error_text) +
           "</title></rect>";
    points += (points.empty() ? "" : " ") + fixed(x + kParetoBarWidth / 2.0) + "," +
              fixed(y_of(100.0 * running / all, 100));
    svg += text_at(x + kParetoBarWidth / 2.0, height - 4, error_pair(failure));
  }
  return svg + "<polyline class=\"cumulative\" points=\"" + points + "\"/></svg>";
}

std::string html_table(const Table& table) {
  std::string html = "<h2>" + escaped(table.title) + "</h2><table><tr>";
  for (const std::string& header : table.headers) {
    html += "<th>" + escaped(header) + "</th>";
  }
  html += "</tr>";
  for (const auto& row : table.rows) {
    html += "<tr>";
    for (const std::string& cell : row) {
      html += "<td>" + escaped(cell) + "</td>";
    }
    html += "</tr>";
  }
  return html + "</table>\n";
}

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:2em;color:#222}"
    "table{border-collapse:collapse;margin-bottom:1.5em}"
    "th,td{border:1px solid #ccc;padding:.2em .6em;text-align:left}"
    "svg{display:block;margin-bottom:1.5em}svg text{font-size:11px;fill:#444}"
    "rect.modules{fill:#4a7fb5}rect.failures{fill:#c0504d}"
    "polyline{fill:none;stroke-width:2}polyline.yield{stroke:#2e8b57}"
    "polyline.cumulative{stroke:#333}";

}  // namespace

std::string html_page(const PageContents& contents) {
  std::string html =
      "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\"><head>"
      "<meta charset=\"utf-8\"/><title>kavro-report</title><style>" +
      std::string(kStyle) + "</style></head><body>\n<h1>kavro-report</h1><p>" +
      escaped(contents.heading) + "</p>\n";
  if (!contents.hours.empty()) {
    html += "<h2>Modules per hour and yield</h2>" + hourly_chart(contents.hours) + "\n";
  }
  if (!contents.failures.empty()) {
    html += "<h2>Failures, worst first</h2>" + pareto_chart(contents.failures) + "\n";
  }
  for (const Table& table : contents.tables) {
    html += html_table(table);
  }
  return html + "</body></html>\n";
}

}  // namespace report
