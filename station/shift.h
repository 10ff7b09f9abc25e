#pragma once

// The station's work over the request protocol, one round at a time: every module that shows up
// in hardware mode gets a session at once; every session is polled until it ends, its result
// recorded and its slot closed, so that the next module plugged into the port is flashed in
// turn. A finished module stays on its port until it is taken out, and is never flashed twice.
// Everything the shift learns goes into the shift's model, and each step to a listener.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "station/flasher_link.h"
#include "station/shift_state.h"

namespace station {

// Told of every step of a module; the records handed over stay valid until the next round.
class ShiftListener {
 public:
  virtual void module_found(const ModuleRecord& module) = 0;
  virtual void module_started(const ModuleRecord& module) = 0;
  virtual void module_finished(const ModuleRecord& module) = 0;
  virtual void module_removed(const ModuleRecord& module, Clock::time_point removed) = 0;
  // The port's last kFailuresBeforeWarning modules all failed.
  virtual void port_unhealthy(const Port& port) = 0;

 protected:
  ~ShiftListener() = default;
};

class Shift {
 public:
  // `remote_of` names where a module imported over USB/IP comes from, by its device path.
  using RemoteOf = std::function<std::string(const std::string& device_path)>;
  // The shift writes its modules into `state`; a firmware platform there lets it turn a module
  // of another platform away without a session.
  Shift(FlasherLink& link, ShiftState& state, ShiftListener& listener,
        RemoteOf remote_of = nullptr);

  // One round: notes the modules taken out, takes on the new ones when `take_new`, then polls
  // the running sessions. False when the flasher can no longer be talked to.
  bool poll(bool take_new);
  // Stops every running session at once; each is recorded as failed and stopped.
  bool stop_all();

  // When the last module was found; nothing before the first.
  std::optional<Clock::time_point> last_found() const { return last_found_; }

 private:
  // A slot whose module sits on a port: its session runs, or it ended and the module is
  // still there.
  struct Occupied {
    std::string port_device_path;
    std::string port_remote;
    bool running = false;
    // Once finished: whether the module was on the bus at the end or since, and whether it
    // was left in hardware mode (so that one seen there again is the same module).
    bool on_bus = false;
    bool left_in_hardware_mode = false;
  };

  // The slot indexes of the modules ready now, or nothing when the flasher is gone.
  std::optional<std::set<int>> list_slots();
  // Whether a module waits in hardware mode at `slot`; nothing when the flasher is gone.
  std::optional<bool> in_hardware_mode_without_session(int slot);
  // Notes a finished module taken out (or replaced) and says whether its slot is free now.
  std::optional<bool> follow_finished(int slot, Occupied& occupied, const std::set<int>& listed);
  bool start(int slot, const std::set<int>& listed);
  bool poll_session(int slot, const std::set<int>& listed);
  void finish(int slot, bool on_bus);
  bool close(int slot, const std::set<int>& listed);
  void remove(int slot);
  Port& port_of(const Occupied& occupied);

  FlasherLink& link_;
  ShiftState& state_;
  ShiftListener& listener_;
  RemoteOf remote_of_;
  std::map<int, Occupied> occupied_;
  std::optional<Clock::time_point> last_found_;
};

}  // namespace station
