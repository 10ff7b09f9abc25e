#include <gtest/gtest.h>

#include <vector>

#include "tests/usb/device_manager_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes response(uint32_t status) {
  return {0x50,
          0x53,
          0x52,
          0x4B,
          static_cast<uint8_t>(status),
          static_cast<uint8_t>(status >> 8),
          static_cast<uint8_t>(status >> 16),
          static_cast<uint8_t>(status >> 24),
          0xAA,
          0xBB,
          0xCC,
          0xDD,
          0xEE,
          0xFF,
          0x11,
          0x22};
}

Bytes bytes_to(const std::vector<fake::BulkRecord>& transfers, uint8_t endpoint) {
  Bytes all;
  for (const auto& transfer : transfers) {
    if (transfer.endpoint == endpoint) {
      all.insert(all.end(), transfer.data.begin(), transfer.data.end());
    }
  }
  return all;
}

class SoftwareCommandTest : public DeviceManagerTest {
 protected:
  void SetUp() override {
    start();
    module = bus->plug("1-1", fake::SOFTWARE_PID);
    ASSERT_TRUE(eventually_mode(0, DM_MODE_SOFTWARE));
  }

  int send(uint32_t* status, uint32_t timeout_ms = 1000, int index = 0) {
    return kavro_dm_usb_software_command(&dm, index, reboot.data(),
                                         static_cast<uint32_t>(reboot.size()), timeout_ms, status);
  }

  Bytes reboot{0x44, 0x4D, 0x43, 0x4B, 0x06, 0x00, 0x00, 0x00};
  std::shared_ptr<fake::Module> module;
};

TEST_F(SoftwareCommandTest, AcceptedCommandWritesBlockAndReadsResponse) {
  module->queue_response(response(0));
  uint32_t status = 0xFFFFFFFF;
  ASSERT_EQ(send(&status), 0);
  EXPECT_EQ(status, 0u);
  const auto transfers = module->bulk_transfers();
  ASSERT_EQ(transfers.size(), 2u);
  EXPECT_EQ(transfers[0].endpoint, 0x01);
  EXPECT_EQ(transfers[0].data, reboot);
  EXPECT_EQ(transfers[1].endpoint, 0x81);
  EXPECT_EQ(transfers[1].data, response(0));
  for (const auto& transfer : transfers) {
    EXPECT_GT(transfer.timeout_ms, 0u);
    EXPECT_LE(transfer.timeout_ms, 1000u);
  }
}

TEST_F(SoftwareCommandTest, RefusalStoresTheModuleStatus) {
  module->queue_response(response(5));
  uint32_t status = 0;
  EXPECT_EQ(send(&status), DM_ERR_DEVICE_STATUS);
  EXPECT_EQ(status, 5u);
}

TEST_F(SoftwareCommandTest, BadResponseSignatureLeavesStatusUntouched) {
  Bytes bad = response(0);
  bad[3] = 0x4C;
  module->queue_response(bad);
  uint32_t status = 0xDEADBEEF;
  EXPECT_EQ(send(&status), -13);
  EXPECT_EQ(status, 0xDEADBEEFu);
}

TEST_F(SoftwareCommandTest, ShortTransfersAreContinued) {
  module->set_piece_size(8);
  module->queue_response(response(0));
  Bytes block(20);
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<uint8_t>(i);
  }
  uint32_t status = 1;
  ASSERT_EQ(kavro_dm_usb_software_command(&dm, 0, block.data(), 20, 1000, &status), 0);
  EXPECT_EQ(status, 0u);
  const auto transfers = module->bulk_transfers();
  ASSERT_EQ(transfers.size(), 5u);  // 8 + 8 + 4 out, 8 + 8 in
  EXPECT_EQ(bytes_to(transfers, 0x01), block);
  EXPECT_EQ(transfers[3].data.size(), 8u);
  EXPECT_EQ(transfers[4].data.size(), 8u);
  EXPECT_EQ(bytes_to(transfers, 0x81), response(0));
}

TEST_F(SoftwareCommandTest, WithoutStatusPointerOnlyTheBlockIsWritten) {
  EXPECT_EQ(send(nullptr), 0);
  const auto transfers = module->bulk_transfers();
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_EQ(transfers[0].endpoint, 0x01);
}

TEST_F(SoftwareCommandTest, HardwareModeSlotIsRefusedWithoutTouchingTheBus) {
  auto hardware = bus->plug("1-2", fake::CV22_PID);
  ASSERT_TRUE(eventually_mode(1, DM_MODE_HARDWARE));
  uint32_t status = 0;
  EXPECT_EQ(send(&status, 1000, 1), -8);
  EXPECT_TRUE(hardware->bulk_transfers().empty());
  EXPECT_EQ(send(&status, 1000, 2), -8);  // a free slot is no software-mode module either
}

TEST_F(SoftwareCommandTest, ModuleThatStaysAwayGivesUpAfterTheWait) {
  bus->unplug("1-1");
  ASSERT_TRUE(bus->wait_open_handles(0));
  uint32_t status = 0;
  EXPECT_EQ(send(&status), -11);
  EXPECT_TRUE(module->bulk_transfers().empty());
}

// The module is back on the bus but its first open fails: the slot is still closed when the
// exchange starts and is opened by the retry during the wait.
TEST_F(SoftwareCommandTest, ModuleReturningDuringTheWaitIsUsed) {
  bus->unplug("1-1");
  ASSERT_TRUE(bus->wait_open_handles(0));
  bus->fail_opens("1-1", 1);
  bus->plug(module, "1-1", fake::SOFTWARE_PID);
  ASSERT_TRUE(bus->wait_listed());
  module->queue_response(response(0));
  uint32_t status = 1;
  EXPECT_EQ(send(&status), 0);
  EXPECT_EQ(status, 0u);
}

// A module that stops answering, never answers, or keeps moving nothing ends in the caller's
// time limit.
TEST_F(SoftwareCommandTest, TransferThatDoesNotCompleteTimesOut) {
  uint32_t status = 0;
  EXPECT_EQ(send(&status, 50), -9);  // no response queued
  EXPECT_EQ(bytes_to(module->bulk_transfers(), 0x01), reboot);
  module->set_bulk_stall();
  EXPECT_EQ(send(&status, 50), -9);
  module->set_bulk_hang();
  EXPECT_EQ(send(&status, 50), -9);
  EXPECT_EQ(status, 0u);
}

// The module leaving during the exchange is a bulk failure like any other.
TEST_F(SoftwareCommandTest, BulkFailureIsReported) {
  for (const auto& [result, printed] :
       {std::pair{usb::kError, "Error bulk sending: -1\n"},
        std::pair{usb::kDisconnected, "Error bulk sending: -3\n"}}) {
    module->set_bulk_result(result);
    uint32_t status = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(send(&status), -10);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), printed);
  }
}

TEST_F(SoftwareCommandTest, MissingPipesAreNamed) {
  uint32_t status = 0;
  module->set_endpoints({0x81, 0x02});
  testing::internal::CaptureStdout();
  EXPECT_EQ(send(&status), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Write pipe 01h not found.\n");
  EXPECT_TRUE(module->bulk_transfers().empty());

  module->set_endpoints({0x01});
  testing::internal::CaptureStdout();
  EXPECT_EQ(send(&status), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Read pipe 81h not found.\n");
  EXPECT_EQ(bytes_to(module->bulk_transfers(), 0x01), reboot);
  EXPECT_EQ(send(nullptr), 0);
}

TEST_F(SoftwareCommandTest, BadArgumentsAreRejectedWithoutTransfer) {
  uint32_t status = 0;
  dm_state* none = nullptr;
  EXPECT_EQ(kavro_dm_usb_software_command(&dm, 0, nullptr, 8, 1000, &status), -1);
  EXPECT_EQ(kavro_dm_usb_software_command(nullptr, 0, reboot.data(), 8, 1000, &status), -1);
  EXPECT_EQ(kavro_dm_usb_software_command(&none, 0, reboot.data(), 8, 1000, &status), -1);
  EXPECT_EQ(send(&status, 1000, -1), -1);
  EXPECT_EQ(send(&status, 1000, 64), -1);
  EXPECT_TRUE(module->bulk_transfers().empty());
}

}  // namespace
