#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "firmware/archive.h"
#include "tests/flash/flash_test_support.h"
#include "usb/device_manager.h"

// Every error pair a session records, each row on a module of its own, all at once.
namespace flash_test {
namespace {

using Kind = sim::Fault::Kind;
using Adjust = std::function<void(SessionOptions& options)>;

const std::vector<std::string_view> kBase{"bootstrap", "bootloader", "misc"};

Adjust set(std::string SessionOptions::*field, std::string value) {
  return [field, value](SessionOptions& options) { options.*field = value; };
}
constexpr auto kBaseFile = &SessionOptions::base_file;
constexpr auto kOtaFile = &SessionOptions::ota_file;
constexpr auto kSettingsFile = &SessionOptions::settings_file;

struct Failure {
  const char* what;
  sim::Fault fault;  // none when it is a Status fault with status 0
  Adjust adjust;
  int error;
  int sub_error;
};

class SessionErrorTest : public FlashSessionTest {
 protected:
  // Runs every row on a module of its own and checks that each ends in state 7 with its pair;
  // `untouched`: before anything reached the module.
  void expect_failures(const std::vector<Failure>& rows, bool untouched) {
    std::vector<sim::ModuleConfig> configs;
    for (const Failure& row : rows) {
      configs.push_back(module_config("3-" + std::to_string(configs.size())));
      if (row.fault.kind != Kind::Status || row.fault.status != 0) {
        configs.back().faults.push_back(row.fault);
      }
    }
    start_bus(configs);
    std::vector<flash_session*> started;
    const SessionOptions cv22 = options_for(Firmware());  // archives shared by the rows
    for (size_t i = 0; i < rows.size(); ++i) {
      SessionOptions options = cv22;
      if (rows[i].adjust) {
        rows[i].adjust(options);
      }
      started.push_back(start_session(options, configs[i].port));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      const SessionStatus status = finish_session(started[i]);
      EXPECT_EQ(std::tuple(status.state, status.error, status.sub_error),
                std::tuple(FLASH_STATE_FAILED, rows[i].error, rows[i].sub_error))
          << rows[i].what;
      if (untouched) {
        const auto log = module(configs[i].port).control_log();
        EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const auto& r) {
          return r.setup.bmRequestType == 0x40;
        })) << rows[i].what;
      }
      const std::vector<sim::BlockRecord> log = module(configs[i].port).block_log();
      EXPECT_TRUE(rows[i].fault.status == 0 || log.back().status == rows[i].fault.status)
          << rows[i].what << " went on after the refusal";
    }
  }
};

TEST_F(SessionErrorTest, InputsRefusedBeforeTheModuleIsTouched) {
  Firmware firmware;
  std::vector<kavro_pack::Entry> entries = firmware.entries(kBase, true);
  entries[2].content =
      kavro_pack::sign_bytes(std::get<std::vector<uint8_t>>(entries[3].content), kPublisherKey);
  const std::string bad_signature = folder_.file("bad-signature.7z");
  kavro_pack::write_archive(entries, bad_signature, kavro_pack::Format::seven_zip);
  const auto write = [&](const char* name, std::vector<std::string_view> partitions) {
    return firmware.write(folder_.path() / name, partitions, true);
  };
  const std::string cv25_ota = Firmware("cv25").write_ota(folder_.path() / "cv25.7z");
  const std::string s5l_base = Firmware("s5l").write_base(folder_.path() / "s5l.7z");
  const std::string missing = folder_.file("missing");
  const std::string no_misc = write("1.7z", {"bootstrap", "bootloader"});
  const std::string no_rootfs = write("2.7z", {"osloader", "meta", "kernel"});
  const std::string no_kernel =
      write("3.7z", {"bootstrap", "bootloader", "misc", "osloader", "meta", "rootfs"});
  const auto base_only = [&](SessionOptions& options) { options = {.base_file = no_kernel}; };
  const std::string rootless = folder_.write_file("o.json", "{}");
  const std::string cv25_settings = folder_.write_file("c.json", settings_json("cv25", 0));
  constexpr int kArchive = FLASH_ERR_ARCHIVE;
  constexpr int kMismatch = FLASH_ERR_PLATFORM_MISMATCH;
  expect_failures(
      {
          {"bad signature", {}, set(kBaseFile, bad_signature), kArchive, ARCHIVE_ERR_SIGNATURE},
          {"OTA file missing", {}, set(kOtaFile, missing), kArchive, ARCHIVE_ERR_OPEN},
          {"settings without root", {}, set(kSettingsFile, rootless), FLASH_ERR_SETTINGS, -7},
          {"script file missing", {}, set(&SessionOptions::ads_file, missing), FLASH_ERR_ADS, -3},
          {"base without misc", {}, set(kBaseFile, no_misc), FLASH_ERR_BASE_MISSING_BASE_PARTS, 0},
          {"OTA without rootfs", {}, set(kOtaFile, no_rootfs), FLASH_ERR_OTA_MISSING_OTA_PARTS, 0},
          {"no OTA, base without kernel", {}, base_only, FLASH_ERR_BASE_MISSING_OTA_PARTS, 0},
          {"OTA for cv25", {}, set(kOtaFile, cv25_ota), kMismatch, 0},
          {"base for s5l", {}, set(kBaseFile, s5l_base), kMismatch, 0},
          {"settings for cv25", {}, set(kSettingsFile, cv25_settings), kMismatch, 0},
      },
      true);
}

TEST_F(SessionErrorTest, FailuresEndTheSessionWithTheirPair) {
  const SecureBootKeys& keys = secure_boot_keys();
  Firmware empty_meta;
  empty_meta.images["meta"].bytes.clear();
  const auto launch = [](void (*adjust)(flash_session&)) {
    return [adjust](SessionOptions& o) { o.before_launch = adjust; };
  };
  const auto reboot = [](SessionOptions& options) { options.reboot = 1; };
  // The public half of the key reads as an RSA key but cannot sign.
  const auto public_half = [&](SessionOptions& options) {
    options.private_key_file = keys.private_key_file;
    options.public_key_file = keys.public_key_file;
    options.before_launch = [&keys](flash_session& session) {
      std::unique_ptr<BIO, decltype(&BIO_free)> memory(BIO_new(BIO_s_mem()), BIO_free);
      PEM_write_bio_PUBKEY(memory.get(), keys.key.get());
      session.private_key.reset(PEM_read_bio_PUBKEY(memory.get(), nullptr, nullptr, nullptr));
    };
  };
  const auto fault = [](Kind kind, uint32_t command = 0, uint32_t nth = 0, uint32_t after = 0) {
    return sim::Fault{
        .kind = kind, .command_id = command, .occurrence = nth, .after_control_transfers = after};
  };
  const auto status = [](uint32_t command, uint32_t value) {
    return sim::Fault{.command_id = command, .occurrence = 1, .status = value};
  };
  const auto no_bootloader = [](flash_session& s) { s.flash_bootloader = {}; };
  const auto short_switch = [](flash_session& s) { s.mode_switch_poll_limit = 20; };
  const std::string short_rootfs = Firmware().write_sparse_ota(folder_.file("s.tar"), 300);
  const std::string empty_meta_ota = empty_meta.write_ota(folder_.file("m.7z"));
  const std::string fast_clock = folder_.write_file("fast.json", settings_json("cv22", 793));
  constexpr int kDm = FLASH_ERR_DEVICE_MANAGER;
  constexpr int kRefused = FLASH_ERR_DEVICE_STATUS;
  expect_failures(
      {
          {"poll never ready", fault(Kind::PollNeverReady), {}, kDm, DM_ERR_POLL_TIMEOUT},
          {"bring-up hangs", fault(Kind::Hang, 0, 0, 2), {}, kDm, DM_ERR_CONTROL_TRANSFER},
          {"no flash bootloader", {}, launch(no_bootloader), FLASH_ERR_NO_FLASH_BOOTLOADER, 0},
          {"no return after the jump", fault(Kind::NoReturn), launch(short_switch),
           FLASH_ERR_MODE_SWITCH_TIMEOUT, 0},
          {"bad response", fault(Kind::BadSignature, 1), {}, kDm, DM_ERR_RESPONSE_SIGNATURE},
          {"unplugged", fault(Kind::Unplug, sim::kDataBlock, 7), {}, kDm, DM_ERR_BULK_TRANSFER},
          {"no answer to the reboot", fault(Kind::Hang, 6), reboot, kDm, DM_ERR_BULK_TIMEOUT},
          {"reboot refused", status(6, 1), reboot, kDm, DM_ERR_DEVICE_STATUS},
          {"rootfs data ending early", {}, set(kOtaFile, short_rootfs), FLASH_ERR_ARCHIVE, 0},
          {"meta of size zero", {}, set(kOtaFile, empty_meta_ota), FLASH_ERR_INVALID_FILE_SIZE, 0},
          {"clock above the cv22 limit",
           {},
           set(kSettingsFile, fast_clock),
           FLASH_ERR_PARAMETER_UPDATE,
           PARAM_UPDATE_CLOCK_OUT_OF_RANGE},
          {"key that cannot sign", {}, public_half, FLASH_ERR_SIGNATURE, 0},
          {"layout refused", status(1, 1), {}, kRefused, SW_STATUS_INVALID_PARAMETER},
          {"image header refused", status(2, 2), {}, kRefused, SW_STATUS_OVERFLOW},
          {"table write refused", status(5, 3), {}, kRefused, SW_STATUS_PTB_DETAILS_FAILED},
          {"data block CRC", status(sim::kDataBlock, 5), {}, kRefused, SW_STATUS_CRC_MISMATCH},
          {"device id refused", status(7, 7), {}, kRefused, SW_STATUS_FLASH_WRITE_FAILED},
          {"erase refused", status(4, 10), {}, kRefused, SW_STATUS_ERASE_FAILED},
      },
      false);
}

}  // namespace
}  // namespace flash_test
