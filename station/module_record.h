#pragma once

// What the station knows about one module of the shift: where it is plugged in, how far its
// session has come, and how it ended. Written by the shift, read by the views and the log.

#include <chrono>
#include <string>
#include <vector>

namespace station {

enum class Outcome { Running, Ok, Failed };

struct ModuleRecord {
  int slot = 0;             // the flasher's slot index
  std::string device_path;  // USB bus and port chain, e.g. "1-4.2"
  std::string remote;       // "HOST BUSID" of a module imported over USB/IP; "" when local
  std::string platform;     // "s5l", "cv22", "cv25", "s6lm", or "?" when not reported
  int state = 0;            // session state of the request protocol (0 to 7)
  int percent = 0;
  std::chrono::system_clock::time_point started;
  std::chrono::system_clock::time_point finished;  // set once the outcome is known
  Outcome outcome = Outcome::Running;
  int error = 0;  // the error pair of a failed session (0 0 when it was stopped)
  int sub_error = 0;
  bool stopped = false;  // the operator stopped it before it ended
};

// A remote host (USB/IP) whose exports could not be listed at the last try.
struct UnreachableHost {
  std::string name;  // "HOST:PORT"
  std::chrono::system_clock::time_point since;
};

// The shift so far, for the summary line.
struct Summary {
  int done = 0;
  int failed = 0;
  int running = 0;
  double modules_per_hour = 0;  // finished modules over the time the shift has run
  bool stopping = false;        // no new modules are taken
  std::vector<UnreachableHost> unreachable_hosts;
  std::string results_status;  // why records do not reach the results database; "" when they do
};

// The words of a session state.
const char* state_words(int state);
// Elapsed time of a record, up to now while it runs.
std::chrono::duration<double> elapsed(const ModuleRecord& record);

}  // namespace station
