#include <gtest/gtest.h>

#include <vector>

#include "tests/usb/device_manager_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes setup_bytes(const usb::SetupPacket& setup) {
  return {setup.bmRequestType,
          setup.bRequest,
          static_cast<uint8_t>(setup.wValue),
          static_cast<uint8_t>(setup.wValue >> 8),
          static_cast<uint8_t>(setup.wIndex),
          static_cast<uint8_t>(setup.wIndex >> 8),
          static_cast<uint8_t>(setup.wLength),
          static_cast<uint8_t>(setup.wLength >> 8)};
}

class HardwareCommandTest : public DeviceManagerTest {
 protected:
  void SetUp() override {
    start();
    module = bus->plug("1-1", fake::CV22_PID);
    ASSERT_TRUE(eventually_mode(0, DM_MODE_HARDWARE));
  }

  int command(uint32_t number, uint32_t address, uint32_t* value, uint32_t count = 1000) {
    uint32_t expected = 0;
    return kavro_dm_usb_hardware_command(&dm, 0, number, &address, value, &expected, count);
  }

  std::shared_ptr<fake::Module> module;
};

// A download is a write on the wire. Every request is given the control time limit.
TEST_F(HardwareCommandTest, WriteAndDownloadSendSetupAndDataBlock) {
  for (uint32_t number : {HW_CMD_WRITE, HW_CMD_DOWNLOAD}) {
    uint32_t value = 0x45100000;
    ASSERT_EQ(command(number, 0xEC1700DC, &value), 0);
    const auto request = module->vendor_requests().back();
    EXPECT_EQ(setup_bytes(request.setup), (Bytes{0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00}));
    EXPECT_EQ(request.data,
              (Bytes{0x00, 0x00, 0x00, 0x30, 0xDC, 0x00, 0x17, 0xEC, 0x00, 0x00, 0x10, 0x45}));
    EXPECT_EQ(request.timeout_ms, 3000u);
  }
  EXPECT_EQ(module->vendor_requests().size(), 2u);
}

TEST_F(HardwareCommandTest, ReadCarriesAddressInSetupAndStoresLittleEndianWord) {
  module->set_register_value(0x12345678);
  uint32_t value = 0;
  ASSERT_EQ(command(HW_CMD_READ, 0xDFFE0818, &value), 0);
  EXPECT_EQ(value, 0x12345678u);
  const auto requests = module->vendor_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(setup_bytes(requests[0].setup),
            (Bytes{0xC0, 0x00, 0xFE, 0xDF, 0x18, 0x08, 0x04, 0x00}));
  EXPECT_EQ(requests[0].data, (Bytes{0x78, 0x56, 0x34, 0x12}));
}

TEST_F(HardwareCommandTest, JumpSendsEntryBlockWithoutValue) {
  uint32_t address = 0;
  ASSERT_EQ(kavro_dm_usb_hardware_command(&dm, 0, HW_CMD_JUMP, &address, nullptr, nullptr, 1000),
            0);
  const auto requests = module->vendor_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(setup_bytes(requests[0].setup),
            (Bytes{0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00}));
  EXPECT_EQ(requests[0].data,
            (Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(HardwareCommandTest, PollEndsAtTheFirstReadWithAMaskBitClear) {
  module->queue_register_values({0x80000001, 0x80000001, 0x00000001});
  uint32_t mask = 0x80000000;
  EXPECT_EQ(command(HW_CMD_POLL, 0xDFFE0818, &mask), 0);
  const auto requests = module->vendor_requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests) {
    EXPECT_EQ(setup_bytes(request.setup), (Bytes{0xC0, 0x00, 0xFE, 0xDF, 0x18, 0x08, 0x04, 0x00}));
  }
  EXPECT_EQ(mask, 0x80000000u);
}

TEST_F(HardwareCommandTest, PollGivesUpAfterCountReads) {
  module->set_register_value(0x80000000);
  uint32_t mask = 0x80000000;
  EXPECT_EQ(command(HW_CMD_POLL, 0xDFFE0818, &mask, 1000), -6);
  EXPECT_EQ(module->vendor_requests().size(), 1000u);
}

TEST_F(HardwareCommandTest, PollWithCountZeroReadsNothing) {
  uint32_t mask = 0x80000000;
  EXPECT_EQ(command(HW_CMD_POLL, 0xDFFE0818, &mask, 0), -6);
  EXPECT_TRUE(module->vendor_requests().empty());
}

TEST_F(HardwareCommandTest, FailedReadEndsThePollAtOnce) {
  module->set_vendor_result(usb::kError);
  uint32_t mask = 0x1;
  EXPECT_EQ(command(HW_CMD_POLL, 0xDFFE0818, &mask), -4);
  EXPECT_EQ(module->vendor_requests().size(), 1u);
}

TEST_F(HardwareCommandTest, UnknownCommandsSendNothing) {
  uint32_t value = 0;
  EXPECT_EQ(command(0, 0x1000, &value), -7);
  EXPECT_EQ(command(6, 0x1000, &value), -7);
  EXPECT_TRUE(module->vendor_requests().empty());
}

TEST_F(HardwareCommandTest, TimedOutOrFailedTransferIsAControlError) {
  uint32_t value = 0x5A5A5A5A;
  module->set_vendor_result(usb::kTimeout);
  EXPECT_EQ(command(HW_CMD_WRITE, 0x1000, &value), -4);
  EXPECT_EQ(command(HW_CMD_READ, 0x1000, &value), -4);
  module->set_vendor_result(usb::kDisconnected);
  EXPECT_EQ(command(HW_CMD_JUMP, 0x0, &value), -4);
  EXPECT_EQ(value, 0x5A5A5A5Au);
}

TEST_F(HardwareCommandTest, ShortDataStageIsReportedAndLeavesValueAlone) {
  module->set_vendor_result(2);
  uint32_t value = 0x5A5A5A5A;
  EXPECT_EQ(command(HW_CMD_READ, 0x1000, &value), -5);
  EXPECT_EQ(value, 0x5A5A5A5Au);
  EXPECT_EQ(command(HW_CMD_WRITE, 0x1000, &value), -5);
}

TEST_F(HardwareCommandTest, AbsentModuleFailsAtTheTransfer) {
  bus->unplug("1-1");
  ASSERT_TRUE(bus->wait_open_handles(0));
  uint32_t value = 1;
  EXPECT_EQ(command(HW_CMD_WRITE, 0x1000, &value), -4);
  EXPECT_EQ(command(HW_CMD_READ, 0x1000, &value), -4);
}

TEST_F(HardwareCommandTest, SoftwareModeSlotRefusesEveryCommand) {
  bus->reenumerate("1-1", fake::SOFTWARE_PID);
  ASSERT_TRUE(eventually_mode(0, DM_MODE_SOFTWARE));
  uint32_t value = 0;
  for (uint32_t number :
       {0u, HW_CMD_WRITE, HW_CMD_READ, HW_CMD_POLL, HW_CMD_DOWNLOAD, HW_CMD_JUMP}) {
    EXPECT_EQ(command(number, 0x1000, &value), -8) << number;
  }
  EXPECT_TRUE(module->vendor_requests().empty());
}

TEST_F(HardwareCommandTest, BadArgumentsAreRejectedWithoutTransfer) {
  uint32_t address = 0x1000;
  uint32_t value = 0;
  dm_state* none = nullptr;
  EXPECT_EQ(kavro_dm_usb_hardware_command(nullptr, 0, HW_CMD_WRITE, &address, &value, nullptr, 1),
            -1);
  EXPECT_EQ(kavro_dm_usb_hardware_command(&none, 0, HW_CMD_WRITE, &address, &value, nullptr, 1),
            -1);
  EXPECT_EQ(kavro_dm_usb_hardware_command(&dm, -1, HW_CMD_WRITE, &address, &value, nullptr, 1), -1);
  EXPECT_EQ(kavro_dm_usb_hardware_command(&dm, 64, HW_CMD_WRITE, &address, &value, nullptr, 1), -1);
  EXPECT_EQ(kavro_dm_usb_hardware_command(&dm, 0, HW_CMD_JUMP, nullptr, &value, nullptr, 1), -1);
  for (uint32_t number : {HW_CMD_WRITE, HW_CMD_READ, HW_CMD_POLL, HW_CMD_DOWNLOAD}) {
    EXPECT_EQ(kavro_dm_usb_hardware_command(&dm, 0, number, &address, nullptr, nullptr, 1), -1)
        << number;
  }
  EXPECT_TRUE(module->vendor_requests().empty());
}

}  // namespace
