#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/session.h"
#include "flash/session_context.h"
#include "sim/virtual_bus.h"
#include "tests/support/temp_directory.h"
#include "tests/support/test_keys.h"
#include "tools/kavro_pack.h"
#include "usb/bus.h"

// What the flash session tests share: small firmware archives made with kavro-pack, the images
// a module should end up with after patching, secure-boot keys, a record of every block sent
// over the bulk pipe, and a fixture that runs sessions against simulated modules through the
// real device manager.
namespace flash_test {

// Patch locations of the test bootstrap (the same as in the shipped cv22 bootstrap).
inline constexpr uint32_t kCoreMhzOffset = 2188;
inline constexpr uint32_t kIdspMhzOffset = 2192;
inline constexpr uint32_t kDramMhzOffset = 2200;
inline constexpr uint32_t kCortexMhzOffset = 2184;
inline constexpr uint32_t kBldSizeOffset = 3196;
inline constexpr uint32_t kBldLoadAddrOffset = 3188;
// Where the test bootloader holds its secure-boot key block.
inline constexpr uint32_t kPublicKeyOffset = 4000;
inline constexpr size_t kKeyBlockSize = 3084;

inline constexpr std::array<std::string_view, 3> kBasePartitions{"bootstrap", "bootloader", "misc"};
inline constexpr std::array<std::string_view, 4> kOtaPartitions{"osloader", "meta", "kernel",
                                                                "rootfs"};

// Image bytes that differ from byte to byte and between seeds, so a wrong offset or a mixed-up
// image shows up in a comparison.
std::vector<uint8_t> patterned_bytes(size_t size, uint8_t seed);

struct Image {
  std::string filename;
  std::vector<uint8_t> bytes;
  int64_t load_address = 0;  // written to the manifest when not 0
};

// The seven partition images of one platform, small, with a manifest that fits them.
class Firmware {
 public:
  explicit Firmware(std::string platform = "cv22");

  Image& image(std::string_view partition);
  const Image& image(std::string_view partition) const;
  void resize(std::string_view partition, size_t size);
  const std::string& platform() const { return platform_; }
  void set_platform(std::string platform) { platform_ = std::move(platform); }
  // Large incompressible images are quicker to pack without compression.
  void set_format(kavro_pack::Format format) { format_ = format; }

  std::string manifest(const std::vector<std::string_view>& partitions) const;
  // The manifest entry and the partitions' images, with ".sign" companions for the bootstrap
  // and bootloader when `signing_key` is given.
  std::vector<kavro_pack::Entry> entries(
      const std::vector<std::string_view>& partitions,
      const std::optional<std::filesystem::path>& signing_key = {}) const;
  // An archive holding the given partitions and the manifest. When `signing_key` is given the
  // bootstrap and bootloader get ".sign" companions made with it.
  std::filesystem::path write(const std::filesystem::path& output,
                              const std::vector<std::string_view>& partitions,
                              const std::optional<std::filesystem::path>& signing_key = {}) const;
  // The boot chain, signed with the publisher key the program verifies base archives with.
  std::filesystem::path write_base(const std::filesystem::path& output) const;
  std::filesystem::path write_ota(const std::filesystem::path& output) const;

 private:
  std::string platform_;
  kavro_pack::Format format_ = kavro_pack::Format::seven_zip;
  std::map<std::string, Image, std::less<>> images_;
};

// Path of the publisher's private key, whose public half is built into the program.
std::filesystem::path publisher_private_key();

struct Clocks {
  uint32_t core = 0;
  uint32_t idsp = 0;
  uint32_t dram = 0;
  uint32_t cortex = 0;
};

// PLL steps of a platform row, in MHz.
inline constexpr Clocks kCv22Steps{24, 12, 24, 24};
inline constexpr Clocks kS5lSteps{12, 12, 12, 24};

// The bootstrap as the module should receive it: the bootloader's load address and size, and
// each requested clock as its PLL multiplier byte.
std::vector<uint8_t> expected_bootstrap(const Firmware& firmware, const Clocks& mhz,
                                        const Clocks& steps);
// The bootloader as the module should receive it: the key block at kPublicKeyOffset with the
// given 512-byte key in slots 1 to 4 (zeros when the session has no key).
std::vector<uint8_t> expected_bootloader(const Firmware& firmware,
                                         std::span<const uint8_t> public_key);
std::vector<uint8_t> key_block(std::span<const uint8_t> public_key);

std::string settings_json(std::string_view platform, const Clocks& clocks);

// A secure-boot key pair made once per test program: an RSA-2048 private key and a 512-byte
// public key file whose bytes end up in the bootloader's key block.
struct SecureBootKeys {
  test_support::KeyPtr key;
  std::string private_key_file;
  std::string public_key_file;
  std::vector<uint8_t> public_key_bytes;
};
const SecureBootKeys& secure_boot_keys();
// True when `signature` is an RSA PKCS#1 v1.5 SHA-256 signature of `data` by `key`.
bool signature_verifies(EVP_PKEY* key, std::span<const uint8_t> data,
                        std::span<const uint8_t> signature);

// Every block the host wrote to a module's bulk pipe, in order, by port.
class WireLog {
 public:
  void add(const std::string& port, std::span<const uint8_t> block);
  std::vector<std::vector<uint8_t>> blocks(const std::string& port) const;
  // Shows every block to `observer` as it is recorded, on the thread that wrote it.
  void observe(std::function<void(std::span<const uint8_t> block)> observer);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<std::vector<uint8_t>>> blocks_;
  std::function<void(std::span<const uint8_t> block)> observer_;
};

// The simulator's bus with every bulk-out block recorded on the way.
class RecordingBus : public usb::Bus {
 public:
  explicit RecordingBus(std::shared_ptr<sim::VirtualBus> bus);

  std::vector<usb::DeviceInfo> list(uint16_t vid) override;
  std::unique_ptr<usb::Device> open(const usb::DeviceInfo& info) override;
  void watch(std::function<void()> changed) override;

  WireLog& log() { return *log_; }

 private:
  std::shared_ptr<sim::VirtualBus> bus_;
  std::shared_ptr<WireLog> log_ = std::make_shared<WireLog>();
};

uint32_t le32(std::span<const uint8_t> bytes, size_t offset);

// The command blocks among the recorded blocks: (command id, block) in order; raw image data
// is left out.
struct SentCommand {
  uint32_t id;
  std::vector<uint8_t> bytes;
};
std::vector<SentCommand> sent_commands(const std::vector<std::vector<uint8_t>>& blocks);
std::vector<uint32_t> ids_of(const std::vector<SentCommand>& commands);

std::vector<uint8_t> read_file(const std::filesystem::path& path);

// Addresses below this are the module's RAM, where the flash bootloader is downloaded to.
inline constexpr uint32_t kRamEnd = 0x01000000;

struct BootRomWrite {
  uint32_t address;
  uint32_t value;
};
// The register and memory writes a module's boot ROM carried out, in order.
std::vector<BootRomWrite> boot_rom_writes(const sim::Module& module);
// How many jump requests a module's boot ROM received.
size_t boot_rom_jumps(const sim::Module& module);

struct SessionOptions {
  std::string ads_file;
  std::string settings_file;
  std::string base_file;
  std::string ota_file;
  std::string public_key_file;
  std::string private_key_file;
  uint32_t reboot = 0;
  uint32_t move_calib = 0;
  bool real_flash_bootloader = false;  // else the small test image of the fixture
  uint32_t mode_switch_poll_limit = MODE_SWITCH_POLL_LIMIT;
  std::function<void(flash_session& session, uint32_t state)> on_state_entered;
  std::function<void(flash_session& session)> before_launch;
};

struct SessionStatus {
  uint32_t state = 0;
  int error = 0;
  int sub_error = 0;
  uint32_t progress = 0;
};

SessionStatus status_of(flash_session** session);

// A small flash bootloader for the tests that do not look at the download itself.
inline constexpr size_t kTestBootloaderSize = 64;

class FlashSessionTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A module that accepts the fixture's small flash bootloader.
  static sim::ModuleConfig module_config(std::string port = "1-1", std::string platform = "cv22");
  void start_bus(std::vector<sim::ModuleConfig> modules);
  void start_bus() { start_bus({module_config()}); }
  // The slot index of the module on `port`, once the device manager has it in hardware mode.
  int slot_of(const std::string& port);

  // kavro_flash_init with the test's adjustments applied before the thread starts. The session
  // is destroyed at the end of the test unless the test destroys it.
  flash_session* start_session(const SessionOptions& options, int slot);
  // kavro_flash_destroy of a session the fixture started.
  void destroy_session(flash_session*& session);
  // Waits for the session thread to end and reads the status.
  SessionStatus finish_session(flash_session* session);
  SessionStatus run_session(const SessionOptions& options, const std::string& port = "1-1");

  sim::Module& module(const std::string& port = "1-1") { return sim_->module(port); }
  std::vector<std::vector<uint8_t>> blocks(const std::string& port = "1-1") {
    return bus_->log().blocks(port);
  }
  std::vector<uint32_t> command_ids(const std::string& port = "1-1");

  // Writes the standard archives of `firmware` into the test folder: (base, ota).
  std::pair<std::string, std::string> write_archives(const Firmware& firmware);
  std::string write_file(std::string_view name, std::string_view contents) {
    return folder_.write_file(name, contents);
  }

  test_support::TempDirectory folder_;
  std::shared_ptr<sim::VirtualBus> sim_;
  std::shared_ptr<RecordingBus> bus_;
  dm_state* dm_ = nullptr;
  std::vector<flash_session*> sessions_;
  std::vector<uint8_t> test_bootloader_ = patterned_bytes(kTestBootloaderSize, 0xB1);
};

}  // namespace flash_test
