#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// The seam between the device manager and a USB access layer: libusb for real modules, the
// module simulator for tests and the demo. Nothing above this file knows which one it uses.
namespace usb {

struct SetupPacket {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

struct DeviceInfo {
  uint16_t vid;
  uint16_t pid;
  std::string device_path;  // physical port chain, e.g. "1-4.2"; stable across re-enumeration
  // Differs between two enumerations of the device on the same port (a replug, a reset), so
  // that a handle from before is known to be stale even when the product ID is the same.
  // 0 where the bus cannot tell.
  uint64_t enumeration = 0;
};

// Results of Device::control and Device::bulk besides success.
inline constexpr int kOk = 0;
inline constexpr int kError = -1;         // stall, protocol error, device gone
inline constexpr int kTimeout = -2;       // no completion within the time limit
inline constexpr int kDisconnected = -3;  // the device left the bus

class Device {
 public:
  virtual ~Device() = default;
  // Returns the number of data bytes moved (>= 0) or one of the negative results above.
  virtual int control(const SetupPacket& setup, std::span<uint8_t> data, unsigned timeout_ms) = 0;
  // Endpoint addresses of interface 0, alternate setting 0.
  virtual std::vector<uint8_t> endpoints() = 0;
  // Moves up to data.size() bytes; `moved` receives the count. kOk or a negative result.
  virtual int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms,
                   size_t& moved) = 0;
};

class Bus {
 public:
  virtual ~Bus() = default;
  virtual std::vector<DeviceInfo> list(uint16_t vid) = 0;
  virtual std::unique_ptr<Device> open(const DeviceInfo& info) = 0;
  // `changed` runs on arrival and removal, and once for the devices already present. It must
  // not open devices or transfer: it only wakes the device manager. Passing an empty function
  // stops the notifications; after watch({}) returns, `changed` is never called again.
  virtual void watch(std::function<void()> changed) = 0;
};

}  // namespace usb
