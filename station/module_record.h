#pragma once

// What the station knows about one module of the shift: where it is plugged in, how far its
// session has come, and how it ended. Written by the shift, read by the views and the records.

#include <chrono>
#include <string>

namespace station {

// Wrong platform: a module the firmware is not for, never flashed, counted apart.
enum class Outcome { Running, Ok, Failed, WrongPlatform };

struct ModuleRecord {
  int slot = 0;             // the flasher's slot index, which the session also sends as device ID
  std::string device_path;  // USB bus and port chain, e.g. "1-4.2"
  std::string remote;       // "HOST BUSID" of a module imported over USB/IP; "" when local
  std::string platform;     // "s5l", "cv22", "cv25", "s6lm", or "?" when not reported
  std::string usb_serial;   // the serial number string of its USB descriptor; "" when none
  int state = 0;            // the session's state (0 to 5 while running; the last one seen after)
  int percent = 0;
  std::chrono::system_clock::time_point started;
  std::chrono::system_clock::time_point state_since;  // when `state` was first seen
  std::chrono::system_clock::time_point finished;     // set once the outcome is known
  Outcome outcome = Outcome::Running;
  int error = 0;  // the error pair of a failed session (0 0 when it was stopped or never ran)
  int sub_error = 0;
  bool stopped = false;  // the operator stopped it before it ended
};

// Elapsed time of a record, up to `now` while it runs.
std::chrono::duration<double> elapsed(const ModuleRecord& record,
                                      std::chrono::system_clock::time_point now);

}  // namespace station
