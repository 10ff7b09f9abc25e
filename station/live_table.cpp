// The terminal view: the operator's grid, redrawn in place a few times a second and anew when
// the terminal is resized, with one bell for each failed module.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "station/grid.h"
#include "station/signals.h"
#include "station/view.h"

namespace station {
namespace {

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kClearToLineEnd = "\x1b[K";
constexpr const char* kClearToScreenEnd = "\x1b[J";
constexpr const char* kClearScreen = "\x1b[H\x1b[2J";
constexpr const char* kBell = "\a";

const char* style_code(LineStyle style) {
  switch (style) {
    case LineStyle::Header:
      return "\x1b[1m";
    case LineStyle::Dimmed:
      return "\x1b[2m";
    case LineStyle::Running:
      return "\x1b[33m";
    case LineStyle::Done:
      return "\x1b[32m";
    case LineStyle::Failed:
      return "\x1b[31m";
    case LineStyle::Attention:
      return "\x1b[35m";
    case LineStyle::Plain:
      break;
  }
  return "";
}

TerminalSize terminal_size() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) {
    return {};
  }
  return {size.ws_col, size.ws_row};
}

class LiveTable final : public View {
 public:
  explicit LiveTable(bool bell) : bell_(bell) {}

  void begin(const ShiftState& state) override { refresh(state); }
  void module_found(const ModuleRecord&) override {}
  void module_started(const ModuleRecord&) override {}
  void module_finished(const ModuleRecord& module) override {
    if (bell_ && module.outcome == Outcome::Failed && !module.stopped) {
      std::fputs(kBell, stdout);
      std::fflush(stdout);
    }
  }
  void module_removed(const ModuleRecord&, Clock::time_point) override {}
  void port_unhealthy(const Port&) override {}
  void stopping(const ShiftState& state) override { refresh(state); }

  void refresh(const ShiftState& state) override {
    const TerminalSize size = terminal_size();
    // A resized terminal has rewrapped what was drawn: start again from its top.
    const bool resized = take_terminal_resized() || size.columns != drawn_size_.columns ||
                         size.rows != drawn_size_.rows;
    if (resized && drawn_lines_ > 0) {
      std::fputs(kClearScreen, stdout);
    } else if (drawn_lines_ > 1) {
      std::printf("\x1b[%dA", drawn_lines_ - 1);
    }
    std::fputs("\r", stdout);
    const std::vector<ScreenLine> lines = render_grid(state, size, Clock::now());
    for (size_t line = 0; line < lines.size(); ++line) {
      std::printf("%s%s%s%s%s", line == 0 ? "" : "\n", style_code(lines[line].style),
                  lines[line].text.c_str(), kReset, kClearToLineEnd);
    }
    std::fputs(kClearToScreenEnd, stdout);
    std::fflush(stdout);
    drawn_lines_ = static_cast<int>(lines.size());
    drawn_size_ = size;
  }

  void finish(const ShiftState& state) override {
    refresh(state);
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }

 private:
  bool bell_;
  int drawn_lines_ = 0;
  TerminalSize drawn_size_;
};

}  // namespace

std::unique_ptr<View> make_live_table(bool bell) {
  return std::make_unique<LiveTable>(bell);
}

}  // namespace station
