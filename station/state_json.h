#pragma once

// The shift's model as JSON, for the dashboard and for a factory's own systems: one object
// built from the model by one function, so that /api/state, the event stream and the page
// never tell different stories. Its words and figures are those of the terminal grid.
//
//   {"shift":   station, shift start, firmware, stopping words, unreachable hosts, records
//               not reaching the results database,
//    "ports":   one object per port, in the grid's order,
//    "summary": done, failed, wrong platform, yield, running, modules per hour, and the words,
//    "chart":   done and failed per ten minutes, with the yield of each stretch,
//    "recent":  the last finished modules, newest first}
//
// The man page lists every key.

#include <string>

#include "station/result_record.h"
#include "station/shift_state.h"

namespace station {

JsonObject state_json(const ShiftState& state, Clock::time_point now);

// The key of a port that stays the same all shift: its device path, or for a port on a remote
// host, the host and bus id (the local device path is only the import slot it got).
std::string port_id(const Port& port);

}  // namespace station
