#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/flash/flash_test_support.h"

namespace flash_test {
namespace {

class BringUpTransferTest : public FlashSessionTest {
 protected:
  void SetUp() override {
    FlashSessionTest::SetUp();
    start_bus();
    session_.dm = dm_;
    session_.index = slot_of("1-1");
  }

  flash_session session_;
};

// Each word goes to the address of its offset; a trailing partial word is padded with zeros
// rather than read past the image's end.
TEST_F(BringUpTransferTest, DownloadWritesEachWordAtItsOffset) {
  const std::vector<uint8_t> image{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};

  testing::internal::CaptureStdout();
  EXPECT_EQ(send_bld_data(session_, image), 0);
  const std::string output = testing::internal::GetCapturedStdout();

  const std::vector<BootRomWrite> writes = boot_rom_writes(module());
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].address, 0u);
  EXPECT_EQ(writes[0].value, 0x04030201u);
  EXPECT_EQ(writes[1].address, 4u);
  EXPECT_EQ(writes[1].value, 0x00000605u);
  EXPECT_EQ(output, " 0% done\r 66% done\r");
  EXPECT_EQ(session_.progress.load(), 66u);
  EXPECT_EQ(session_.error.load(), 0);
}

TEST_F(BringUpTransferTest, ScriptCommandsReachTheBootRom) {
  const std::vector<script_command> script{
      {1, 0xED080000, 0x12345678, 0}, {3, 999, 0, 0}, {2, 0xDFFE0818, 0x80000000, 0}};
  size_t next = 0;
  const int result = replay_script(session_, [&](script_command& command) {
    if (next == script.size()) {
      return -5;
    }
    command = script[next++];
    return 0;
  });

  EXPECT_EQ(result, 0);
  const std::vector<BootRomWrite> writes = boot_rom_writes(module());
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].address, 0xED080000u);
  EXPECT_EQ(writes[0].value, 0x12345678u);
}

TEST_F(BringUpTransferTest, FailedWriteEndsTheReplay) {
  sim_->unplug("1-1");
  const int result = replay_script(session_, [](script_command& command) {
    command = {1, 0xED080000, 1, 0};
    return 0;
  });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(session_.error.load(), -4);
  EXPECT_NE(session_.sub_error.load(), 0);
}

}  // namespace
}  // namespace flash_test
