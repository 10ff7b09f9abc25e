// Keeps the slot table in step with the bus: reconciliation binds modules to slots and opens or
// closes them, the service thread reads each newly opened module's device descriptor.

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "common/products.h"
#include "usb/device_manager_state.h"

namespace {

// Standard GET_DESCRIPTOR request for the device descriptor.
constexpr usb::SetupPacket DEVICE_DESCRIPTOR_REQUEST{0x80, 0x06, 0x0100, 0,
                                                     static_cast<uint16_t>(DM_DESCRIPTOR_LENGTH)};

// Name of the first product row with this VID and PID, or null for a PID no row knows.
const char* platform_for(uint32_t vid, uint32_t pid) {
  const auto row = std::find_if(product_table.begin(), product_table.end(), [&](const auto& r) {
    return r.usb_vid == vid && r.usb_pid == pid;
  });
  return row == product_table.end() ? nullptr : row->name;
}

bool counts(const usb::DeviceInfo& info) {
  return info.vid == KAVRO_USB_VID && !info.device_path.empty();
}

// False when the module could not be opened: the slot stays bound but closed and is retried.
bool open_slot(dm_state& state, dm_device& slot, const usb::DeviceInfo& info) {
  std::unique_ptr<usb::Device> device = state.bus->open(info);
  if (device == nullptr) {
    return false;
  }
  slot.device = std::move(device);
  slot.descriptor.fill(0);
  slot.descriptor_tried = false;
  slot.pid = info.pid;
  slot.vid = info.vid;
  slot.serial = info.serial;
  slot.enumeration = info.enumeration;
  if (info.pid != KAVRO_SOFTWARE_PID) {
    if (const char* platform = platform_for(info.vid, info.pid)) {
      slot.platform = platform;
    }
  }
  state.descriptor_wanted = true;
  note_slot_change(state);
  return true;
}

void close_slot(dm_state& state, dm_device& slot) {
  slot.device.reset();
  note_slot_change(state);
}

const usb::DeviceInfo* find_attached(const std::vector<usb::DeviceInfo>& attached,
                                     const std::string& path) {
  const auto it = std::find_if(attached.begin(), attached.end(),
                               [&](const auto& info) { return info.device_path == path; });
  return it == attached.end() ? nullptr : &*it;
}

// The open handle belongs to an earlier enumeration of the listed module: the removal and the
// arrival came together, and the handle is stale.
bool reenumerated(const dm_device& slot, const usb::DeviceInfo& info) {
  return slot.pid != info.pid || slot.enumeration != info.enumeration;
}

// Pass A: every bound slot follows its module. A module that is gone closes its slot but keeps
// the binding, so it finds the same slot when it returns; one that has re-enumerated is opened
// anew. Returns false when a listed module could not be opened.
bool follow_bound_slots(dm_state& state, const std::vector<usb::DeviceInfo>& attached) {
  bool all_opened = true;
  for (auto& slot : state.slots) {
    if (slot.is_free()) {
      continue;
    }
    const usb::DeviceInfo* info = find_attached(attached, slot.device_path);
    if (info == nullptr) {
      if (slot.is_open()) {
        close_slot(state, slot);
      }
      continue;
    }
    if (slot.is_open() && reenumerated(slot, *info)) {
      close_slot(state, slot);
    }
    // The bus may read a serial number only at a later listing.
    if (slot.is_open() && !info->serial.empty()) {
      slot.serial = info->serial;
    }
    if (!slot.is_open() && !open_slot(state, slot, *info)) {
      all_opened = false;
    }
  }
  return all_opened;
}

// Pass B: modules no slot knows take the lowest free slot. Slots are never given back, so once
// all 64 are bound further modules are ignored. Returns false when a module could not be opened.
bool bind_new_modules(dm_state& state, const std::vector<usb::DeviceInfo>& attached) {
  bool all_opened = true;
  for (const auto& info : attached) {
    const bool bound = std::any_of(state.slots.begin(), state.slots.end(), [&](const auto& slot) {
      return slot.device_path == info.device_path;
    });
    if (bound) {
      continue;
    }
    const auto free_slot = std::find_if(state.slots.begin(), state.slots.end(),
                                        [](const auto& slot) { return slot.is_free(); });
    if (free_slot == state.slots.end()) {
      break;
    }
    free_slot->device_path = info.device_path;
    if (!open_slot(state, *free_slot, info)) {
      all_opened = false;
    }
  }
  return all_opened;
}

// The bus is listed while the lock is held: the listing and the slot table then form one
// snapshot, and anyone who takes the lock after the listing started sees the whole pass.
// Returns false when a listed module could not be opened.
bool reconcile(dm_state& state) {
  std::lock_guard guard(state.lock);
  std::vector<usb::DeviceInfo> attached = state.bus->list(static_cast<uint16_t>(KAVRO_USB_VID));
  std::erase_if(attached, [](const auto& info) { return !counts(info); });
  const bool bound_opened = follow_bound_slots(state, attached);
  const bool new_opened = bind_new_modules(state, attached);
  if (state.descriptor_wanted) {
    state.service_wake.notify_one();
  }
  state.reconciled = true;
  state.slot_changed.notify_all();
  return bound_opened && new_opened;
}

struct pending_read {
  int index;
  std::shared_ptr<usb::Device> device;
  std::array<uint8_t, DM_DESCRIPTOR_LENGTH> descriptor{};
  bool succeeded = false;
};

std::vector<pending_read> slots_awaiting_descriptor(const dm_state& state) {
  std::vector<pending_read> reads;
  for (int index = 0; index < DM_MAX_DEVICES; ++index) {
    const auto& slot = state.slots[index];
    if (slot.is_open() && slot.descriptor[0] == 0) {
      reads.push_back({index, slot.device});
    }
  }
  return reads;
}

void read_descriptor(pending_read& read) {
  const int result =
      read.device->control(DEVICE_DESCRIPTOR_REQUEST, read.descriptor, DM_CONTROL_TIMEOUT_MS);
  read.succeeded = result == static_cast<int>(DM_DESCRIPTOR_LENGTH);
}

// A result counts only if the slot still holds the handle it was read from; a slot closed or
// reopened meanwhile waits for a read of its new handle.
void store_descriptor(dm_state& state, const pending_read& read) {
  auto& slot = state.slots[read.index];
  if (slot.device != read.device) {
    return;
  }
  slot.descriptor = read.succeeded ? read.descriptor : decltype(read.descriptor){};
  slot.descriptor_tried = true;
  if (slot.is_ready()) {
    note_slot_change(state);
  }
}

}  // namespace

// Reconciles at every bus event, and again after a short pause while a listed module could not
// be opened: the bus may report nothing more about it.
void reconcile_loop(dm_state& state) {
  std::unique_lock wake(state.wake_lock);
  bool retry = false;
  for (;;) {
    const auto woken = [&] { return state.bus_changed || state.stopping; };
    if (retry) {
      state.reconcile_wake.wait_for(wake, state.timing.open_retry_period, woken);
    } else {
      state.reconcile_wake.wait(wake, woken);
    }
    if (state.stopping) {
      return;
    }
    state.bus_changed = false;
    wake.unlock();
    retry = !reconcile(state);
    wake.lock();
  }
}

// Reads descriptors without holding the lock, so that reconciliation and list requests are not
// held up by a slow module. The shared handle keeps a slot that is closed meanwhile from being
// released under the read.
void service_loop(dm_state& state) {
  std::unique_lock guard(state.lock);
  while (!state.stopping) {
    state.descriptor_wanted = false;
    std::vector<pending_read> reads = slots_awaiting_descriptor(state);
    guard.unlock();
    std::for_each(reads.begin(), reads.end(), read_descriptor);
    guard.lock();
    for (const auto& read : reads) {
      store_descriptor(state, read);
    }
    if (!reads.empty()) {
      state.slot_changed.notify_all();  // the first enumeration waits for failed reads too
    }
    // Let go of the handle copies before waiting: a slot closed during its read is then
    // released now, not a period later.
    reads.clear();
    state.service_wake.wait_for(guard, state.timing.service_period,
                                [&] { return state.stopping || state.descriptor_wanted; });
  }
}

void wait_for_first_enumeration(dm_state& state, std::chrono::milliseconds limit) {
  std::unique_lock guard(state.lock);
  state.slot_changed.wait_for(guard, limit, [&] {
    return state.reconciled && std::none_of(state.slots.begin(), state.slots.end(), [](auto& slot) {
             return slot.is_open() && !slot.descriptor_tried;
           });
  });
}
