// Answers device-list requests of the automation protocol for 64 simulated modules while a
// second thread keeps writing diagnostic lines to standard output, as flash sessions do in
// automated mode (signature checks, USB transfer errors). The test reads standard output and
// checks that no response line was broken up.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/options.h"
#include "app/request_dispatch.h"
#include "app/session_table.h"
#include "common/console.h"
#include "sim/virtual_bus.h"
#include "usb/device_manager.h"

namespace {

constexpr int kRequests = 500;

uint32_t listed_modules(dm_state** dm) {
  uint8_t* list = nullptr;
  uint32_t count = 0;
  kavro_dm_device_list_get(dm, &list, &count, 0);
  kavro_dm_device_list_free(&list);
  return count;
}

bool wait_for_all_modules(dm_state** dm) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  uint64_t seen = kavro_dm_change_count(dm);
  while (listed_modules(dm) < DM_MAX_DEVICES) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    seen = kavro_dm_wait_for_change(dm, seen, 1000);
  }
  return true;
}

}  // namespace

int main() {
  enable_automated_mode();
  std::vector<sim::ModuleConfig> modules(DM_MAX_DEVICES);
  for (size_t i = 0; i < modules.size(); ++i) {
    modules[i].port = "1-" + std::to_string(i + 1);
  }
  dm_state* dm = nullptr;
  if (kavro_dm_init(&dm, std::make_shared<sim::VirtualBus>(std::move(modules))) != 0) {
    return 3;
  }
  if (!wait_for_all_modules(&dm)) {
    kavro_dm_destroy(&dm);
    return 4;
  }
  {
    SessionTable sessions;
    const Options options;
    RequestContext context{&dm, sessions, options};
    std::atomic<bool> answering = true;
    std::thread diagnostics([&] {
      while (answering.load()) {
        std::printf("diagnostic\n");
      }
    });
    for (int tag = 0; tag < kRequests; ++tag) {
      process_request(context, "[" + std::to_string(tag) + " 1]\n");
    }
    answering = false;
    diagnostics.join();
  }
  std::fflush(stdout);
  kavro_dm_destroy(&dm);
  return 0;
}
