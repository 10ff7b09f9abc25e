#pragma once
// The flash sessions of the process, one entry per slot index.

#include <array>

#include "usb/device_manager.h"

struct flash_session;

// The flash sessions of the process, one entry per slot index of the device manager. An empty
// entry means the module in that slot has no session. Every session still open when the table
// goes away is stopped and freed, lowest slot first.
class SessionTable {
 public:
  SessionTable() = default;
  SessionTable(const SessionTable&) = delete;
  SessionTable& operator=(const SessionTable&) = delete;
  ~SessionTable();

  // The handle variable of slot `index` (0 to 63), as the session operations take it.
  flash_session** entry(int index) { return &flash_ctx_[index]; }
  bool has_session(int index) const { return flash_ctx_[index] != nullptr; }
  void destroy_all();

 private:
  std::array<flash_session*, DM_MAX_DEVICES> flash_ctx_{};
};
