#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "sim/boot_rom.h"
#include "sim/virtual_bus.h"
#include "usb/kavro_device_manager.h"

// The device manager and both command sets against the module simulator: the same bytes the
// fake-bus tests pin down, now answered by a model of the real module.
namespace {

class VirtualBusTest : public ::testing::Test {
 protected:
  void start(sim::ModuleConfig config) {
    bus = std::make_shared<sim::VirtualBus>(std::vector<sim::ModuleConfig>{std::move(config)});
    ASSERT_EQ(kavro_dm_init(&dm, bus), 0);
  }

  void TearDown() override { kavro_dm_destroy(&dm); }

  bool eventually_mode(int index, int mode) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const uint64_t seen = kavro_dm_change_count(&dm);
      if (kavro_dm_device_get_mode(&dm, index) == mode) {
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

  int hardware(uint32_t command, uint32_t address, uint32_t* value) {
    return kavro_dm_usb_hardware_command(&dm, 0, command, &address, value, nullptr, 1000);
  }

  int software(std::vector<uint8_t> block, uint32_t* status) {
    return kavro_dm_usb_software_command(&dm, 0, block.data(), static_cast<uint32_t>(block.size()),
                                         1000, status);
  }

  std::shared_ptr<sim::VirtualBus> bus;
  dm_state* dm = nullptr;
};

TEST_F(VirtualBusTest, AttachedModuleBecomesReadyWithItsPortAndPlatform) {
  sim::ModuleConfig config;
  config.port = "3-1.4";
  config.platform = "cv25";
  start(config);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  char path[64];
  ASSERT_EQ(kavro_dm_device_path_get(&dm, 0, path, sizeof path), 0);
  EXPECT_STREQ(path, "3-1.4");
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 0), "cv25");
}

TEST_F(VirtualBusTest, RegisterWritesReadsAndPollsReachTheBootRom) {
  start({});
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  uint32_t value = 0x45100000;
  ASSERT_EQ(hardware(HW_CMD_WRITE, 0xEC1700DC, &value), 0);
  EXPECT_EQ(bus->module("1-1").peek(0xEC1700DC), 0x45100000u);
  value = 0;
  ASSERT_EQ(hardware(HW_CMD_READ, 0xEC1700DC, &value), 0);
  EXPECT_EQ(value, 0x45100000u);

  uint32_t start_dram = 1;
  ASSERT_EQ(hardware(HW_CMD_WRITE, sim::kDramControllerBase, &start_dram), 0);
  uint32_t mask = 0x1;
  EXPECT_EQ(hardware(HW_CMD_POLL, sim::kDramControllerBase + 4, &mask), 0);
}

TEST_F(VirtualBusTest, JumpToTheBootloaderKeepsSlotAndPlatformInSoftwareMode) {
  sim::ModuleConfig config;
  config.bootloader_size = 8;
  config.reenumerate_ms = 0;
  start(config);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  for (uint32_t word : {0u, 1u}) {
    uint32_t value = 0xA5A50000 + word;
    ASSERT_EQ(hardware(HW_CMD_DOWNLOAD, word * 4, &value), 0);
  }
  ASSERT_EQ(hardware(HW_CMD_JUMP, 0, nullptr), 0);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_SOFTWARE));
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 0), "cv22");
  char path[64];
  EXPECT_EQ(kavro_dm_device_path_get(&dm, 1, path, sizeof path), -8);  // no second slot taken

  uint32_t status = 0;
  // The partition table cannot be written before a layout was sent: the module refuses.
  EXPECT_EQ(software({0x44, 0x4D, 0x43, 0x4B, 0x05, 0x00, 0x00, 0x00}, &status),
            DM_ERR_DEVICE_STATUS);
  EXPECT_EQ(status, 6u);
  EXPECT_EQ(software({0x44, 0x4D, 0x43, 0x4B, 0x06, 0x00, 0x00, 0x00}, &status), 0);
  EXPECT_EQ(status, 0u);
  uint32_t value = 0;
  EXPECT_EQ(hardware(HW_CMD_READ, 0, &value), -8);
}

TEST_F(VirtualBusTest, PowerCycledModuleReturnsToItsSlot) {
  start({});
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  bus->unplug("1-1");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_NOT_READY));
  bus->replug("1-1");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  char path[64];
  EXPECT_EQ(kavro_dm_device_path_get(&dm, 1, path, sizeof path), -8);
}

}  // namespace
