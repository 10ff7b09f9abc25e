#pragma once
// Internal state of the device manager, shared by the files that implement it. Nothing outside
// usb/ includes this header.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "usb/bus.h"
#include "usb/device_manager.h"

inline constexpr size_t DM_DESCRIPTOR_LENGTH = 18;

// Every control transfer gets this limit, so a module that stops answering on endpoint 0 turns
// into an error instead of a stuck thread.
inline constexpr unsigned DM_CONTROL_TIMEOUT_MS = 3000;

struct dm_device {
  // Shared so that a transfer in flight keeps the handle alive when reconciliation closes the
  // slot at the same moment: the handle is really closed when the last user lets go of it.
  std::shared_ptr<usb::Device> device;
  std::string device_path;    // empty: slot free; once set, never cleared
  std::string serial;         // the module's serial number string; empty when it has none
  const char* platform = "";  // a name from the product table, or empty
  uint32_t pid = 0;           // product id seen at the last open
  uint32_t vid = 0;           // vendor id seen at the last open
  uint64_t enumeration = 0;   // the bus's enumeration of the module at the last open
  std::array<uint8_t, DM_DESCRIPTOR_LENGTH> descriptor{};  // first byte non-zero: ready
  bool descriptor_tried = false;  // the service thread has read (or failed to read) it once

  bool is_free() const { return device_path.empty(); }
  bool is_open() const { return device != nullptr; }
  bool is_ready() const { return is_open() && descriptor[0] != 0; }
};

struct dm_state {
  std::shared_ptr<usb::Bus> bus;
  dm_timing timing;  // fixed before the threads start

  // Guards the slot table, `change_count`, `descriptor_wanted` and `reconciled`.
  std::mutex lock;
  std::array<dm_device, DM_MAX_DEVICES> slots;
  bool reconciled = false;    // the modules attached at start have been looked for
  uint64_t change_count = 0;  // grows whenever a slot opens, closes or becomes ready
  std::condition_variable slot_changed;
  bool descriptor_wanted = false;  // a slot was opened; wakes the service thread early
  std::condition_variable service_wake;

  // Guards `bus_changed`. Kept apart from `lock` because the bus's notification runs on the
  // bus's own thread, possibly while the bus holds locks that reconciliation also needs.
  std::mutex wake_lock;
  bool bus_changed = false;  // the bus reported an arrival or removal not yet reconciled
  std::condition_variable reconcile_wake;

  // Written while holding both `lock` and `wake_lock`, so either one suffices to read it.
  bool stopping = false;

  std::thread reconcile_thread;
  std::thread service_thread;
};

// A consistent copy of the slot fields a command needs, taken under the lock.
struct slot_snapshot {
  std::shared_ptr<usb::Device> device;
  uint32_t pid = 0;
};

// Null when `dm` or the handle it points to is null or `index` is outside the slot table.
dm_state* checked_state(dm_state** dm, int index);
slot_snapshot snapshot_slot(dm_state& state, int index);
// Records a slot change and wakes whoever waits for one. Call with `lock` held.
void note_slot_change(dm_state& state);

// Thread bodies (device_tracking.cpp).
void reconcile_loop(dm_state& state);
void service_loop(dm_state& state);
// Waits until the modules attached at start are in their slots and each has had its
// descriptor read once (or the read failed), at most `limit`.
void wait_for_first_enumeration(dm_state& state, std::chrono::milliseconds limit);
