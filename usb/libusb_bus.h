#pragma once
// The libusb-1.0 bus: the USB seam as kavro-flash uses it.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "usb/bus.h"

namespace usb {

// The seam over libusb-1.0. A module's device path is its bus number and port chain ("1-4.2"),
// which stays the same when the module re-enumerates on the same port in the other mode.
// Arrivals and removals come from libusb's hot-plug support and from rescanning the bus four
// times a second: without a udev daemon, hot-plug is reported as supported but stays silent.
// Listing, opening and rescanning each use a fresh libusb context, whose device list is read
// from the system rather than kept up to date by those events. A module's serial number string
// is read once per enumeration, the first time it is listed.
class LibusbBus final : public Bus {
 public:
  // Null, with libusb's reason in `error`, when libusb cannot be initialised.
  static std::shared_ptr<LibusbBus> create(std::string& error);

  LibusbBus(const LibusbBus&) = delete;
  LibusbBus& operator=(const LibusbBus&) = delete;
  ~LibusbBus() override;

  std::vector<DeviceInfo> list(uint16_t vid) override;
  std::unique_ptr<Device> open(const DeviceInfo& info) override;
  void watch(std::function<void()> changed) override;

  struct Context;
  class Watcher;

 private:
  explicit LibusbBus(std::shared_ptr<Context> context);

  std::shared_ptr<Context> context_;
  std::mutex serials_mutex_;
  // By device path and enumeration: the serial number string read for that enumeration.
  std::map<std::pair<std::string, uint64_t>, std::string> serials_;
  std::mutex watch_mutex_;
  std::unique_ptr<Watcher> hotplug_;
  std::unique_ptr<Watcher> rescans_;
};

}  // namespace usb
