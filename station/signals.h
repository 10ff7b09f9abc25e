#pragma once

// The signals the station acts on between two rounds. SIGINT and SIGTERM are the operator's
// requests to end the shift: the first stops taking new modules, the second stops the running
// sessions too. SIGWINCH says the terminal was resized, so the grid is drawn anew at once. The
// signals are only delivered while the station pauses between two rounds, so no request to the
// flasher is ever cut short by one.

#include <chrono>

namespace station {

// Installs the handlers and holds the signals back outside pause_for().
void install_signals();
// How many stop signals have arrived so far.
int stop_signals();
// Whether the terminal was resized since the last call.
bool take_terminal_resized();
// Waits `duration`, or less when a signal arrives.
void pause_for(std::chrono::milliseconds duration);

}  // namespace station
