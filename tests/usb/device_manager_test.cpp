#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/usb/device_manager_fixture.h"

namespace {

using fake::CV22_PID;
using fake::CV25_PID;
using fake::SOFTWARE_PID;

class DeviceListTest : public DeviceManagerTest {
 protected:
  std::vector<int> listed(uint32_t filter) {
    uint8_t* list = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(kavro_dm_device_list_get(&dm, &list, &count, filter), 0);
    std::vector<int> indices(list, list + count);
    kavro_dm_device_list_free(&list);
    EXPECT_EQ(list, nullptr);
    return indices;
  }
};

TEST_F(DeviceListTest, ModulesAttachedBeforeStartBecomeReadyInBusOrder) {
  bus->plug("1-1", CV22_PID);
  bus->plug("1-2", CV25_PID);
  start();
  ASSERT_TRUE(eventually([&] { return listed(0).size() == 2; }));
  EXPECT_EQ(path_of(0), "1-1");
  EXPECT_EQ(path_of(1), "1-2");
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 0), "cv22");
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 1), "cv25");
  EXPECT_EQ(kavro_dm_device_get_mode(&dm, 0), DM_MODE_HARDWARE);
  EXPECT_EQ(kavro_dm_device_check_config(&dm, 1), 0);
}

TEST_F(DeviceListTest, ArrivalTakesLowestFreeSlot) {
  start();
  bus->plug("1-1", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  bus->plug("2-3.1", CV25_PID);
  ASSERT_TRUE(eventually_mode(1, DM_MODE_HARDWARE));
  EXPECT_EQ(path_of(1), "2-3.1");
  EXPECT_EQ(listed(0), (std::vector<int>{0, 1}));
}

TEST_F(DeviceListTest, RemovalClosesSlotButKeepsItsBinding) {
  start();
  bus->plug("1-1", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  bus->unplug("1-1");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_NOT_READY));
  EXPECT_EQ(kavro_dm_device_check_config(&dm, 0), -1);
  EXPECT_EQ(path_of(0), "1-1");
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 0), "cv22");
  EXPECT_TRUE(listed(0).empty());
  EXPECT_TRUE(bus->wait_open_handles(0));
}

TEST_F(DeviceListTest, ReplugGetsTheSameSlot) {
  start();
  auto first = bus->plug("1-1", CV22_PID);
  bus->plug("1-2", CV22_PID);
  ASSERT_TRUE(eventually_mode(1, DM_MODE_HARDWARE));
  bus->unplug("1-1");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_NOT_READY));
  bus->plug("1-3", CV25_PID);
  ASSERT_TRUE(eventually_mode(2, DM_MODE_HARDWARE));
  bus->plug(first, "1-1", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  EXPECT_EQ(path_of(0), "1-1");
  EXPECT_EQ(path_of(2), "1-3");
  EXPECT_EQ(listed(0), (std::vector<int>{0, 1, 2}));
}

TEST_F(DeviceListTest, SwitchToSoftwareModeKeepsSlotAndPlatform) {
  start();
  auto module = bus->plug("1-4.2", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  bus->unplug("1-4.2");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_NOT_READY));
  bus->plug(module, "1-4.2", SOFTWARE_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_SOFTWARE));
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 0), "cv22");
  EXPECT_EQ(path_of(0), "1-4.2");
  EXPECT_EQ(path_of(1), "");
}

TEST_F(DeviceListTest, RemovalAndArrivalReportedTogetherReopenTheSlot) {
  start();
  bus->plug("1-1", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  bus->reenumerate("1-1", SOFTWARE_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_SOFTWARE));
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 0), "cv22");
  EXPECT_TRUE(bus->wait_open_handles(1));
}

// A power cycle in the same mode lists the module under the same product ID; the handle from
// before it is dead all the same and must not stay in the slot.
TEST_F(DeviceListTest, ReplugInTheSameModeReportedTogetherReopensTheSlot) {
  start();
  auto module = bus->plug("1-1", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  bus->reenumerate("1-1", CV22_PID);
  ASSERT_TRUE(bus->wait_listed());
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  uint32_t address = 0x1000;
  uint32_t value = 1;
  EXPECT_EQ(kavro_dm_usb_hardware_command(&dm, 0, HW_CMD_WRITE, &address, &value, nullptr, 1), 0);
  EXPECT_EQ(module->vendor_requests().size(), 1u);
}

TEST_F(DeviceListTest, FiltersSelectPlatformAndMode) {
  start();
  bus->plug("1-1", CV22_PID);
  bus->plug("1-2", CV25_PID);
  bus->plug("1-3", CV22_PID);
  ASSERT_TRUE(eventually_mode(2, DM_MODE_HARDWARE));
  bus->reenumerate("1-3", SOFTWARE_PID);
  bus->plug("1-4", SOFTWARE_PID);
  ASSERT_TRUE(eventually([&] { return listed(0).size() == 4; }));
  ASSERT_EQ(kavro_dm_device_get_mode(&dm, 2), DM_MODE_SOFTWARE);

  EXPECT_EQ(listed(0x02 | DM_LIST_HARDWARE_ONLY), (std::vector<int>{0}));
  EXPECT_EQ(listed(0x02), (std::vector<int>{0, 2}));
  EXPECT_EQ(listed(0x02 | DM_LIST_SOFTWARE_ONLY), (std::vector<int>{2}));
  EXPECT_EQ(listed(0x04), (std::vector<int>{1}));
  EXPECT_EQ(listed(0x01), (std::vector<int>{}));
  EXPECT_EQ(listed(DM_LIST_HARDWARE_ONLY), (std::vector<int>{0, 1}));
  EXPECT_EQ(listed(DM_LIST_SOFTWARE_ONLY), (std::vector<int>{2, 3}));
}

TEST_F(DeviceListTest, ModuleFirstSeenInSoftwareModeHasNoPlatform) {
  start();
  bus->plug("1-1", SOFTWARE_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_SOFTWARE));
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 0), "");
  EXPECT_EQ(listed(0x02), (std::vector<int>{}));
}

TEST_F(DeviceListTest, UnknownHardwareProductIsHardwareModeWithoutPlatform) {
  start();
  bus->plug("1-1", 0x0099);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 0), "");
  EXPECT_EQ(listed(DM_LIST_HARDWARE_ONLY), (std::vector<int>{0}));
}

TEST_F(DeviceListTest, ModulesWithoutDevicePathOrOfAnotherVendorAreIgnored) {
  start();
  bus->plug("", CV22_PID);
  bus->plug("1-2", CV22_PID, 0x1234);
  ASSERT_TRUE(bus->wait_listed());
  EXPECT_EQ(path_of(0), "");
  EXPECT_EQ(bus->open_handles(), 0u);
}

TEST_F(DeviceListTest, OpenModuleIsNotListedBeforeItsDescriptorIsRead) {
  start();
  auto module = std::make_shared<fake::Module>();
  module->hold_descriptor_reads();
  bus->plug(module, "1-1", CV22_PID);
  ASSERT_TRUE(module->wait_descriptor_read_held());
  EXPECT_EQ(kavro_dm_device_get_mode(&dm, 0), DM_MODE_NOT_READY);
  EXPECT_EQ(kavro_dm_device_check_config(&dm, 0), -1);
  EXPECT_TRUE(listed(0).empty());
  EXPECT_EQ(path_of(0), "1-1");
  module->release_descriptor_reads();
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  EXPECT_EQ(listed(0), (std::vector<int>{0}));
}

TEST_F(DeviceListTest, FailedDescriptorReadIsRetried) {
  auto module = std::make_shared<fake::Module>();
  module->fail_descriptor_reads(2);
  start();
  bus->plug(module, "1-1", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  EXPECT_EQ(module->descriptor_reads(), 3u);
}

// The bus may report nothing more about a module it listed but that could not be opened (its
// device node not yet accessible): the open is retried without another event.
TEST_F(DeviceListTest, FailedOpenKeepsTheBindingAndIsRetried) {
  start();
  bus->fail_opens("1-1", 3);
  bus->plug("1-1", CV22_PID);
  ASSERT_TRUE(bus->wait_listed());
  EXPECT_EQ(path_of(0), "1-1");
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  EXPECT_EQ(path_of(1), "");
}

TEST_F(DeviceListTest, AtMostSixtyFourModulesAreTracked) {
  start();
  for (int port = 1; port <= 65; ++port) {
    bus->plug("1-" + std::to_string(port), CV22_PID);
  }
  ASSERT_TRUE(eventually([&] { return listed(0).size() == 64; }));
  ASSERT_TRUE(bus->wait_listed());
  for (int index = 0; index < DM_MAX_DEVICES; ++index) {
    EXPECT_EQ(path_of(index), "1-" + std::to_string(index + 1));
  }
  EXPECT_EQ(bus->open_handles(), 64u);

  // Slots are never given back: a newcomer stays unknown even after a module has left.
  bus->unplug("1-1");
  bus->plug("1-66", CV22_PID);
  ASSERT_TRUE(bus->wait_listed());
  EXPECT_EQ(path_of(0), "1-1");
  EXPECT_EQ(listed(0).size(), 63u);
  EXPECT_EQ(bus->open_handles(), 63u);
}

TEST_F(DeviceListTest, SecondInitReturnsZeroAndChangesNothing) {
  bus->plug("1-1", CV22_PID);
  start();
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  dm_state* const first = dm;
  EXPECT_EQ(kavro_dm_init(&dm, bus), 0);
  EXPECT_EQ(dm, first);

  auto other_bus = std::make_shared<fake::FakeBus>();
  other_bus->plug("9-9", CV25_PID);
  dm_state* other = nullptr;
  EXPECT_EQ(kavro_dm_init(&other, other_bus), 0);
  EXPECT_EQ(other, nullptr);
  EXPECT_FALSE(other_bus->watching());
  EXPECT_EQ(listed(0), (std::vector<int>{0}));
  EXPECT_EQ(path_of(0), "1-1");
}

TEST_F(DeviceListTest, InitAndDestroyManyTimes) {
  bus->plug("1-1", CV22_PID);
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(kavro_dm_init(&dm, bus), 0);
    ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
    kavro_dm_destroy(&dm);
    EXPECT_EQ(dm, nullptr);
    EXPECT_EQ(bus->open_handles(), 0u);
    EXPECT_FALSE(bus->watching());
  }
}

// The close of a slot and its descriptor read meet: the handle must outlive the read, and the
// late result must not make the closed slot ready.
TEST_F(DeviceListTest, SlotClosedDuringItsDescriptorReadIsReleasedAfterTheRead) {
  start();
  auto module = std::make_shared<fake::Module>();
  module->hold_descriptor_reads();
  bus->plug(module, "1-1", CV22_PID);
  ASSERT_TRUE(module->wait_descriptor_read_held());

  bus->unplug("1-1");
  ASSERT_TRUE(bus->wait_listed());
  EXPECT_EQ(kavro_dm_device_get_mode(&dm, 0), DM_MODE_NOT_READY);
  EXPECT_EQ(bus->open_handles(), 1u);  // still held by the read in flight

  module->release_descriptor_reads();
  ASSERT_TRUE(bus->wait_open_handles(0));
  EXPECT_FALSE(module->closed_while_busy());
  EXPECT_EQ(kavro_dm_device_get_mode(&dm, 0), DM_MODE_NOT_READY);

  bus->plug(module, "1-1", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
}

TEST_F(DeviceListTest, DestroyClosesEveryHandleAndStopsNotifications) {
  bus->plug("1-1", CV22_PID);
  bus->plug("1-2", SOFTWARE_PID);
  start();
  ASSERT_TRUE(eventually([&] { return listed(0).size() == 2; }));
  EXPECT_TRUE(bus->watching());
  kavro_dm_destroy(&dm);
  EXPECT_EQ(dm, nullptr);
  EXPECT_EQ(bus->open_handles(), 0u);
  EXPECT_FALSE(bus->watching());
  kavro_dm_destroy(&dm);
  kavro_dm_destroy(nullptr);
}

TEST_F(DeviceListTest, QueriesRejectBadArguments) {
  start();
  bus->plug("1-4.2", CV22_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  dm_state* none = nullptr;
  uint8_t* list = nullptr;
  uint32_t count = 0;

  EXPECT_EQ(kavro_dm_device_list_get(nullptr, &list, &count, 0), -1);
  EXPECT_EQ(kavro_dm_device_list_get(&none, &list, &count, 0), -1);
  EXPECT_EQ(kavro_dm_device_list_get(&dm, nullptr, &count, 0), -1);
  EXPECT_EQ(kavro_dm_device_list_get(&dm, &list, nullptr, 0), -1);
  EXPECT_EQ(list, nullptr);
  kavro_dm_device_list_free(nullptr);
  kavro_dm_device_list_free(&list);

  for (int index : {-1, 64}) {
    EXPECT_EQ(kavro_dm_device_get_mode(&dm, index), -1);
    EXPECT_EQ(kavro_dm_device_check_config(&dm, index), -1);
    EXPECT_EQ(kavro_dm_get_platform_string(&dm, index), nullptr);
  }
  EXPECT_EQ(kavro_dm_device_get_mode(&none, 0), -1);
  EXPECT_EQ(kavro_dm_device_check_config(nullptr, 0), -1);
  EXPECT_EQ(kavro_dm_get_platform_string(&none, 0), nullptr);
  EXPECT_EQ(kavro_dm_device_get_mode(&dm, 1), DM_MODE_NOT_READY);
  EXPECT_EQ(kavro_dm_device_check_config(&dm, 1), -1);
  EXPECT_STREQ(kavro_dm_get_platform_string(&dm, 1), "");
}

TEST_F(DeviceListTest, DevicePathIsCutToTheBuffer) {
  start();
  bus->plug("1-4.2", CV22_PID);
  ASSERT_TRUE(bus->wait_listed());
  char buffer[16];
  EXPECT_EQ(kavro_dm_device_path_get(&dm, 0, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "1-4.2");
  EXPECT_EQ(kavro_dm_device_path_get(&dm, 0, buffer, 3), 0);
  EXPECT_STREQ(buffer, "1-");
  EXPECT_EQ(kavro_dm_device_path_get(&dm, 1, buffer, sizeof buffer), -8);
  EXPECT_EQ(kavro_dm_device_path_get(&dm, 64, buffer, sizeof buffer), -1);
  EXPECT_EQ(kavro_dm_device_path_get(&dm, -1, buffer, sizeof buffer), -1);
  EXPECT_EQ(kavro_dm_device_path_get(&dm, 0, nullptr, sizeof buffer), -1);
  EXPECT_EQ(kavro_dm_device_path_get(&dm, 0, buffer, 0), -1);
  EXPECT_EQ(kavro_dm_device_path_get(nullptr, 0, buffer, sizeof buffer), -1);
}

TEST(DeviceManagerInit, RejectsMissingHandleOrBus) {
  auto bus = std::make_shared<fake::FakeBus>();
  EXPECT_EQ(kavro_dm_init(nullptr, bus), -1);
  EXPECT_FALSE(bus->watching());
  dm_state* dm = nullptr;
  EXPECT_EQ(kavro_dm_init(&dm, nullptr), -3);
  EXPECT_EQ(dm, nullptr);
  EXPECT_EQ(kavro_dm_change_count(&dm), 0u);
  EXPECT_EQ(kavro_dm_wait_for_change(&dm, 0, 1000), 0u);
}

TEST(DeviceManagerErrors, CodesHaveTheirMessages) {
  EXPECT_STREQ(kavro_dm_error_string(-1), "Invalid parameters specified");
  EXPECT_STREQ(kavro_dm_error_string(-5), "Error, could only transfer partial data");
  EXPECT_STREQ(kavro_dm_error_string(-9), "Timeout during bulk transfer");
  EXPECT_STREQ(kavro_dm_error_string(-14), "Invalid driver api loaded");
  for (int code : {0, 1, -15, -100}) {
    EXPECT_STREQ(kavro_dm_error_string(code), "Unknown error") << code;
  }
}

}  // namespace
