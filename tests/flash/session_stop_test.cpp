#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <future>
#include <span>
#include <string>
#include <string_view>

#include "tests/flash/flash_test_support.h"
#include "usb/device_manager.h"

// Stop requests: the session ends at its next stop check and leaves its status as it stood.
namespace flash_test {
namespace {

using std::chrono::milliseconds;

constexpr auto kWaitLimit = std::chrono::seconds(30);
struct BootRomTraffic {
  size_t register_writes = 0;  // bring-up and probe writes
  size_t downloads = 0;        // words of the flash bootloader
  size_t jumps = 0;
};

BootRomTraffic boot_rom_traffic(const sim::Module& module) {
  BootRomTraffic traffic;
  for (const BootRomWrite& write : boot_rom_writes(module)) {
    ++(write.address < kRamEnd ? traffic.downloads : traffic.register_writes);
  }
  traffic.jumps = boot_rom_jumps(module);
  return traffic;
}

class SessionStopTest : public FlashSessionTest {
 protected:
  SessionOptions standard_options() {
    const auto [base, ota] = write_archives(Firmware());
    SessionOptions options;
    options.base_file = base;
    options.ota_file = ota;
    return options;
  }

  static void stop_on_entering(SessionOptions& options, uint32_t stop_state) {
    options.on_state_entered = [stop_state](flash_session& session, uint32_t state) {
      if (state == stop_state) {
        session.stop.request();
      }
    };
  }

  static void expect_stopped_in(const SessionStatus& status, uint32_t state, uint32_t progress) {
    EXPECT_EQ(status.state, state);
    EXPECT_EQ(status.error, 0);
    EXPECT_EQ(status.sub_error, 0);
    EXPECT_EQ(status.progress, progress);
  }
};

TEST_F(SessionStopTest, StopBeforeTheFirstCheckLeavesStateZero) {
  start_bus();
  SessionOptions options = standard_options();
  options.before_launch = [](flash_session& session) { session.stop.request(); };

  expect_stopped_in(run_session(options), FLASH_STATE_STARTED, 0);
  EXPECT_EQ(boot_rom_traffic(module()).register_writes, 0u);
  EXPECT_TRUE(blocks().empty());
}

TEST_F(SessionStopTest, StopAsTheDownloadStartsSendsNoWord) {
  start_bus();
  SessionOptions options = standard_options();
  stop_on_entering(options, FLASH_STATE_BLD_DOWNLOAD);

  expect_stopped_in(run_session(options), FLASH_STATE_BLD_DOWNLOAD, 0);
  const BootRomTraffic traffic = boot_rom_traffic(module());
  EXPECT_GT(traffic.register_writes, 0u);
  EXPECT_EQ(traffic.downloads, 0u);
  EXPECT_EQ(traffic.jumps, 0u);
}

TEST_F(SessionStopTest, StopDuringTheDownloadKeepsItsProgress) {
  sim::ModuleConfig config = module_config();
  config.bootloader_size = sim::kDefaultBootloaderSize;
  config.record_traffic = false;
  start_bus({config});
  SessionOptions options = standard_options();
  options.real_flash_bootloader = true;
  flash_session* session = start_session(options, slot_of("1-1"));
  ASSERT_NE(session, nullptr);

  ASSERT_TRUE(
      sim_->wait_until([&session] { return status_of(&session).progress >= 10; }, kWaitLimit));
  session->stop.request();
  const SessionStatus status = finish_session(session);

  EXPECT_EQ(status.state, FLASH_STATE_BLD_DOWNLOAD);
  EXPECT_EQ(status.error, 0);
  EXPECT_GE(status.progress, 10u);
  EXPECT_LT(status.progress, 100u);
  EXPECT_LT(module().downloaded_bootloader().bytes, sim::kDefaultBootloaderSize);
  EXPECT_EQ(module().arrivals(), 1u);
}

TEST_F(SessionStopTest, StopAtTheJumpEndsBeforeTheModuleIsAddressedAgain) {
  start_bus();
  SessionOptions options = standard_options();
  stop_on_entering(options, FLASH_STATE_MODE_SWITCH);

  expect_stopped_in(run_session(options), FLASH_STATE_MODE_SWITCH, 100);
  EXPECT_EQ(boot_rom_traffic(module()).jumps, 1u);
  EXPECT_TRUE(blocks().empty());
}

// A stop request made once the module has left for software mode is seen at the check before
// the wait or, when it comes later, after the wait: either way the session ends in state 4
// without sending anything once the module is back.
TEST_F(SessionStopTest, StopWhileWaitingForSoftwareMode) {
  // The stop must land while the module is off the bus; a long absence keeps that true even
  // when a loaded machine delays this thread.
  sim::ModuleConfig config = module_config();
  config.reenumerate_ms = 1500;
  start_bus({config});
  flash_session* session = start_session(standard_options(), slot_of("1-1"));
  ASSERT_NE(session, nullptr);

  ASSERT_TRUE(sim_->wait_until([this] { return !module().presence().attached; }, kWaitLimit));
  session->stop.request();

  expect_stopped_in(finish_session(session), FLASH_STATE_MODE_SWITCH, 100);
  EXPECT_TRUE(blocks().empty());
}

TEST_F(SessionStopTest, StopAsSoftwareModeBeginsSendsOnlyTheLayout) {
  start_bus();
  SessionOptions options = standard_options();
  stop_on_entering(options, FLASH_STATE_SOFTWARE);

  expect_stopped_in(run_session(options), FLASH_STATE_SOFTWARE, 0);
  EXPECT_EQ(command_ids(), std::vector<uint32_t>{1});
  EXPECT_FALSE(module().flash().ptb_written);
}

// A stop request while an image streams ends the image after the archive piece in hand: of a
// rootfs of three transfer buffers only the first goes out, and nothing follows it.
TEST_F(SessionStopTest, StopDuringAnImageSendsNoFurtherBlock) {
  Firmware firmware;
  firmware.set_format(kavro_pack::Format::seven_zip_store);
  firmware.resize("rootfs", 2 * 2113568 + 1);
  const auto [base, ota] = write_archives(firmware);
  SessionOptions options;
  options.base_file = base;
  options.ota_file = ota;
  options.before_launch = [this](flash_session& session) {
    bus_->log().observe([&session](std::span<const uint8_t> block) {
      if (block.size() == 52 && le32(block, 4) == SW_CMD_IMAGE_HEADER &&
          std::string_view(reinterpret_cast<const char*>(block.data()) + 8) == "rfa") {
        session.stop.request();
      }
    });
  };
  sim::ModuleConfig config = module_config();
  config.record_traffic = false;
  start_bus({config});

  const SessionStatus status = run_session(options);

  EXPECT_EQ(status.state, FLASH_STATE_SOFTWARE);
  EXPECT_EQ(status.error, 0);
  EXPECT_EQ(status.sub_error, 0);
  const sim::FlashContents flash = module().flash();
  EXPECT_EQ(flash.commands, (std::vector<uint32_t>{1, 2, 2, 2, 2, 2, 2, 4, 2}));
  EXPECT_EQ(flash.images.at("rfa").blocks, 1u);
}

// A pause of 2^31 microseconds and more is a pause of that many unsigned microseconds (more
// than half an hour), yet destroying the session ends it at once.
TEST_F(SessionStopTest, DestroyEndsALongScriptPause) {
  start_bus();
  SessionOptions options = standard_options();
  options.ads_file = write_file("pause.txt", "usleep 2147483648\nwrite 0xdffe0800,0x1\n");
  std::promise<void> replaying;
  options.on_state_entered = [&replaying](flash_session&, uint32_t state) {
    if (state == FLASH_STATE_ADS) {
      replaying.set_value();
    }
  };
  flash_session* session = start_session(options, slot_of("1-1"));
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(replaying.get_future().wait_for(kWaitLimit), std::future_status::ready);

  destroy_session(session);

  // The rest of the script is replayed (the replay has no stop checks); the download is not.
  const BootRomTraffic traffic = boot_rom_traffic(module());
  EXPECT_EQ(traffic.register_writes, 1u);
  EXPECT_EQ(traffic.downloads, 0u);
}

TEST(ScriptPause, LastsTheWholeMillisecondsOfItsUnsignedMicroseconds) {
  EXPECT_EQ(usleep_pause_length(999), milliseconds(0));
  EXPECT_EQ(usleep_pause_length(1500), milliseconds(1));
  EXPECT_EQ(usleep_pause_length(1000000), milliseconds(1000));
  EXPECT_EQ(usleep_pause_length(INT32_MIN), milliseconds(2147483));
  EXPECT_EQ(usleep_pause_length(-1), milliseconds(4294967));
}

}  // namespace
}  // namespace flash_test
