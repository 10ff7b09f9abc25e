#pragma once

// The operator's grid: the shift's model drawn as the lines of a terminal of a given size, one
// fixed row per port. It is a pure function of the model, the size and the time, so that the
// terminal view only has to put the lines on the screen.

#include <string>
#include <vector>

#include "station/shift_state.h"

namespace station {

struct TerminalSize {
  int columns = 80;
  int rows = 24;
};

// How a line is shown; the terminal view turns it into colours.
enum class LineStyle {
  Plain,
  Header,     // bold
  Dimmed,     // an empty port's last result
  Running,    // yellow
  Done,       // green
  Failed,     // red
  Attention,  // magenta: a module of another platform, a port that keeps failing
};

struct ScreenLine {
  std::string text;  // at most `columns` characters
  LineStyle style = LineStyle::Plain;
  bool operator==(const ScreenLine&) const = default;
};

// Which rows stay in sight when the ports do not all fit, most urgent first.
enum class Need { Hand, Running, Finished, Idle };

// One port as its row shows it; other views show the same words.
struct PortRow {
  Need need = Need::Idle;
  LineStyle style = LineStyle::Plain;
  std::string time;  // "m:ss" of the module's session, "" for an empty port
  std::string text;
};

PortRow port_row(const Port& port, Clock::time_point now);

// At most `size.rows` lines: two header lines (station and shift start; firmware), a row per
// port, a summary, a line when records are not reaching the results database, and a line per
// unreachable remote host. When the ports do not all fit, the
// rows that need the operator are kept (a failure, then a running module, then a finished
// one) in port order, and the others are counted on one line ("+12 ports idle").
std::vector<ScreenLine> render_grid(const ShiftState& state, TerminalSize size,
                                    Clock::time_point now);

}  // namespace station
