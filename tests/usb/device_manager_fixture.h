#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/usb/fake_bus.h"
#include "usb/device_manager.h"

// A device manager running over a fake bus, and the waits the tests need: a condition on the
// manager is re-checked at every slot-table change until it holds or a generous deadline passes.
class DeviceManagerTest : public ::testing::Test {
 protected:
  void TearDown() override { kavro_dm_destroy(&dm); }

  void start() { ASSERT_EQ(kavro_dm_init(&dm, bus), 0); }

  template <typename Condition>
  bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const uint64_t seen = kavro_dm_change_count(&dm);
      if (condition()) {
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return false;
      }
      kavro_dm_wait_for_change(&dm, seen, static_cast<uint32_t>(left.count()));
    }
  }

  bool eventually_mode(int index, int mode) {
    return eventually([&] { return kavro_dm_device_get_mode(&dm, index) == mode; });
  }

  std::string path_of(int index) {
    char buffer[1024] = {};
    return kavro_dm_device_path_get(&dm, index, buffer, sizeof buffer) == 0 ? buffer : "";
  }

  std::shared_ptr<fake::FakeBus> bus = std::make_shared<fake::FakeBus>();
  dm_state* dm = nullptr;
};
