#pragma once
// An open handle on a simulated module. It belongs to one arrival of the module: once the
// module leaves the bus (unplug, re-enumeration) every transfer through it fails with
// usb::kDisconnected, as with a real device handle.

#include <cstdint>
#include <memory>

#include "sim/module.h"
#include "usb/bus.h"

namespace sim {

class SimDevice final : public usb::Device {
 public:
  SimDevice(std::shared_ptr<Module> module, uint64_t generation);

  int control(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned timeout_ms) override;
  // The module takes the queued requests back to back: each one's latency runs from when it
  // was submitted or the previous one was done, whichever is later, as on a real bus.
  int control_run(const usb::ControlRun& run) override;
  std::vector<uint8_t> endpoints() override;
  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved) override;

 private:
  std::shared_ptr<Module> module_;
  uint64_t generation_;
};

}  // namespace sim
