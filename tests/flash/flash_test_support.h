#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/archive.h"
#include "flash/session.h"
#include "flash/session_context.h"
#include "sim/virtual_bus.h"
#include "tests/support/temp_directory.h"
#include "tests/support/test_keys.h"
#include "tools/kavro_pack.h"

// What the flash session tests share: small firmware archives made with kavro-pack, the images
// a module should end up with after patching, a secure-boot key pair, and a fixture that runs
// sessions against simulated modules through the real device manager.
namespace flash_test {

// Bytes that differ from byte to byte and between seeds, so that a wrong offset or a mixed-up
// image shows in a comparison.
std::vector<uint8_t> patterned_bytes(size_t size, uint8_t seed);

struct Image {
  std::string filename;
  std::vector<uint8_t> bytes;
  int64_t load_address = 0;
};

// The seven partition images of one platform, small, and archives of them with a manifest.
struct Firmware {
  explicit Firmware(std::string platform_name = "cv22");
  // An archive of the manifest and the given partitions; `sign` adds ".sign" companions for
  // the bootstrap and bootloader made with the publisher key the program verifies.
  std::string write(const std::filesystem::path& output,
                    const std::vector<std::string_view>& partitions, bool sign = false) const;
  std::vector<kavro_pack::Entry> entries(const std::vector<std::string_view>& partitions,
                                         bool sign) const;
  std::string write_base(const std::filesystem::path& output) const;
  std::string write_ota(const std::filesystem::path& output) const;
  // The OTA partitions in tar, the rootfs as an old-style GNU sparse file of its own size that
  // stores `stored` bytes at offset 0: the archive hands out all `stored` bytes for it, more
  // than its size when `stored` is larger.
  std::string write_sparse_ota(const std::filesystem::path& output, size_t stored) const;

  std::string platform;
  std::map<std::string, Image, std::less<>> images;
};

// The publisher key the program verifies base archives with.
inline const std::filesystem::path kPublisherKey = KAVRO_TEST_PUBLISHER_KEY;
std::string settings_json(std::string_view platform, uint32_t core_mhz);

// An RSA-2048 key pair made once per test program, and a public key file of 512 'k's.
struct SecureBootKeys {
  test_support::KeyPtr key;
  std::string private_key_file;
  std::string public_key_file;
};
const SecureBootKeys& secure_boot_keys();

struct SessionOptions {
  std::string ads_file{};
  std::string settings_file{};
  std::string base_file{};
  std::string ota_file{};
  std::string public_key_file{};
  std::string private_key_file{};
  uint32_t reboot = 0;
  uint32_t move_calib = 0;
  // Runs before the thread starts, after the 64-byte test flash bootloader has been put in.
  std::function<void(flash_session& session)> before_launch{};
};

struct SessionStatus {
  uint32_t state = 0;
  int error = 0;
  int sub_error = 0;
  uint32_t progress = 0;
};

class FlashSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0)); }
  void TearDown() override;

  // A module that accepts the 64-byte test flash bootloader.
  static sim::ModuleConfig module_config(std::string port = "1-1", std::string platform = "cv22");
  void start_bus(std::vector<sim::ModuleConfig> modules = {module_config()});
  // The slot of the module on `port`, once the device manager has it in hardware mode.
  int slot_of(const std::string& port);
  // kavro_flash_init with the options' adjustments made before the thread starts; the session
  // is destroyed at the end of the test unless the test destroys it.
  flash_session* start_session(const SessionOptions& options, const std::string& port = "1-1");
  // Waits for the session thread to end and reads the status.
  static SessionStatus finish_session(flash_session* session);
  SessionStatus run_session(const SessionOptions& options, const std::string& port = "1-1") {
    return finish_session(start_session(options, port));
  }
  // Options with the standard archives of `firmware`.
  SessionOptions options_for(const Firmware& firmware);
  sim::Module& module(const std::string& port = "1-1") { return sim_->module(port); }

  test_support::TempDirectory folder_;
  std::shared_ptr<sim::VirtualBus> sim_;
  dm_state* dm_ = nullptr;
  std::vector<flash_session*> sessions_;
  int archives_ = 0;
  std::vector<uint8_t> test_bootloader_ = patterned_bytes(64, 0xB1);
};

}  // namespace flash_test
