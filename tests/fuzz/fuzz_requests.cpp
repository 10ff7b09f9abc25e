// Any bytes as the request stream of automated mode: read by the listener, queued and executed
// by the handler against three simulated modules. Sessions started by one input are stopped
// before the next.
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/automation.h"
#include "app/request_dispatch.h"
#include "app/session_table.h"
#include "firmware/archive.h"
#include "sim/virtual_bus.h"
#include "usb/device_manager.h"

namespace {

dm_state* dm = nullptr;
Options options;

std::vector<sim::ModuleConfig> modules() {
  std::vector<sim::ModuleConfig> configs(3);
  configs[1].port = "1-2";
  configs[1].platform = "cv25";
  configs[2].port = "1-3";
  configs[2].reenumerate_ms = 0;
  for (auto& config : configs) {
    config.keep_image_bytes = false;
    config.record_traffic = false;
  }
  return configs;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  options.ota_file = KAVRO_FUZZ_OTA_FILE;
  // The responses are of no interest here, only that producing them is safe.
  if (std::freopen("/dev/null", "w", stdout) == nullptr ||
      kavro_dm_init(&dm, std::make_shared<sim::VirtualBus>(modules())) != 0) {
    __builtin_trap();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  std::FILE* input = fmemopen(text.data(), text.size(), "r");
  if (input == nullptr) {
    return 0;
  }
  auto queue = std::make_unique<RequestQueue>();
  SessionTable sessions;
  RequestContext context{&dm, sessions, options};
  incoming_listener(*queue, input);
  std::fclose(input);
  line_handler(*queue, context);
  return 0;
}
