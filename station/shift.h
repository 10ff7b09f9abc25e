#pragma once

// The station's work over the request protocol, one round at a time: every module that shows up
// in hardware mode gets a session at once; every session is polled until it ends, its result
// recorded and its slot closed, so that the next module plugged into the port is flashed in
// turn. A module that failed and stays in hardware mode is remembered until it leaves, so it
// is never flashed twice in a row.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "station/flasher_link.h"
#include "station/module_record.h"

namespace station {

// Told of every step of a module; the records handed over stay valid until the next round.
class ShiftListener {
 public:
  virtual void module_found(const ModuleRecord& record) = 0;
  virtual void module_started(const ModuleRecord& record) = 0;
  virtual void module_finished(const ModuleRecord& record) = 0;

 protected:
  ~ShiftListener() = default;
};

class Shift {
 public:
  // `remote_of` names where a module imported over USB/IP comes from, by its device path.
  using RemoteOf = std::function<std::string(const std::string& device_path)>;
  Shift(FlasherLink& link, ShiftListener& listener, RemoteOf remote_of = nullptr);

  // One round: takes on the new modules when `take_new`, then polls the running sessions.
  // False when the flasher can no longer be talked to.
  bool poll(bool take_new);
  // Stops every running session at once; each is recorded as failed.
  bool stop_all();

  const std::vector<ModuleRecord>& records() const { return records_; }
  int running() const { return static_cast<int>(running_.size()); }
  Summary summary() const;

 private:
  // The slot indexes of the modules ready now, or nothing when the flasher is gone.
  std::optional<std::set<int>> list_slots();
  // Whether a module waits in hardware mode at `slot`; nothing when the flasher is gone.
  std::optional<bool> in_hardware_mode_without_session(int slot);
  bool start(int slot);
  bool poll_session(int slot, size_t record);
  bool close(int slot, size_t record);

  FlasherLink& link_;
  ShiftListener& listener_;
  RemoteOf remote_of_;
  std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
  std::vector<ModuleRecord> records_;
  std::map<int, size_t> running_;  // slot -> its record
  // Slots whose module failed and may still wait in hardware mode. A module that succeeded
  // rebooted into its new firmware and left, and one in software mode is never taken, so a
  // module found in hardware mode on any other slot is a new one.
  std::set<int> remembered_;
};

}  // namespace station
