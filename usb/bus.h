#pragma once
// The seam between the device manager and a USB access layer: libusb for real modules, the
// module simulator for tests and the demo. Nothing above this file knows which one it uses.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

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
  // The serial number string of the device descriptor; empty when the device names none.
  std::string serial{};
};

// Results of Device::control and Device::bulk besides success.
inline constexpr int kOk = 0;
inline constexpr int kError = -1;         // stall, protocol error, device gone
inline constexpr int kTimeout = -2;       // no completion within the time limit
inline constexpr int kDisconnected = -3;  // the device left the bus

// A run of control OUT requests with one setup packet and a data stage each, sent in order with
// up to `depth` of them submitted ahead of the oldest one's completion: the module sees the
// same requests in the same order, only the host's idle time between them goes.
struct ControlRun {
  SetupPacket setup;
  unsigned depth = 1;
  unsigned timeout_ms = 0;
  // Fills request `index`'s data stage (setup.wLength bytes); false when there are no more
  // requests or the caller stops. Requests already submitted still complete.
  std::function<bool(size_t index, std::span<uint8_t> data)> fill;
  // Runs in order, on the caller's thread, for each request whose result is in, the failing
  // one included.
  std::function<void(size_t index)> completed;
};

class Device {
 public:
  virtual ~Device() = default;
  // Returns the number of data bytes moved (>= 0) or one of the negative results above.
  virtual int control(const SetupPacket& setup, std::span<uint8_t> data, unsigned timeout_ms) = 0;
  // Sends the run. The first request that fails or moves less than its data stage ends it:
  // the requests queued behind it are cancelled (never reach the module) and its result, as
  // control() gives it, is returned; setup.wLength when every request went through. This
  // version fills up to `depth` requests ahead and sends them one after the other through
  // control(); a device that can have several in flight overrides it.
  virtual int control_run(const ControlRun& run);
  // Endpoint addresses of interface 0, alternate setting 0.
  virtual std::vector<uint8_t> endpoints() = 0;
  // Moves up to data.size() bytes; `moved` receives the count. kOk or a negative result.
  virtual int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms,
                   size_t& moved) = 0;
};

// The in-order way of sending a run: up to `depth` requests are filled ahead (submitted, at the
// time given to `send`) and `send(data, submitted)` carries them out one after the other.
template <typename Send>
int send_run_in_order(const ControlRun& run, Send&& send) {
  struct Queued {
    std::vector<uint8_t> data;
    std::chrono::steady_clock::time_point submitted;
  };
  std::deque<Queued> queued;
  size_t filled = 0;
  size_t sent = 0;
  bool more = true;
  for (;;) {
    while (more && queued.size() < std::max(run.depth, 1u)) {
      Queued request{std::vector<uint8_t>(run.setup.wLength), {}};
      more = run.fill(filled, request.data);
      if (more) {
        request.submitted = std::chrono::steady_clock::now();
        queued.push_back(std::move(request));
        ++filled;
      }
    }
    if (queued.empty()) {
      return run.setup.wLength;
    }
    const int moved = send(std::span<uint8_t>(queued.front().data), queued.front().submitted);
    queued.pop_front();
    run.completed(sent++);
    if (moved < run.setup.wLength) {
      return moved;
    }
  }
}

inline int Device::control_run(const ControlRun& run) {
  return send_run_in_order(
      run, [&](std::span<uint8_t> data, auto) { return control(run.setup, data, run.timeout_ms); });
}

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
