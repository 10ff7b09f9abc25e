// The libusb-1.0 implementation of the USB seam: listing, opening, and hot-plug or rescans.

#include "usb/libusb_bus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <span>
#include <thread>
#include <tuple>
#include <utility>

#include "common/c_handle.h"
#include "common/products.h"
#include "usb/libusb_context.h"
#include "usb/libusb_device.h"

namespace usb {

namespace {

constexpr auto RESCAN_PERIOD = std::chrono::milliseconds(250);
constexpr int EVENT_WAIT_US = 250000;
constexpr size_t SERIAL_LIMIT = 128;  // a string descriptor holds at most 126 characters

// The list holds a reference to each device; they go with it.
void free_device_list(libusb_device** list) {
  libusb_free_device_list(list, 1);
}
using DeviceList = CHandle<libusb_device*, free_device_list>;

// The attached devices, valid while `list` lives; none when libusb cannot list them.
struct AttachedDevices {
  DeviceList list;
  std::span<libusb_device*> devices;
};

AttachedDevices attached_devices(libusb_context* context) {
  libusb_device** raw = nullptr;
  const ssize_t count = libusb_get_device_list(context, &raw);
  if (count < 0) {
    return {};
  }
  return {DeviceList(raw), {raw, static_cast<size_t>(count)}};
}

// Bus number and port chain, "1-4.2"; empty for a root hub, which hangs off no port.
std::string device_path(libusb_device* device) {
  std::array<uint8_t, 7> ports{};  // USB allows at most seven tiers below the root
  const int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
  if (depth <= 0) {
    return {};
  }
  std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
  for (int i = 0; i < depth; ++i) {
    path += (i == 0 ? "" : ".") + std::to_string(ports[i]);
  }
  return path;
}

bool describe(libusb_device* device, DeviceInfo& info) {
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != 0) {
    return false;
  }
  // The kernel numbers every enumeration on a bus afresh, so the address tells a replugged
  // module from the handle that was open before.
  info = {descriptor.idVendor, descriptor.idProduct, device_path(device),
          libusb_get_device_address(device)};
  return true;
}

// The serial number string of the device descriptor, through a handle of its own; empty when
// the descriptor names none. Nothing when it cannot be read now (the device node not yet
// accessible, say), so that the next listing tries again.
std::optional<std::string> read_serial(libusb_device* device) {
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != 0) {
    return std::nullopt;
  }
  if (descriptor.iSerialNumber == 0) {
    return std::string();
  }
  libusb_device_handle* opened = nullptr;
  if (libusb_open(device, &opened) != 0) {
    return std::nullopt;
  }
  const CHandle<libusb_device_handle, libusb_close> handle(opened);
  std::array<unsigned char, SERIAL_LIMIT> text{};
  const int length = libusb_get_string_descriptor_ascii(handle.get(), descriptor.iSerialNumber,
                                                        text.data(), static_cast<int>(text.size()));
  if (length < 0) {
    return std::nullopt;
  }
  // It goes into protocol lines and records: control characters become '?', as libusb does
  // with characters beyond ASCII.
  std::string serial(text.begin(), text.begin() + length);
  std::ranges::replace_if(
      serial, [](char c) { return c < ' ' || c == '\x7f'; }, '?');
  return serial;
}

std::vector<DeviceInfo> list_devices(libusb_context* context, uint16_t vid) {
  const AttachedDevices attached = attached_devices(context);
  std::vector<DeviceInfo> found;
  for (libusb_device* device : attached.devices) {
    DeviceInfo info;
    if (describe(device, info) && info.vid == vid) {
      found.push_back(std::move(info));
    }
  }
  return found;
}

// A context of its own for one look at the bus. A context reads the device list from the system
// when it is made; afterwards its list follows hot-plug events only, and without a udev daemon
// (containers, minimal images) those never come, although libusb reports hot-plug support.
// Null when libusb cannot be initialised.
std::shared_ptr<LibusbBus::Context> fresh_context() {
  libusb_context* usb = nullptr;
  if (libusb_init(&usb) != 0) {
    return nullptr;
  }
  return std::make_shared<LibusbBus::Context>(usb);
}

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void* notifier) {
  static_cast<Notifier*>(notifier)->fire();
  return 0;  // stay registered
}

}  // namespace

// Keeps arrival and removal events coming while it exists.
class LibusbBus::Watcher {
 public:
  virtual ~Watcher() = default;
};

namespace {

// libusb's own hot-plug events, delivered on a thread that handles libusb events.
class HotplugWatcher final : public LibusbBus::Watcher {
 public:
  // Null when libusb refuses the registration.
  static std::unique_ptr<HotplugWatcher> start(std::shared_ptr<LibusbBus::Context> context,
                                               uint16_t vid) {
    libusb_hotplug_callback_handle registration{};
    const int result = libusb_hotplug_register_callback(
        context->usb,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, vid, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        on_hotplug, &context->notifier, &registration);
    if (result != LIBUSB_SUCCESS) {
      return nullptr;
    }
    return std::unique_ptr<HotplugWatcher>(new HotplugWatcher(std::move(context), registration));
  }

  ~HotplugWatcher() override {
    libusb_hotplug_deregister_callback(context_->usb, registration_);
    stopping_ = true;
    libusb_interrupt_event_handler(context_->usb);
    events_.join();
  }

 private:
  HotplugWatcher(std::shared_ptr<LibusbBus::Context> context,
                 libusb_hotplug_callback_handle registration)
      : context_(std::move(context)),
        registration_(registration),
        events_([this] { handle_events(); }) {}

  void handle_events() {
    while (!stopping_) {
      timeval wait{0, EVENT_WAIT_US};
      libusb_handle_events_timeout_completed(context_->usb, &wait, nullptr);
    }
  }

  std::shared_ptr<LibusbBus::Context> context_;
  libusb_hotplug_callback_handle registration_;
  std::atomic<bool> stopping_{false};
  std::thread events_;
};

// Lists the bus periodically and reports any difference: the only source of events without
// hot-plug support, and the one that still works when hot-plug is supported but silent.
class RescanWatcher final : public LibusbBus::Watcher {
 public:
  RescanWatcher(std::shared_ptr<LibusbBus::Context> context, uint16_t vid)
      : context_(std::move(context)), vid_(vid) {
    rescans_ = std::thread([this] { rescan(); });
  }

  ~RescanWatcher() override {
    {
      std::lock_guard guard(mutex_);
      stopping_ = true;
    }
    stop_.notify_all();
    rescans_.join();
  }

 private:
  // A module that re-enumerated between two scans differs in its enumeration number even
  // when its port and product ID are the same.
  std::vector<std::tuple<std::string, uint16_t, uint64_t>> snapshot() const {
    std::vector<std::tuple<std::string, uint16_t, uint64_t>> seen;
    const auto scan = fresh_context();
    for (const auto& info : list_devices(scan ? scan->usb : context_->usb, vid_)) {
      seen.emplace_back(info.device_path, info.pid, info.enumeration);
    }
    std::sort(seen.begin(), seen.end());
    return seen;
  }

  void rescan() {
    auto previous = snapshot();
    context_->notifier.fire();
    std::unique_lock guard(mutex_);
    while (!stop_.wait_for(guard, RESCAN_PERIOD, [&] { return stopping_; })) {
      auto current = snapshot();
      if (current != previous) {
        previous = std::move(current);
        context_->notifier.fire();
      }
    }
  }

  std::shared_ptr<LibusbBus::Context> context_;
  uint16_t vid_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread rescans_;
};

}  // namespace

std::shared_ptr<LibusbBus> LibusbBus::create(std::string& error) {
  libusb_context* context = nullptr;
  if (const int result = libusb_init(&context); result != 0) {
    error = libusb_strerror(result);
    return nullptr;
  }
  return std::shared_ptr<LibusbBus>(new LibusbBus(std::make_shared<Context>(context)));
}

LibusbBus::LibusbBus(std::shared_ptr<Context> context) : context_(std::move(context)) {}

LibusbBus::~LibusbBus() {
  watch({});
}

std::vector<DeviceInfo> LibusbBus::list(uint16_t vid) {
  const auto scan = fresh_context();
  const AttachedDevices attached = attached_devices(scan ? scan->usb : context_->usb);
  std::vector<DeviceInfo> found;
  std::lock_guard guard(serials_mutex_);
  std::map<std::pair<std::string, uint64_t>, std::string> serials;
  for (libusb_device* device : attached.devices) {
    DeviceInfo info;
    if (!describe(device, info) || info.vid != vid) {
      continue;
    }
    const std::pair key{info.device_path, info.enumeration};
    if (const auto known = serials_.find(key); known != serials_.end()) {
      info.serial = known->second;
      serials.insert(*known);
    } else if (const auto serial = read_serial(device)) {
      info.serial = *serial;
      serials.emplace(key, *serial);
    }
    found.push_back(std::move(info));
  }
  // Only the enumerations still attached are remembered.
  serials_ = std::move(serials);
  return found;
}

// Through a fresh context too, which knows a module that arrived unannounced; the handle keeps
// that context alive.
std::unique_ptr<Device> LibusbBus::open(const DeviceInfo& info) {
  auto scan = fresh_context();
  if (scan == nullptr) {
    scan = context_;
  }
  const AttachedDevices attached = attached_devices(scan->usb);
  for (libusb_device* device : attached.devices) {
    DeviceInfo candidate;
    if (!describe(device, candidate) || candidate.device_path != info.device_path ||
        candidate.vid != info.vid || candidate.pid != info.pid) {
      continue;
    }
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) {
      return nullptr;
    }
    return std::make_unique<LibusbDevice>(scan, handle);
  }
  return nullptr;
}

// Hot-plug events, where libusb has them, report a change at once; the rescans report it within
// a period where they never come. The first rescan notifies, so the watcher starts from a
// listing even when nothing is attached.
void LibusbBus::watch(std::function<void()> changed) {
  std::lock_guard guard(watch_mutex_);
  const bool start = changed && rescans_ == nullptr;
  const bool stop = !changed;
  context_->notifier.set(std::move(changed));
  if (stop) {
    hotplug_.reset();
    rescans_.reset();
    return;
  }
  if (!start) {
    return;
  }
  const auto vid = static_cast<uint16_t>(KAVRO_USB_VID);
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
    hotplug_ = HotplugWatcher::start(context_, vid);
  }
  rescans_ = std::make_unique<RescanWatcher>(context_, vid);
}

}  // namespace usb
