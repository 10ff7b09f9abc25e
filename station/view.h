#pragma once

// How the operator sees the shift: the grid redrawn in place on a terminal, or one plain line
// per event when standard output is a file or a pipe; and, beside either, a dashboard served to
// browsers. All read the one model of the shift.

#include <memory>
#include <string>
#include <vector>

#include "station/shift.h"
#include "station/shift_state.h"

namespace station {

class View : public ShiftListener {
 public:
  virtual ~View() = default;
  // The shift starts: its station and firmware are known.
  virtual void begin(const ShiftState& state) = 0;
  // Called a few times a second.
  virtual void refresh(const ShiftState& state) = 0;
  // The first stop signal, while sessions still run: no new modules are taken.
  virtual void stopping(const ShiftState& state) = 0;
  // The end of the shift.
  virtual void finish(const ShiftState& state) = 0;
};

std::unique_ptr<View> make_event_lines();
// `bell`: ring the terminal bell once for each failed module.
std::unique_ptr<View> make_live_table(bool bell);
// The dashboard's web server on `address` and `port` (0: any free one, named on standard
// error), letting in only requests that carry the token in `token_file` when one is given.
// Throws std::runtime_error when it cannot serve.
std::unique_ptr<View> make_dashboard(const std::string& address, int port,
                                     const std::string& token_file);
// Every step told to each view in turn.
std::unique_ptr<View> fan_out(std::vector<std::unique_ptr<View>> views);

}  // namespace station
