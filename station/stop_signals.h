#pragma once

// SIGINT and SIGTERM as the operator's requests to end the shift: the first stops taking new
// modules, the second stops the running sessions too. The signals are counted, and only
// delivered while the station pauses between two rounds, so no request to the flasher is
// ever cut short by one.

#include <chrono>

namespace station {

// Installs the counting handlers and holds the two signals back outside pause_for().
void install_stop_signals();
// How many stop signals have arrived so far.
int stop_signals();
// Waits `duration`, or less when a stop signal arrives.
void pause_for(std::chrono::milliseconds duration);

}  // namespace station
