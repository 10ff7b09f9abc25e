#pragma once

// The words every view uses for a module and for the shift, so that the terminal grid, the
// event lines and any later view say the same thing.

#include <string>

#include "station/shift_state.h"

namespace station {

// " (HOST BUSID)" for a module imported over USB/IP, "" for a local one.
std::string remote_words(const ModuleRecord& module);
// "error -22 5: <error text>: <detail text>", or "stopped" for a session the operator ended.
std::string failure_words(const ModuleRecord& module);
// What the person at the bench does with a failed module, e.g. "set it aside".
std::string what_to_do(const ModuleRecord& module);
// "wrong platform (cv25) for this firmware: take it out"
std::string wrong_platform_words(const ModuleRecord& module);
// "3 failures in a row: check the cable and hub"
std::string port_warning_words();
// "done 8, failed 1, yield 88.9%, running 2, 41.3 modules/h": the yield once a module
// finished, the wrong-platform count once there was one, the rate once a module was done.
std::string summary_words(const ShiftState& state, Clock::time_point now);
// "stopping: 2 still running", the words after the first stop signal.
std::string stopping_words(const ShiftState& state);

}  // namespace station
