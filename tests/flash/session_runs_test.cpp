#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "common/little_endian.h"
#include "data/embedded.h"
#include "tests/flash/flash_test_support.h"

// Whole sessions against simulated modules, checked by what each module received: commands in
// order, layout, images byte for byte after patching, their blocks and load addresses,
// signatures, erase, device id, partition table write, reboot and the flash bootloader.
namespace flash_test {
namespace {

constexpr size_t kTransferBuffer = 2113568;

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// True when `signature` is an RSA PKCS#1 v1.5 SHA-256 signature of `data` by `key`.
bool signature_verifies(EVP_PKEY* key, std::span<const uint8_t> data,
                        std::span<const uint8_t> signature) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                          data.size()) == 1;
}

struct FlashRun {
  std::string what;
  SessionOptions options;
  sim::ModuleConfig config;
  std::map<std::string, std::vector<uint8_t>> images{};  // expected, by device name
  std::vector<uint32_t> commands{1, 2, 2, 2, 2, 2, 2, 4, 2, 7, 5};
};

// Every image as the archive holds it, but patched as on cv22: the bootstrap (when long enough
// to hold them) gets the bootloader's load address and size and the core clock's PLL
// multiplier (24 MHz steps), the bootloader its key block with `key` in slots 1 to 4.
std::map<std::string, std::vector<uint8_t>> patched_images(const Firmware& firmware,
                                                           uint32_t core_mhz,
                                                           std::span<const uint8_t> key) {
  std::map<std::string, std::vector<uint8_t>> images;
  for (const auto& [partition, image] : firmware.images) {
    images[image.filename.substr(0, 3)] = image.bytes;
  }
  const Image& bootloader = firmware.images.at("bootloader");
  if (std::vector<uint8_t>& bootstrap = images["bst"]; bootstrap.size() > 3200) {
    store_le32(bootstrap, 3188, static_cast<uint32_t>(bootloader.load_address));
    store_le32(bootstrap, 3196, static_cast<uint32_t>(bootloader.bytes.size()));
    bootstrap[2188 + 3] = core_mhz > 0 ? static_cast<uint8_t>(core_mhz / 24 - 1) : bootstrap[2191];
  }
  std::vector<uint8_t>& patched_bootloader = images["bld"];
  std::fill_n(patched_bootloader.begin() + 4000, 3084, 0);
  store_le32(patched_bootloader, 4000, 0x5055424C);
  store_le32(patched_bootloader, 4004, 0x4B455953);
  for (size_t slot = 0; slot < 4; ++slot) {
    std::copy(key.begin(), key.end(), patched_bootloader.begin() + 4008 + 512 * slot);
  }
  return images;
}

class SessionRunTest : public FlashSessionTest {};

TEST_F(SessionRunTest, ModulesReceiveTheirImagesAsPatched) {
  const SecureBootKeys& keys = secure_boot_keys();
  std::vector<FlashRun> runs;

  // Settings behind a path far beyond 260 characters, with a core clock, custom partitions and
  // -f; an OTA archive whose platform extends the module's; the real flash bootloader kept on
  // disk; responses in 8-byte pieces; a kernel of exactly one transfer buffer and a rootfs one
  // byte longer.
  Firmware layout_firmware;
  layout_firmware.images["kernel"].bytes = patterned_bytes(kTransferBuffer, 8);
  layout_firmware.images["rootfs"].bytes = patterned_bytes(kTransferBuffer + 1, 9);
  layout_firmware.platform = "cv22-lite";
  FlashRun& layout = runs.emplace_back(FlashRun{"layout", {}, module_config("1-1")});
  layout.options.base_file = layout_firmware.write_base(folder_.file("base.7z"));
  const std::filesystem::path deep = folder_.path() / std::string(200, 'd') / std::string(200, 'e');
  std::filesystem::create_directories(deep);
  layout.options.settings_file = (deep / "settings.json").string();
  // The archive hands out 100 bytes more of the rootfs than its size; they are not sent.
  layout.options.ota_file =
      layout_firmware.write_sparse_ota(folder_.file("beyond.tar"), kTransferBuffer + 101);
  std::ofstream(layout.options.settings_file)
      << R"({"settings":{"platform":"cv22","clocks":{"core_mhz":792},"partitions":{)"
         R"("ota_enabled":false,"kernel_maxsize":16777216,"rootfs_maxsize":268435456,)"
         R"("custom_partitions":[{"name":"abcdefgh","maxsize":4294967301}]}}})";
  layout.options.move_calib = 1;
  layout.options.before_launch = [](flash_session& session) {
    session.flash_bootloader = embedded::flash_bootloader();
  };
  layout.config.bootloader_size = sim::kDefaultBootloaderSize;
  layout.config.flash_dir = folder_.file("flash");
  layout.config.flash_capacity = 16ull << 30;
  layout.config.faults.push_back({.kind = sim::Fault::Kind::ShortResponses});
  layout.images = patched_images(layout_firmware, 792, std::vector<uint8_t>(512, 0));
  layout.commands = {1, 2, 2, 2, 2, 2, 2, 4, 2, 3, 7, 5};  // the rootfs's second block: command 3

  // Secure boot with -p/-q and a reboot, from a base archive that carries the OTA partitions
  // too and no OTA archive; a bootstrap too short to have anything in its digest; load
  // addresses beyond 32 bits and below 0; a flash bootloader of 6 bytes, whose last word goes
  // down padded with zeros.
  Firmware secure_firmware;
  secure_firmware.images["bootstrap"].bytes = patterned_bytes(200, 10);
  secure_firmware.images["kernel"].load_address = 0x123456780;
  secure_firmware.images["meta"].load_address = -5;
  FlashRun& secure = runs.emplace_back(FlashRun{"secure", {}, module_config("1-2")});
  secure.options.base_file = secure_firmware.write(
      folder_.path() / "whole.7z",
      {"bootstrap", "bootloader", "misc", "osloader", "meta", "kernel", "rootfs"}, true);
  secure.options.public_key_file = keys.public_key_file;
  secure.options.private_key_file = keys.private_key_file;
  secure.options.reboot = 1;
  secure.options.before_launch = [](flash_session& session) {
    static constexpr std::array<uint8_t, 6> kOddBootloader{1, 2, 3, 4, 5, 6};
    session.flash_bootloader = kOddBootloader;
  };
  secure.config.bootloader_size = 8;
  secure.config.bootloader_sha256 =
      "fda5b6b4b3e6c37604044f0e3f0999eb6045d525cb834aa56118a80389ba1af0";  // 1 to 6, 0, 0
  secure.images = patched_images(secure_firmware, 0, std::vector<uint8_t>(512, 'k'));
  secure.commands = {1, 2, 8, 2, 8, 2, 2, 2, 2, 4, 2, 7, 5, 6};

  // s5l: the revision probe picks the built-in base archive and the clock limits of its row;
  // revision 1 takes base 5 and 672 MHz, revision 0 and a reading outside every window base 1
  // (whose core clock may not exceed 564 MHz), as does a converter that never finishes.
  const std::string s5l_ota = Firmware("s5l").write_ota(folder_.file("s5l.7z"));
  const std::tuple<uint32_t, uint32_t, uint32_t, const char*> s5l_runs[] = {
      {1, 0, 672, "base5"}, {0, 0, 564, "base1"}, {0, 1700, 564, "base1"}, {1, 0, 564, "base1"}};
  for (const auto& [revision, reading, core_mhz, base] : s5l_runs) {
    const std::string port = "2-" + std::to_string(runs.size());
    const std::string settings = folder_.write_file(port, settings_json("s5l", core_mhz));
    FlashRun& run = runs.emplace_back(FlashRun{
        "s5l", {.settings_file = settings, .ota_file = s5l_ota}, module_config(port, "s5l")});
    run.config.revision = revision;
    run.config.adc_reading = reading == 0 ? std::nullopt : std::optional(reading);
    run.images["msc"] = read_file(std::filesystem::path(KAVRO_TEST_IMAGES_DIR) / base / "msc.bin");
  }
  runs.back().config.faults.push_back({.kind = sim::Fault::Kind::AdcNeverDone});

  std::vector<sim::ModuleConfig> configs;
  for (const FlashRun& run : runs) {
    configs.push_back(run.config);
  }
  start_bus(configs);
  std::vector<flash_session*> started;
  for (const FlashRun& run : runs) {
    started.push_back(start_session(run.options, run.config.port));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(runs[i].what);
    const SessionStatus status = finish_session(started[i]);
    EXPECT_EQ(std::tuple(status.state, status.error, status.sub_error, status.progress),
              std::tuple(FLASH_STATE_DONE, 0, 0, 100u));
    const sim::FlashContents flash = module(runs[i].config.port).flash();
    EXPECT_EQ(flash.commands, runs[i].commands);
    EXPECT_EQ(flash.erased, std::vector<std::string>{"rfa"});
    EXPECT_EQ(flash.device_id, static_cast<uint32_t>(i));  // the modules took slots in order
    EXPECT_EQ(flash.rebooted, runs[i].options.reboot != 0);
    for (const auto& [name, bytes] : runs[i].images) {
      EXPECT_EQ(flash.images.at(name).bytes, bytes) << name;
    }
  }

  const sim::FlashContents layout_flash = module("1-1").flash();
  EXPECT_EQ(layout_flash.images.at("kna").blocks, 1u);  // exactly one transfer buffer
  EXPECT_EQ(layout_flash.images.at("rfa").blocks, 2u);  // and one byte more
  for (const auto& [name, image] : layout_flash.images) {
    EXPECT_EQ(read_file(folder_.path() / "flash" / (name + ".bin")), image.bytes) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(folder_.path() / "flash" / "module.json"));
  EXPECT_EQ(layout_flash.bootloader.bytes, embedded::flash_bootloader().size());
  const sim::PartitionDetails& details = layout_flash.partition_details.value();
  EXPECT_EQ(details.move_calib, 1u);
  EXPECT_EQ(details.custom.at(0).name + " " + std::to_string(details.custom.at(0).maxsize),
            "abcdefgh 4294967301");

  // Only bits 31 to 0 of a load address travel, and a negative one as 0. Each signature covers
  // its image but the last 256 bytes, which for a short bootstrap is nothing.
  const sim::FlashContents secure_flash = module("1-2").flash();
  EXPECT_EQ(secure_flash.images.at("kna").load_address, 0x23456780u);
  EXPECT_EQ(secure_flash.images.at("mta").load_address, 0u);
  for (const char* name : {"bst", "bld"}) {
    const sim::StoredImage& image = secure_flash.images.at(name);
    const size_t signed_length = image.bytes.size() > 256 ? image.bytes.size() - 256 : 0;
    EXPECT_TRUE(signature_verifies(keys.key.get(), {image.bytes.data(), signed_length},
                                   image.signature.value()))
        << name;
  }
}

}  // namespace
}  // namespace flash_test
