// An open handle on one arrival of a simulated module.

#include "sim/sim_device.h"

namespace sim {

SimDevice::SimDevice(std::shared_ptr<Module> module, uint64_t generation)
    : module_(std::move(module)), generation_(generation) {}

int SimDevice::control(const usb::SetupPacket& setup, std::span<uint8_t> data,
                       unsigned timeout_ms) {
  return module_->control(generation_, setup, data, timeout_ms);
}

int SimDevice::control_run(const usb::ControlRun& run) {
  return usb::send_run_in_order(
      run, [&](std::span<uint8_t> data, std::chrono::steady_clock::time_point submitted) {
        return module_->control(generation_, run.setup, data, run.timeout_ms, submitted);
      });
}

std::vector<uint8_t> SimDevice::endpoints() {
  return module_->endpoints(generation_);
}

int SimDevice::bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved) {
  return module_->bulk(generation_, endpoint, data, timeout_ms, moved);
}

}  // namespace sim
