// kavro-download-rate <depth> <control latency in us>: the bootloader download (38,576 words)
// through the device manager into a simulated module, and the control requests per second it
// reached at that queue depth.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sim/virtual_bus.h"
#include "usb/device_manager.h"

namespace {

constexpr uint32_t WORDS = sim::kDefaultBootloaderSize / 4;
constexpr uint32_t WAIT_MS = 5000;

bool wait_for_hardware_mode(dm_state** dm) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
  uint64_t seen = kavro_dm_change_count(dm);
  while (kavro_dm_device_check_config(dm, 0) != 0 ||
         kavro_dm_device_get_mode(dm, 0) != DM_MODE_HARDWARE) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    seen = kavro_dm_wait_for_change(dm, seen, WAIT_MS);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kavro-download-rate <depth> <control latency in us>\n");
    return 2;
  }
  const auto depth = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  sim::ModuleConfig module;
  module.timing.control_latency_us = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  dm_state* dm = nullptr;
  if (kavro_dm_init(&dm, std::make_shared<sim::VirtualBus>(std::vector{module})) != 0 ||
      !wait_for_hardware_mode(&dm)) {
    std::fprintf(stderr, "kavro-download-rate: the simulated module did not come up\n");
    return 1;
  }
  uint32_t next = 0;
  const auto start = std::chrono::steady_clock::now();
  const int result = kavro_dm_usb_hardware_download(
      &dm, 0, depth,
      [&next](uint32_t& address, uint32_t& value) {
        if (next == WORDS) {
          return false;
        }
        address = next * 4;
        value = next++;
        return true;
      },
      [](size_t) {});
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  kavro_dm_destroy(&dm);
  if (result != 0) {
    std::fprintf(stderr, "kavro-download-rate: the download failed with %d\n", result);
    return 1;
  }
  std::printf("%.0f\n", WORDS / seconds.count());
  return 0;
}
