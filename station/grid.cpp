// The operator's grid, drawn from the shift's model.
#include "station/grid.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

#include "common/request_protocol.h"
#include "station/module_words.h"
#include "station/vhci_ports.h"

namespace station {
namespace {

constexpr int kHeaderLines = 2;
constexpr size_t kDigestShown = 12;

constexpr std::array<const char*, 4> kHiddenWords{"needing a hand", "flashing", "done", "idle"};

std::string minutes_seconds(std::chrono::duration<double> elapsed) {
  const int seconds = std::max(0, static_cast<int>(elapsed.count()));
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d", seconds / 60, seconds % 60);
  return text;
}

std::string running_words(const ModuleRecord& module, Clock::time_point now) {
  switch (module.state) {
    case SESSION_STATE_ADS:
      return "bring-up script";
    case SESSION_STATE_BLD_DOWNLOAD:
      return "sending bootloader " + std::to_string(module.percent) + "%";
    case SESSION_STATE_MODE_SWITCH:
      return "waiting for the module to return (" +
             std::to_string(
                 std::chrono::duration_cast<std::chrono::seconds>(now - module.state_since)
                     .count()) +
             " s)";
    case SESSION_STATE_SOFTWARE:
      return "writing images " + std::to_string(module.percent) + "%";
    default:
      return "loading firmware";
  }
}

std::string failed_words(const Port& port, const ModuleRecord& module) {
  if (module.stopped) {
    return what_to_do(module);
  }
  const std::string advice =
      port.failures_in_a_row >= kFailuresBeforeWarning ? port_warning_words() : what_to_do(module);
  return "failed (" + advice + "): " + failure_words(module);
}

// An empty port: its warning, or its last result dimmed.
PortRow empty_row(const Port& port) {
  if (port.failures_in_a_row >= kFailuresBeforeWarning) {
    return {Need::Hand, LineStyle::Attention, "", "empty: " + port_warning_words()};
  }
  if (!port.last) {
    return {Need::Idle, LineStyle::Plain, "", "empty"};
  }
  const ModuleRecord& last = *port.last;
  const std::string result =
      last.outcome == Outcome::Ok ? "done"
      : last.stopped              ? "stopped"
      : last.outcome == Outcome::WrongPlatform
          ? "wrong platform " + last.platform
          : "failed " + std::to_string(last.error) + " " + std::to_string(last.sub_error);
  return {Need::Idle, LineStyle::Dimmed, "", "empty (last: " + result + ")"};
}

}  // namespace

PortRow port_row(const Port& port, Clock::time_point now) {
  if (!port.module) {
    return empty_row(port);
  }
  const ModuleRecord& module = *port.module;
  const std::string time = minutes_seconds(elapsed(module, now));
  switch (module.outcome) {
    case Outcome::Running:
      return {Need::Running, LineStyle::Running, time, running_words(module, now)};
    case Outcome::Ok:
      return {Need::Finished, LineStyle::Done, time, "done: take it out"};
    case Outcome::WrongPlatform:
      return {Need::Hand, LineStyle::Attention, "", wrong_platform_words(module)};
    case Outcome::Failed:
      break;
  }
  return {Need::Hand, LineStyle::Failed, time, failed_words(port, module)};
}

namespace {

std::string port_label(const Port& port) {
  return port.device_path + (port.remote.empty() ? "" : " (" + port.remote + ")");
}

std::string utc_minutes(Clock::time_point time) {
  const std::time_t seconds = Clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

// The first `columns` characters of `text`, counted as UTF-8 characters.
std::string cut(const std::string& text, int columns) {
  int shown = 0;
  for (size_t at = 0; at < text.size(); ++at) {
    const bool starts_character = (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
    if (starts_character && ++shown > columns) {
      return text.substr(0, at);
    }
  }
  return text;
}

std::vector<ScreenLine> header_lines(const ShiftState& state) {
  const FirmwareShown& firmware = state.firmware;
  std::string second = "firmware " + (firmware.platform.empty() ? "?" : firmware.platform);
  if (!firmware.version.empty()) {
    second += " " + firmware.version;
  }
  second += ": " + (firmware.archive_name.empty() ? "built in" : firmware.archive_name);
  if (!firmware.sha256.empty()) {
    second += " sha256 " + firmware.sha256.substr(0, kDigestShown);
  }
  return {{"kavro-station " + state.station + ", shift since " + utc_minutes(state.started),
           LineStyle::Header},
          {second, LineStyle::Header}};
}

std::string hidden_words(const std::array<int, 4>& hidden) {
  std::string words;
  for (size_t need = 0; need < hidden.size(); ++need) {
    if (hidden[need] > 0) {
      words += (words.empty() ? "+" : ", +") + std::to_string(hidden[need]) +
               (hidden[need] == 1 ? " port " : " ports ") + kHiddenWords[need];
    }
  }
  return words;
}

// The port rows that fit in `room` lines, with the line that counts the others.
std::vector<ScreenLine> port_lines(const ShiftState& state, int room, int columns,
                                   Clock::time_point now) {
  std::vector<PortRow> rows;
  size_t label_width = 0;
  for (const Port& port : state.ports) {
    rows.push_back(port_row(port, now));
    label_width = std::max(label_width, port_label(port).size());
  }
  label_width = std::min(label_width, static_cast<size_t>(std::max(columns / 2, 1)));
  std::vector<bool> shown(rows.size(), true);
  std::array<int, 4> hidden{};
  if (static_cast<int>(rows.size()) > room) {
    // One line goes to the count of the rows left out; the most urgent rows take the rest.
    int left = std::max(room - 1, 0);
    for (Need need : {Need::Hand, Need::Running, Need::Finished, Need::Idle}) {
      for (size_t row = 0; row < rows.size(); ++row) {
        if (rows[row].need != need) {
          continue;
        }
        shown[row] = left > 0;
        left -= shown[row] ? 1 : 0;
        hidden[static_cast<size_t>(need)] += shown[row] ? 0 : 1;
      }
    }
  }
  std::vector<ScreenLine> lines;
  for (size_t row = 0; row < rows.size(); ++row) {
    if (!shown[row]) {
      continue;
    }
    char start[256];
    std::snprintf(start, sizeof start, "%-*s %5s  ", static_cast<int>(label_width),
                  cut(port_label(state.ports[row]), static_cast<int>(label_width)).c_str(),
                  rows[row].time.c_str());
    lines.push_back({start + rows[row].text, rows[row].style});
  }
  if (const std::string words = hidden_words(hidden); !words.empty()) {
    lines.push_back({words, LineStyle::Plain});
  }
  return lines;
}

std::vector<ScreenLine> footer_lines(const ShiftState& state, Clock::time_point now) {
  std::string summary = summary_words(state, now);
  if (state.stopping) {
    summary += "; " + stopping_words(state) + "; Ctrl-C again stops them";
  }
  std::vector<ScreenLine> lines{{summary, LineStyle::Plain}};
  if (state.results_database) {
    lines.push_back({state.results_database->words, LineStyle::Failed});
  }
  for (const UnreachableHost& host : state.unreachable_hosts) {
    lines.push_back(
        {"remote host " + host.name + " unreachable for " + minutes_seconds(now - host.since),
         LineStyle::Failed});
  }
  if (state.remote_modules_without_port > 0) {
    lines.push_back(
        {no_free_vhci_port_words(state.remote_modules_without_port), LineStyle::Attention});
  }
  return lines;
}

}  // namespace

std::vector<ScreenLine> render_grid(const ShiftState& state, TerminalSize size,
                                    Clock::time_point now) {
  std::vector<ScreenLine> header = header_lines(state);
  std::vector<ScreenLine> footer = footer_lines(state, now);
  // A very small terminal gives up the header before the ports.
  if (size.rows - static_cast<int>(footer.size()) - kHeaderLines < 1) {
    header.clear();
  }
  const int room = size.rows - static_cast<int>(header.size() + footer.size());
  std::vector<ScreenLine> lines = std::move(header);
  for (ScreenLine& line : port_lines(state, room, size.columns, now)) {
    lines.push_back(std::move(line));
  }
  lines.insert(lines.end(), footer.begin(), footer.end());
  for (ScreenLine& line : lines) {
    line.text = cut(line.text, size.columns);
  }
  if (static_cast<int>(lines.size()) > size.rows) {
    lines.resize(static_cast<size_t>(std::max(size.rows, 0)));
  }
  return lines;
}

}  // namespace station
