#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/virtual_bus.h"
#include "usb/device_manager.h"

// The device manager over simulated modules: slots follow modules, lists filter them, and every
// call refuses what it cannot do with its own code. The transfers' own failures are reached
// through whole sessions in the flash tests; what USB stacks do but the simulator never does
// (a short control read, missing pipes, a slow descriptor read) comes from UnusualBus.
namespace {

// One module on port 1-1 whose answers the test sets.
struct UnusualModule {
  std::mutex mutex;
  std::condition_variable changed;
  uint16_t pid = 0x0013;
  std::atomic<bool> attached = true;
  std::atomic<int> failing_opens = 0, failing_reads = 0;  // how many fail before one succeeds
  int vendor_result = 0;                                  // what vendor requests return
  std::vector<unsigned> control_limits;
  std::vector<uint8_t> endpoints{0x01, 0x81};
  bool hold_descriptor_reads = false;
  bool reading = false;
  bool closed = false;
  bool closed_while_reading = false;
  std::function<void()> watcher;

  template <typename Condition>
  bool reaches(Condition condition) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), condition);
  }
};

class UnusualDevice : public usb::Device {
 public:
  explicit UnusualDevice(UnusualModule& module) : module_(module) {}
  ~UnusualDevice() override {
    std::lock_guard lock(module_.mutex);
    module_.closed_while_reading = module_.reading;
    module_.closed = true;
    module_.changed.notify_all();
  }
  int control(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned limit) override {
    std::unique_lock lock(module_.mutex);
    module_.control_limits.push_back(limit);
    if (setup.bmRequestType != 0x80) {
      return module_.vendor_result;
    }
    module_.reading = true;
    module_.changed.notify_all();
    module_.changed.wait(lock, [this] { return !module_.hold_descriptor_reads; });
    module_.reading = false;
    data[0] = 18;
    return module_.failing_reads-- > 0 ? usb::kError : 18;
  }
  std::vector<uint8_t> endpoints() override { return module_.endpoints; }
  int bulk(uint8_t, std::span<uint8_t> data, unsigned, size_t& moved) override {
    moved = data.size();
    return usb::kOk;
  }

 private:
  UnusualModule& module_;
};

struct UnusualBus : usb::Bus, UnusualModule {
  std::vector<usb::DeviceInfo> list(uint16_t) override {
    std::lock_guard lock(mutex);
    return attached ? std::vector<usb::DeviceInfo>{{0x4255, pid, "1-1", 1}}
                    : std::vector<usb::DeviceInfo>{};
  }
  std::unique_ptr<usb::Device> open(const usb::DeviceInfo&) override {
    return failing_opens-- > 0 ? nullptr : std::make_unique<UnusualDevice>(*this);
  }
  void watch(std::function<void()> changed_hook) override {
    watcher = changed_hook;
    if (watcher) {
      watcher();
    }
  }
};

sim::ModuleConfig module_at(std::string port, std::string platform = "cv22") {
  sim::ModuleConfig config;
  config.port = std::move(port);
  config.platform = std::move(platform);
  config.bootloader_size = 4;
  config.reenumerate_ms = 5;
  return config;
}

class DeviceManagerTest : public ::testing::Test {
 protected:
  void TearDown() override { kavro_dm_destroy(&dm); }

  void start(std::vector<sim::ModuleConfig> modules) {
    bus = std::make_shared<sim::VirtualBus>(std::move(modules));
    ASSERT_EQ(kavro_dm_init(&dm, bus), 0);
  }
  void start_unusual() {
    ASSERT_EQ(kavro_dm_init(&dm, unusual), 0);
    ASSERT_TRUE(eventually([&] { return kavro_dm_device_check_config(&dm, 0) == 0; }));
  }

  // Re-checks `condition` at every slot-table change until it holds or ten seconds pass.
  template <typename Condition>
  bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (uint64_t seen = kavro_dm_change_count(&dm); !condition();
         seen = kavro_dm_change_count(&dm)) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      kavro_dm_wait_for_change(&dm, seen, 100);
    }
    return true;
  }

  bool eventually_mode(int index, int mode) {
    return eventually([&] { return kavro_dm_device_get_mode(&dm, index) == mode; });
  }

  std::vector<int> listed(uint32_t filter) {
    uint8_t* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(kavro_dm_device_list_get(&dm, &list, &count, filter), 0);
    std::vector<int> indices(list, list + count);
    kavro_dm_device_list_free(&list);
    return indices;
  }

  std::string path_of(int index) {
    char buffer[16] = {};
    return kavro_dm_device_path_get(&dm, index, buffer, sizeof buffer) == 0 ? buffer : "";
  }

  // Downloads the module's one-word flash bootloader and starts it: the module leaves the bus
  // and comes back in software mode.
  void switch_to_software_mode(int index) {
    uint32_t address = 0;
    uint32_t word = 0x12345678;
    ASSERT_EQ(
        kavro_dm_usb_hardware_command(&dm, index, HW_CMD_DOWNLOAD, &address, &word, nullptr, 1), 0);
    ASSERT_EQ(kavro_dm_usb_hardware_command(&dm, index, HW_CMD_JUMP, &address, nullptr, nullptr, 1),
              0);
    ASSERT_TRUE(eventually_mode(index, DM_MODE_SOFTWARE));
  }

  std::shared_ptr<sim::VirtualBus> bus;
  std::shared_ptr<UnusualBus> unusual = std::make_shared<UnusualBus>();
  dm_state* dm = nullptr;
};

TEST_F(DeviceManagerTest, SlotsFollowModulesThroughRemovalReplugAndModeSwitch) {
  start({module_at("1-1"), module_at("1-2", "cv25")});
  ASSERT_TRUE(eventually([&] { return listed(0).size() == 2; }));
  EXPECT_EQ(path_of(0), "1-1");

  // A module that leaves keeps its slot; a newcomer takes the next free one.
  bus->unplug("1-1");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_NOT_READY));
  EXPECT_EQ(path_of(0), "1-1");
  bus->attach(module_at("1-3", "s5l"));
  ASSERT_TRUE(eventually_mode(2, DM_MODE_HARDWARE));
  bus->replug("1-1");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));

  // The flash bootloader re-enumerates under another product ID on the same port and slot.
  switch_to_software_mode(1);
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 1), "cv25");
  EXPECT_EQ(listed(0), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(listed(0x04), (std::vector<int>{1}));
  EXPECT_EQ(listed(DM_LIST_HARDWARE_ONLY), (std::vector<int>{0, 2}));
  EXPECT_EQ(listed(DM_LIST_SOFTWARE_ONLY), (std::vector<int>{1}));
}

// Slots are never given back: once 64 are bound, newcomers stay unknown even after one leaves.
TEST_F(DeviceManagerTest, AtMostSixtyFourModulesAreTracked) {
  std::vector<sim::ModuleConfig> modules;
  for (int port = 1; port <= 65; ++port) {
    modules.push_back(module_at("1-" + std::to_string(port)));
  }
  start(modules);
  ASSERT_TRUE(eventually([&] { return listed(0).size() == 64; }));
  bus->attach(module_at("1-66"));
  bus->unplug("1-1");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_NOT_READY));
  EXPECT_EQ(path_of(0), "1-1");
  EXPECT_EQ(listed(0).size(), 63u);
}

// One device manager per process; a refused init leaves the handle null.
TEST_F(DeviceManagerTest, InitRefusesBadArgumentsAndASecondManager) {
  EXPECT_EQ(kavro_dm_init(nullptr, std::make_shared<sim::VirtualBus>()), DM_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(kavro_dm_init(&dm, nullptr), DM_ERR_USB_INIT);
  EXPECT_EQ(dm, nullptr);
  start({});
  dm_state* second = nullptr;
  EXPECT_EQ(kavro_dm_init(&second, std::make_shared<sim::VirtualBus>()), 0);
  EXPECT_EQ(second, nullptr);
  kavro_dm_destroy(nullptr);
}

// Each call refuses what it cannot do with a code of its own; a block for a software-mode
// module that has left is held for a moment, then given up on (-11).
TEST_F(DeviceManagerTest, CallsRefuseWhatTheyCannotDoWithTheirCodes) {
  start({module_at("1-1"), module_at("1-2")});
  ASSERT_TRUE(eventually_mode(1, DM_MODE_HARDWARE));
  switch_to_software_mode(1);
  dm_state* none = nullptr;
  uint32_t address = 0x1000;
  uint32_t value = 0x80000000;
  uint8_t* list = nullptr;
  uint32_t count = 0;
  uint8_t block[8] = {};
  uint8_t response[16] = {};
  char path[8];
  const auto hw = [&](int index, uint32_t command, uint32_t* data, uint32_t polls = 1) {
    return kavro_dm_usb_hardware_command(&dm, index, command, &address, data, nullptr, polls);
  };
  const auto sw = [&](int index, uint8_t* data) {
    return kavro_dm_usb_software_command(&dm, index, data, 8, 100, response, sizeof response);
  };
  constexpr int kInvalid = DM_ERR_INVALID_PARAMETERS;
  const struct {
    const char* what;
    int result;
    int expected;
  } rows[] = {
      {"hardware command to slot -1", hw(-1, HW_CMD_WRITE, &value), kInvalid},
      {"hardware command to slot 64", hw(64, HW_CMD_WRITE, &value), kInvalid},
      {"mode without a handle", kavro_dm_device_get_mode(&none, 0), kInvalid},
      {"write without a value", hw(0, HW_CMD_WRITE, nullptr), kInvalid},
      {"command number 0", hw(0, 0, &value), DM_ERR_INVALID_COMMAND},
      {"command number 6", hw(0, 6, &value), DM_ERR_INVALID_COMMAND},
      {"poll allowed no read", hw(0, HW_CMD_POLL, &value, 0), DM_ERR_POLL_TIMEOUT},
      {"poll of a register with the mask clear", hw(0, HW_CMD_POLL, &value, 1), 0},
      {"hardware command to a software-mode module", hw(1, HW_CMD_READ, &value), DM_ERR_WRONG_MODE},
      {"hardware command to a free slot", hw(2, HW_CMD_WRITE, &value), DM_ERR_CONTROL_TRANSFER},
      {"block without bytes", sw(1, nullptr), kInvalid},
      {"block to a hardware-mode module", sw(0, block), DM_ERR_WRONG_MODE},
      {"list without a count", kavro_dm_device_list_get(&dm, &list, nullptr, 0), kInvalid},
      {"path of a free slot", kavro_dm_device_path_get(&dm, 2, path, sizeof path),
       DM_ERR_WRONG_MODE},
      {"path into no room", kavro_dm_device_path_get(&dm, 0, path, 0), kInvalid},
      {"path into no buffer", kavro_dm_device_path_get(&dm, 0, nullptr, 8), kInvalid},
      {"path of slot 64", kavro_dm_device_path_get(&dm, 64, path, sizeof path), kInvalid},
      {"config check of slot -1", kavro_dm_device_check_config(&dm, -1), kInvalid},
      {"platform of slot -1", kavro_dm_get_platform_string(&dm, -1) == nullptr ? -1 : 0, -1},
      {"list without a handle", kavro_dm_device_list_get(&none, &list, &count, 0), kInvalid},
      {"list without a place", kavro_dm_device_list_get(&dm, nullptr, &count, 0), kInvalid},
      {"changes without a handle", static_cast<int>(kavro_dm_change_count(&none)), 0},
      {"wait without a handle", static_cast<int>(kavro_dm_wait_for_change(nullptr, 0, 0)), 0},
  };
  kavro_dm_device_list_free(nullptr);
  kavro_dm_device_list_free(&list);
  for (const auto& row : rows) {
    EXPECT_EQ(row.result, row.expected) << row.what;
  }
  bus->unplug("1-2");
  ASSERT_TRUE(eventually_mode(1, DM_MODE_NOT_READY));
  EXPECT_EQ(sw(1, block), DM_ERR_NO_INTERFACES);
}

// Every control transfer is limited to 3 s; a read that comes back short is an error and
// leaves the value alone rather than handing out half a register.
TEST_F(DeviceManagerTest, ShortOrFailedControlTransfersAreErrors) {
  unusual->failing_opens = unusual->failing_reads = 1;  // both are tried again
  start_unusual();
  uint32_t address = 0x1000;
  uint32_t value = 0x5A5A5A5A;
  unusual->vendor_result = 2;
  const auto command = [&](uint32_t number, uint32_t polls) {
    return kavro_dm_usb_hardware_command(&dm, 0, number, &address, &value, nullptr, polls);
  };
  EXPECT_EQ(command(HW_CMD_READ, 1), DM_ERR_PARTIAL_TRANSFER);
  EXPECT_EQ(command(HW_CMD_WRITE, 1), DM_ERR_PARTIAL_TRANSFER);
  unusual->vendor_result = usb::kTimeout;
  EXPECT_EQ(command(HW_CMD_POLL, 9), DM_ERR_CONTROL_TRANSFER);
  EXPECT_EQ(value, 0x5A5A5A5Au);
  EXPECT_EQ(unusual->control_limits, std::vector<unsigned>(5, 3000));
}

TEST_F(DeviceManagerTest, MissingPipesAreNamed) {
  unusual->pid = 0x4250;
  start_unusual();
  uint8_t block[8] = {};
  uint8_t response[16] = {};
  const auto exchange = [&](uint8_t* into) {
    return kavro_dm_usb_software_command(&dm, 0, block, 8, 100, into, sizeof response);
  };
  unusual->endpoints = {0x81, 0x02};
  testing::internal::CaptureStdout();
  EXPECT_EQ(exchange(response), DM_ERR_INVALID_PARAMETERS);
  unusual->endpoints = {0x01};
  EXPECT_EQ(exchange(nullptr), 0);
  EXPECT_EQ(exchange(response), DM_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Write pipe 01h not found.\nRead pipe 81h not found.\n");
}

// The module leaves while its descriptor is being read: the slot closes at once, but the handle
// is released only once the read is over, and the late result does not make the slot ready.
TEST_F(DeviceManagerTest, SlotClosedDuringItsDescriptorReadIsReleasedAfterTheRead) {
  unusual->hold_descriptor_reads = true;
  ASSERT_EQ(kavro_dm_init(&dm, unusual), 0);
  ASSERT_TRUE(unusual->reaches([this] { return unusual->reading; }));
  const uint64_t opened = kavro_dm_change_count(&dm);
  unusual->attached = false;
  unusual->watcher();
  EXPECT_NE(kavro_dm_wait_for_change(&dm, opened, 10000), opened);
  {
    std::lock_guard lock(unusual->mutex);
    EXPECT_FALSE(unusual->closed);
    unusual->hold_descriptor_reads = false;
  }
  unusual->changed.notify_all();
  ASSERT_TRUE(unusual->reaches([this] { return unusual->closed; }));
  EXPECT_FALSE(unusual->closed_while_reading);
  EXPECT_EQ(kavro_dm_device_get_mode(&dm, 0), DM_MODE_NOT_READY);
}

}  // namespace
