// The device manager's lifetime, its error texts and the operations that read the slot table.

#include "usb/device_manager.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <new>
#include <string_view>
#include <system_error>

#include "common/products.h"
#include "usb/device_manager_state.h"

namespace {

// How long start-up waits for the modules already attached to be found and described, so that
// the first list already holds them; a module that does not answer in time is listed later.
constexpr auto FIRST_ENUMERATION_LIMIT = std::chrono::seconds(2);

// The one device manager of the process; a second init finds it here and leaves it alone.
std::mutex once_lock;
dm_state* once_ctx = nullptr;

// A slot passes the platform part of a list filter when it carries the name of every product
// row whose mask the filter selects; a filter without platform bits passes every slot.
bool platform_matches(const dm_device& slot, uint32_t filter) {
  return std::all_of(product_table.begin(), product_table.end(), [&](const product_entry& row) {
    return (row.platform_mask & filter) == 0 || std::string_view(slot.platform) == row.name;
  });
}

bool mode_matches(const dm_device& slot, uint32_t filter) {
  const bool software = slot.pid == KAVRO_SOFTWARE_PID;
  if ((filter & DM_LIST_HARDWARE_ONLY) != 0 && software) {
    return false;
  }
  return (filter & DM_LIST_SOFTWARE_ONLY) == 0 || software;
}

void stop_threads(dm_state& state) {
  {
    std::scoped_lock both(state.lock, state.wake_lock);
    state.stopping = true;
  }
  state.reconcile_wake.notify_all();
  state.service_wake.notify_all();
  if (state.reconcile_thread.joinable()) {
    state.reconcile_thread.join();
  }
  if (state.service_thread.joinable()) {
    state.service_thread.join();
  }
}

// Stops everything the state started and closes its handles. The bus stops notifying first, so
// no wake-up arrives for a thread that is gone.
void shut_down(dm_state& state) {
  state.bus->watch({});
  stop_threads(state);
  std::lock_guard guard(state.lock);
  for (auto& slot : state.slots) {
    slot.device.reset();
  }
  state.bus.reset();
}

}  // namespace

dm_state* checked_state(dm_state** dm, int index) {
  if (dm == nullptr || *dm == nullptr || index < 0 || index >= DM_MAX_DEVICES) {
    return nullptr;
  }
  return *dm;
}

slot_snapshot snapshot_slot(dm_state& state, int index) {
  std::lock_guard guard(state.lock);
  const auto& slot = state.slots[index];
  return {slot.device, slot.pid};
}

void note_slot_change(dm_state& state) {
  ++state.change_count;
  state.slot_changed.notify_all();
}

int kavro_dm_init(dm_state** dm, std::shared_ptr<usb::Bus> bus, const dm_timing& timing) {
  std::lock_guard once(once_lock);
  if (once_ctx != nullptr) {
    return 0;
  }
  if (dm == nullptr) {
    return DM_ERR_INVALID_PARAMETERS;
  }
  if (bus == nullptr) {
    return DM_ERR_USB_INIT;
  }
  auto state = std::unique_ptr<dm_state>(new (std::nothrow) dm_state{});
  if (state == nullptr) {
    return DM_ERR_NO_MEMORY;
  }
  state->bus = std::move(bus);
  state->timing = timing;
  try {
    state->reconcile_thread = std::thread(reconcile_loop, std::ref(*state));
    state->service_thread = std::thread(service_loop, std::ref(*state));
  } catch (const std::system_error&) {
    shut_down(*state);
    return DM_ERR_NO_MEMORY;
  }
  dm_state* raw = state.get();
  raw->bus->watch([raw] {
    {
      std::lock_guard guard(raw->wake_lock);
      raw->bus_changed = true;
    }
    raw->reconcile_wake.notify_one();
  });
  wait_for_first_enumeration(*raw, FIRST_ENUMERATION_LIMIT);
  once_ctx = state.release();
  *dm = once_ctx;
  return 0;
}

void kavro_dm_destroy(dm_state** dm) {
  if (dm == nullptr || *dm == nullptr) {
    return;
  }
  std::lock_guard once(once_lock);
  std::unique_ptr<dm_state> state(*dm);
  *dm = nullptr;
  shut_down(*state);
  if (once_ctx == state.get()) {
    once_ctx = nullptr;
  }
}

const char* kavro_dm_error_string(int code) {
  switch (code) {
    case DM_ERR_INVALID_PARAMETERS:
      return "Invalid parameters specified";
    case DM_ERR_NO_MEMORY:
      return "Insufficient memory available";
    case DM_ERR_USB_INIT:
      return "Could not initialize the USB library";
    case DM_ERR_CONTROL_TRANSFER:
      return "Error occurred during control transfer";
    case DM_ERR_PARTIAL_TRANSFER:
      return "Error, could only transfer partial data";
    case DM_ERR_POLL_TIMEOUT:
      return "Timeout during poll";
    case DM_ERR_INVALID_COMMAND:
      return "Invalid USB command";
    case DM_ERR_WRONG_MODE:
      return "Device is not in the correct mode for this command";
    case DM_ERR_BULK_TIMEOUT:
      return "Timeout during bulk transfer";
    case DM_ERR_BULK_TRANSFER:
      return "Libusbk error during bulk transfer";
    case DM_ERR_NO_INTERFACES:
      return "Device has no interfaces specified";
    case DM_ERR_NO_ENDPOINTS:
      return "Device has no endpoints";
    case DM_ERR_RESPONSE_SIGNATURE:
      return "Invalid response signature in received data";
    case DM_ERR_DRIVER_API:
      return "Invalid driver api loaded";
    default:
      return "Unknown error";
  }
}

int kavro_dm_device_list_get(dm_state** dm, uint8_t** list, uint32_t* count, uint32_t filter) {
  if (dm == nullptr || *dm == nullptr || list == nullptr || count == nullptr) {
    return DM_ERR_INVALID_PARAMETERS;
  }
  auto* indices = new (std::nothrow) uint8_t[DM_MAX_DEVICES]{};
  if (indices == nullptr) {
    return DM_ERR_NO_MEMORY;
  }
  dm_state& state = **dm;
  uint32_t listed = 0;
  {
    std::lock_guard guard(state.lock);
    for (int index = 0; index < DM_MAX_DEVICES; ++index) {
      const auto& slot = state.slots[index];
      if (slot.is_ready() && platform_matches(slot, filter) && mode_matches(slot, filter)) {
        indices[listed++] = static_cast<uint8_t>(index);
      }
    }
  }
  *list = indices;
  *count = listed;
  return 0;
}

void kavro_dm_device_list_free(uint8_t** list) {
  if (list == nullptr || *list == nullptr) {
    return;
  }
  delete[] * list;
  *list = nullptr;
}

int kavro_dm_device_get_mode(dm_state** dm, int index) {
  dm_state* state = checked_state(dm, index);
  if (state == nullptr) {
    return DM_ERR_INVALID_PARAMETERS;
  }
  std::lock_guard guard(state->lock);
  const auto& slot = state->slots[index];
  if (!slot.is_ready()) {
    return DM_MODE_NOT_READY;
  }
  return slot.pid == KAVRO_SOFTWARE_PID ? DM_MODE_SOFTWARE : DM_MODE_HARDWARE;
}

int kavro_dm_device_check_config(dm_state** dm, int index) {
  dm_state* state = checked_state(dm, index);
  if (state == nullptr) {
    return DM_ERR_INVALID_PARAMETERS;
  }
  std::lock_guard guard(state->lock);
  return state->slots[index].is_ready() ? 0 : DM_ERR_INVALID_PARAMETERS;
}

int kavro_dm_device_path_get(dm_state** dm, int index, char* buffer, int32_t length) {
  dm_state* state = checked_state(dm, index);
  if (state == nullptr || buffer == nullptr || length <= 0) {
    return DM_ERR_INVALID_PARAMETERS;
  }
  std::lock_guard guard(state->lock);
  const auto& slot = state->slots[index];
  if (slot.is_free()) {
    return DM_ERR_WRONG_MODE;
  }
  std::snprintf(buffer, static_cast<size_t>(length), "%s", slot.device_path.c_str());
  return 0;
}

int kavro_dm_device_serial_get(dm_state** dm, int index, char* buffer, int32_t length) {
  dm_state* state = checked_state(dm, index);
  if (state == nullptr || buffer == nullptr || length <= 0) {
    return -1;
  }
  std::lock_guard guard(state->lock);
  const auto& slot = state->slots[index];
  if (slot.is_free()) {
    return -8;
  }
  std::snprintf(buffer, static_cast<size_t>(length), "%s", slot.serial.c_str());
  return 0;
}

const char* kavro_dm_get_platform_string(dm_state** dm, int index) {
  dm_state* state = checked_state(dm, index);
  if (state == nullptr) {
    return nullptr;
  }
  std::lock_guard guard(state->lock);
  return state->slots[index].platform;
}

uint64_t kavro_dm_change_count(dm_state** dm) {
  if (dm == nullptr || *dm == nullptr) {
    return 0;
  }
  std::lock_guard guard((*dm)->lock);
  return (*dm)->change_count;
}

uint64_t kavro_dm_wait_for_change(dm_state** dm, uint64_t seen, uint32_t timeout_ms) {
  if (dm == nullptr || *dm == nullptr) {
    return 0;
  }
  dm_state& state = **dm;
  std::unique_lock guard(state.lock);
  state.slot_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                              [&] { return state.change_count != seen; });
  return state.change_count;
}
