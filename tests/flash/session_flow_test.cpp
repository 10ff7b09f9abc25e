#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "data/embedded.h"
#include "firmware/archive.h"
#include "firmware/bringup_script.h"
#include "tests/flash/flash_test_support.h"
#include "usb/device_manager.h"

namespace flash_test {
namespace {

constexpr uint32_t kTotalSize = 4096 + 8192 + 48 + 3000 + 300 + 5000 + 10000;

uint32_t crc_of(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

std::vector<uint8_t> sha256_of(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> digest(32);
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

std::string hex_of(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

std::vector<uint8_t> name_field(std::string_view name) {
  std::vector<uint8_t> field(8, 0);
  std::copy(name.begin(), name.end(), field.begin());
  return field;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(offset),
          bytes.begin() + static_cast<std::ptrdiff_t>(offset + length)};
}

// An image header announcing a whole image in one block, followed by that block.
void expect_single_block_image(const std::vector<uint8_t>& header, const std::vector<uint8_t>& data,
                               std::string_view device_name, const std::vector<uint8_t>& image,
                               uint32_t load_address) {
  ASSERT_EQ(header.size(), 52u);
  EXPECT_EQ(le32(header, 0), 0x4B434D44u);
  EXPECT_EQ(le32(header, 4), 2u);
  EXPECT_EQ(slice(header, 8, 8), name_field(device_name));
  EXPECT_EQ(le32(header, 16), 0u);
  EXPECT_EQ(le32(header, 20), image.size());
  EXPECT_EQ(le32(header, 24), image.size());
  EXPECT_EQ(le32(header, 28), 0u);
  EXPECT_EQ(le32(header, 32), 1u);
  EXPECT_EQ(le32(header, 36), crc_of(image));
  EXPECT_EQ(le32(header, 40), load_address);
  EXPECT_EQ(le32(header, 44), 0u);
  EXPECT_EQ(le32(header, 48), 0u);
  EXPECT_EQ(data, image);
}

// The log lines of a session, each expected after the one before it.
void expect_in_order(const std::string& output, const std::vector<std::string>& lines) {
  size_t position = 0;
  for (const std::string& line : lines) {
    const size_t found = output.find(line, position);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line;
    position = found + line.size();
  }
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The write commands of a built-in bring-up script, in order.
std::vector<BootRomWrite> script_writes(const char* platform, uint32_t revision) {
  ads_handle* script = nullptr;
  EXPECT_EQ(kavro_ads_init(&script, platform, revision), 0);
  std::vector<BootRomWrite> writes;
  uint32_t type = 0;
  uint32_t first = 0;
  uint32_t second = 0;
  uint32_t third = 0;
  while (kavro_ads_get_next_command(&script, &type, &first, &second, &third) == 0) {
    if (type == ADS_CMD_WRITE) {
      writes.push_back({first, second});
    }
  }
  kavro_ads_destroy(&script);
  return writes;
}

class SessionFlowTest : public FlashSessionTest {
 protected:
  SessionOptions options_for(const std::pair<std::string, std::string>& archives) {
    SessionOptions options;
    options.base_file = archives.first;
    options.ota_file = archives.second;
    return options;
  }
};

TEST_F(SessionFlowTest, Cv22SessionWritesEveryImageAsPatched) {
  const Firmware firmware;
  const Clocks clocks{792, 600, 1000, 1008};
  SessionOptions options = options_for(write_archives(firmware));
  options.settings_file = write_file("settings.json", settings_json("cv22", clocks));
  options.real_flash_bootloader = true;
  sim::ModuleConfig config = module_config();
  config.bootloader_size = sim::kDefaultBootloaderSize;
  config.flash_dir = folder_.file("flash");
  start_bus({config});
  const int slot = slot_of("1-1");

  testing::internal::CaptureStdout();
  const SessionStatus status = finish_session(start_session(options, slot));
  const std::string output = testing::internal::GetCapturedStdout();

  EXPECT_EQ(status.state, FLASH_STATE_DONE);
  EXPECT_EQ(status.error, 0);
  EXPECT_EQ(status.sub_error, 0);
  EXPECT_EQ(status.progress, 100u);

  const sim::FlashContents flash = module().flash();
  EXPECT_EQ(flash.commands, (std::vector<uint32_t>{1, 2, 2, 2, 2, 2, 2, 4, 2, 7, 5}));
  EXPECT_EQ(flash.erased, std::vector<std::string>{"rfa"});
  EXPECT_EQ(flash.device_id, static_cast<uint32_t>(slot));
  EXPECT_TRUE(flash.ptb_written);
  EXPECT_FALSE(flash.rebooted);

  // Byte 3 of each clock word: 792/24-1, 600/12-1, 1000/24-1 (984 MHz, rounded down), 1008/24-1.
  const std::vector<uint8_t> bootstrap = expected_bootstrap(firmware, clocks, kCv22Steps);
  EXPECT_EQ(bootstrap[kCoreMhzOffset + 3], 32);
  EXPECT_EQ(bootstrap[kIdspMhzOffset + 3], 49);
  EXPECT_EQ(bootstrap[kDramMhzOffset + 3], 40);
  EXPECT_EQ(bootstrap[kCortexMhzOffset + 3], 41);
  const std::vector<uint8_t> no_key(SECURE_BOOT_KEY_SIZE, 0);
  const std::map<std::string, std::vector<uint8_t>> expected{
      {"bst", bootstrap},
      {"bld", expected_bootloader(firmware, no_key)},
      {"bda", firmware.image("osloader").bytes},
      {"msc", firmware.image("misc").bytes},
      {"mta", firmware.image("meta").bytes},
      {"kna", firmware.image("kernel").bytes},
      {"rfa", firmware.image("rootfs").bytes},
  };
  ASSERT_EQ(flash.images.size(), expected.size());
  for (const auto& [name, bytes] : expected) {
    const sim::StoredImage& image = flash.images.at(name);
    EXPECT_EQ(image.bytes, bytes) << name;
    EXPECT_EQ(image.blocks, 1u) << name;
    EXPECT_FALSE(image.signature.has_value()) << name;
    EXPECT_EQ(read_file(folder_.path() / "flash" / (name + ".bin")), bytes) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(folder_.path() / "flash" / "module.json"));

  // The wire: layout, seven images each as one header and one data block, erase before
  // rootfs, the slot index and the partition table write.
  const std::vector<std::vector<uint8_t>> wire = blocks();
  ASSERT_EQ(wire.size(), 1u + 2 * 6 + 1 + 2 + 1 + 1);
  std::vector<uint8_t> layout(164, 0);
  const std::vector<uint8_t> layout_head{0x44, 0x4D, 0x43, 0x4B, 1, 0,    0, 0, 1, 0, 0,
                                         0,    0,    0,    0,    0, 0,    0, 0, 1, 0, 0,
                                         0,    0,    0,    0,    0, 0x10, 0, 0, 0, 0};
  std::copy(layout_head.begin(), layout_head.end(), layout.begin());
  EXPECT_EQ(wire[0], layout);
  expect_single_block_image(wire[1], wire[2], "bst", expected.at("bst"), 0);
  expect_single_block_image(wire[3], wire[4], "bld", expected.at("bld"), 0x00080000);
  expect_single_block_image(wire[5], wire[6], "bda", expected.at("bda"), 0x01000000);
  expect_single_block_image(wire[7], wire[8], "msc", expected.at("msc"), 0);
  expect_single_block_image(wire[9], wire[10], "mta", expected.at("mta"), 0);
  expect_single_block_image(wire[11], wire[12], "kna", expected.at("kna"), 0x02080000);
  EXPECT_EQ(wire[13], (std::vector<uint8_t>{0x44, 0x4D, 0x43, 0x4B, 4, 0, 0, 0, 'r', 'f', 'a', 0, 0,
                                            0, 0, 0}));
  expect_single_block_image(wire[14], wire[15], "rfa", expected.at("rfa"), 0);
  EXPECT_EQ(wire[16], (std::vector<uint8_t>{0x44, 0x4D, 0x43, 0x4B, 7, 0, 0, 0,
                                            static_cast<uint8_t>(slot), 0, 0, 0}));
  EXPECT_EQ(wire[17], (std::vector<uint8_t>{0x44, 0x4D, 0x43, 0x4B, 5, 0, 0, 0}));

  // The flash bootloader built into the program went down word by word from address 0, then
  // the jump to 0.
  const std::span<const uint8_t> bootloader = embedded::flash_bootloader();
  EXPECT_EQ(flash.bootloader.bytes, bootloader.size());
  EXPECT_EQ(flash.bootloader.sha256, hex_of(sha256_of(bootloader)));
  std::vector<BootRomWrite> downloads;
  for (const BootRomWrite& write : boot_rom_writes(module())) {
    if (write.address < kRamEnd) {
      downloads.push_back(write);
    }
  }
  ASSERT_EQ(downloads.size(), bootloader.size() / 4);
  EXPECT_EQ(downloads.front().address, 0u);
  EXPECT_EQ(downloads.front().value, le32(bootloader, 0));
  EXPECT_EQ(downloads.back().address, bootloader.size() - 4);
  EXPECT_EQ(downloads.back().value, le32(bootloader, bootloader.size() - 4));
  const std::vector<sim::ControlRecord> control = module().control_log();
  const auto jump = std::find_if(control.begin(), control.end(), [](const auto& record) {
    return record.setup.bmRequestType == 0x40 && le32(record.data, 0) == 0x00010000;
  });
  ASSERT_NE(jump, control.end());
  EXPECT_EQ(std::vector<uint8_t>(jump->data.begin(), jump->data.begin() + 12),
            (std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  expect_in_order(output, {"SoM HW Version: 0\n",
                           "Firmware size is: " + std::to_string(kTotalSize) + " bytes\n",
                           "Sending ADS commands\n",
                           "Sending flash bootloader\n",
                           " 0% done\r",
                           " 99% done\r",
                           "Jump to flash bootloader\n",
                           "Waiting for device to come back online\n",
                           "Device is back up in software mode\n",
                           "Sending partition details\n",
                           "Sending bootstrap\n",
                           "Sending bootloader\n",
                           "Sending osloader\n",
                           "Sending misc\n",
                           "Sending meta\n",
                           "Sending kernel\n",
                           "Erasing rootfs\n",
                           "Sending rootfs\n",
                           " 100% done \r",
                           "Sending device ID\n",
                           "Writing PTB\n"});
  for (int percent = 0; percent < 100; ++percent) {
    EXPECT_EQ(occurrences(output, " " + std::to_string(percent) + "% done\r"), 1u) << percent;
  }
  EXPECT_EQ(occurrences(output, " 100% done\r"), 0u);
  EXPECT_EQ(occurrences(output, "% done \r"), 7u);
  EXPECT_EQ(occurrences(output, "Sending reboot command"), 0u);
}

TEST_F(SessionFlowTest, KeyPairSignsBootstrapAndBootloader) {
  const Firmware firmware;
  const SecureBootKeys& keys = secure_boot_keys();
  SessionOptions options = options_for(write_archives(firmware));
  options.public_key_file = keys.public_key_file;
  options.private_key_file = keys.private_key_file;
  start_bus();

  const SessionStatus status = run_session(options);

  EXPECT_EQ(status.state, FLASH_STATE_DONE);
  EXPECT_EQ(status.error, 0);
  const sim::FlashContents flash = module().flash();
  EXPECT_EQ(flash.images.at("bld").bytes, expected_bootloader(firmware, keys.public_key_bytes));
  for (const auto& [name, image] : flash.images) {
    if (name != "bst" && name != "bld") {
      EXPECT_FALSE(image.signature.has_value()) << name;
      continue;
    }
    ASSERT_TRUE(image.signature.has_value()) << name;
    const std::span<const uint8_t> signed_part(image.bytes.data(), image.bytes.size() - 256);
    EXPECT_TRUE(signature_verifies(keys.key.get(), signed_part, *image.signature)) << name;
  }

  // Each signature follows the last data block of its image.
  const std::vector<SentCommand> commands = sent_commands(blocks());
  EXPECT_EQ(ids_of(commands), (std::vector<uint32_t>{1, 2, 8, 2, 8, 2, 2, 2, 2, 4, 2, 7, 5}));
  const std::vector<uint8_t>& bst_signature = commands[2].bytes;
  ASSERT_EQ(bst_signature.size(), 272u);
  EXPECT_EQ(slice(bst_signature, 0, 8), (std::vector<uint8_t>{0x44, 0x4D, 0x43, 0x4B, 8, 0, 0, 0}));
  EXPECT_EQ(slice(bst_signature, 8, 8), name_field("bst"));
  const auto& stored = *flash.images.at("bst").signature;
  EXPECT_EQ(slice(bst_signature, 16, 256), std::vector<uint8_t>(stored.begin(), stored.end()));
  EXPECT_EQ(slice(commands[4].bytes, 8, 8), name_field("bld"));
}

// A signed image of 256 bytes or less has nothing in its digest: the signature is that of
// empty input.
TEST_F(SessionFlowTest, ShortSignedImageSignsTheEmptyDigest) {
  Firmware firmware;
  firmware.resize("bootstrap", 200);
  const SecureBootKeys& keys = secure_boot_keys();
  SessionOptions options = options_for(write_archives(firmware));
  options.public_key_file = keys.public_key_file;
  options.private_key_file = keys.private_key_file;
  start_bus();

  EXPECT_EQ(run_session(options).state, FLASH_STATE_DONE);
  const sim::FlashContents flash = module().flash();
  const sim::StoredImage& bootstrap = flash.images.at("bst");
  EXPECT_EQ(bootstrap.bytes, firmware.image("bootstrap").bytes);
  ASSERT_TRUE(bootstrap.signature.has_value());
  EXPECT_TRUE(signature_verifies(keys.key.get(), {}, *bootstrap.signature));
}

TEST_F(SessionFlowTest, BuiltInBaseWithExampleOtaArchive) {
  SessionOptions options;
  options.ota_file = KAVRO_TEST_EXAMPLE_OTA;
  sim::ModuleConfig config = module_config();
  config.record_traffic = false;
  start_bus({config});

  const SessionStatus status = run_session(options);

  EXPECT_EQ(status.state, FLASH_STATE_DONE) << status.error << " " << status.sub_error;
  EXPECT_EQ(status.progress, 100u);
  const std::filesystem::path images = KAVRO_TEST_IMAGES_DIR;
  const sim::FlashContents flash = module().flash();
  EXPECT_EQ(flash.images.at("msc").bytes, read_file(images / "base2" / "msc.bin"));
  for (const char* name : {"bda", "mta", "kna", "rfa"}) {
    const std::vector<uint8_t> shipped =
        read_file(images / "example-ota-cv22" / (std::string(name) + ".bin"));
    EXPECT_EQ(flash.images.at(name).bytes, shipped) << name;
    EXPECT_EQ(flash.images.at(name).blocks, (shipped.size() + 2113567) / 2113568) << name;
  }
}

TEST_F(SessionFlowTest, BaseArchiveMayCarryTheOtaPartitions) {
  const Firmware firmware;
  SessionOptions options;
  options.base_file =
      firmware
          .write(folder_.path() / "all.7z",
                 {"bootstrap", "bootloader", "misc", "osloader", "meta", "kernel", "rootfs"},
                 publisher_private_key())
          .string();
  start_bus();

  EXPECT_EQ(run_session(options).state, FLASH_STATE_DONE);
  EXPECT_EQ(module().flash().images.at("rfa").bytes, firmware.image("rootfs").bytes);
}

// Paths are kept whole, however long: these are far beyond the 260 characters of a path field.
TEST_F(SessionFlowTest, LongPathsAreKeptWhole) {
  const Firmware firmware;
  std::filesystem::path deep = folder_.path();
  for (int level = 0; level < 8; ++level) {
    deep /= std::string(40, static_cast<char>('a' + level));
  }
  std::filesystem::create_directories(deep);
  SessionOptions options;
  options.base_file = firmware.write_base(deep / "base.7z").string();
  options.ota_file = firmware.write_ota(deep / "ota.7z").string();
  options.settings_file = (deep / "settings.json").string();
  { std::ofstream(options.settings_file) << settings_json("cv22", {792, 0, 0, 0}); }
  ASSERT_GT(options.settings_file.size(), 300u);
  start_bus();

  EXPECT_EQ(run_session(options).state, FLASH_STATE_DONE);
  EXPECT_EQ(module().flash().images.at("bst").bytes,
            expected_bootstrap(firmware, {792, 0, 0, 0}, kCv22Steps));
}

TEST_F(SessionFlowTest, LayoutCarriesCustomPartitionsAndMoveCalib) {
  const Firmware firmware;
  SessionOptions options = options_for(write_archives(firmware));
  options.move_calib = 1;
  options.settings_file =
      write_file("settings.json",
                 R"({"settings":{"platform":"cv22","partitions":{"ota_enabled":false,)"
                 R"("kernel_maxsize":16777216,"rootfs_maxsize":268435456,"custom_partitions":[)"
                 R"({"name":"cal","maxsize":1048576},{"name":"abcdefgh","maxsize":4294967301},)"
                 R"({"name":"app","maxsize":2097152}]}}})");
  sim::ModuleConfig config = module_config();
  config.flash_capacity = 16ull << 30;
  start_bus({config});

  EXPECT_EQ(run_session(options).state, FLASH_STATE_DONE);
  const std::vector<uint8_t> layout = blocks().front();
  ASSERT_EQ(layout.size(), 164u);
  EXPECT_EQ(le32(layout, 8), 0u);
  EXPECT_EQ(le32(layout, 28), 3u);
  EXPECT_EQ(slice(layout, 32, 8), name_field("cal"));
  EXPECT_EQ(le32(layout, 40), 0u);
  EXPECT_EQ(le32(layout, 44), 1048576u);
  EXPECT_EQ(slice(layout, 48, 8), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
  EXPECT_EQ(le32(layout, 56), 1u);
  EXPECT_EQ(le32(layout, 60), 5u);
  EXPECT_EQ(slice(layout, 64, 8), name_field("app"));
  EXPECT_EQ(le32(layout, 76), 2097152u);
  EXPECT_EQ(slice(layout, 80, 80), std::vector<uint8_t>(80, 0));
  EXPECT_EQ(le32(layout, 160), 1u);
  const std::optional<sim::PartitionDetails> details = module().flash().partition_details;
  ASSERT_TRUE(details.has_value());
  EXPECT_EQ(details->move_calib, 1u);
  ASSERT_EQ(details->custom.size(), 3u);
  EXPECT_EQ(details->custom[1].name, "abcdefgh");
  EXPECT_EQ(details->custom[1].maxsize, 4294967301u);
}

// Only bits 31 to 0 of a load address travel; a negative one travels as 0.
TEST_F(SessionFlowTest, LoadAddressTravelsAsItsLow32Bits) {
  Firmware firmware;
  firmware.image("kernel").load_address = 0x123456780;
  firmware.image("meta").load_address = -5;
  start_bus();

  EXPECT_EQ(run_session(options_for(write_archives(firmware))).state, FLASH_STATE_DONE);
  EXPECT_EQ(module().flash().images.at("kna").load_address, 0x23456780u);
  EXPECT_EQ(module().flash().images.at("mta").load_address, 0u);
}

TEST_F(SessionFlowTest, RebootIsSentOnlyWhenAsked) {
  const Firmware firmware;
  SessionOptions options = options_for(write_archives(firmware));
  options.reboot = 1;
  start_bus();

  testing::internal::CaptureStdout();
  const SessionStatus status = run_session(options);
  const std::string output = testing::internal::GetCapturedStdout();

  EXPECT_EQ(status.state, FLASH_STATE_DONE);
  EXPECT_TRUE(module().flash().rebooted);
  EXPECT_EQ(command_ids().back(), SW_CMD_REBOOT);
  expect_in_order(output, {"Writing PTB\n", "Sending reboot command\n"});
}

// The transfer buffer holds 2113568 bytes: an image of exactly that size is one block, one
// byte more makes a second block of one byte behind a block header.
TEST_F(SessionFlowTest, ImagesAreCutIntoTransferBufferBlocks) {
  Firmware firmware;
  firmware.set_format(kavro_pack::Format::seven_zip_store);
  firmware.resize("kernel", 2113568);
  firmware.resize("rootfs", 2113569);
  sim::ModuleConfig config = module_config();
  config.record_traffic = false;
  start_bus({config});

  ASSERT_EQ(run_session(options_for(write_archives(firmware))).state, FLASH_STATE_DONE);

  const std::vector<std::vector<uint8_t>> wire = blocks();
  const std::vector<uint8_t>& rootfs = firmware.image("rootfs").bytes;
  // ... kernel header, kernel data, erase, rootfs header, data, block header, data, id, ptb.
  ASSERT_GE(wire.size(), 9u);
  const size_t kernel_header = wire.size() - 9;
  EXPECT_EQ(le32(wire[kernel_header], 24), 2113568u);
  EXPECT_EQ(le32(wire[kernel_header], 32), 1u);
  EXPECT_EQ(wire[kernel_header + 1], firmware.image("kernel").bytes);

  const std::vector<uint8_t>& image_header = wire[wire.size() - 6];
  EXPECT_EQ(le32(image_header, 20), 2113569u);
  EXPECT_EQ(le32(image_header, 24), 2113568u);
  EXPECT_EQ(le32(image_header, 28), 0u);
  EXPECT_EQ(le32(image_header, 32), 0u);
  EXPECT_EQ(le32(image_header, 36), crc_of({rootfs.data(), 2113568}));
  EXPECT_EQ(wire[wire.size() - 5].size(), 2113568u);
  const std::vector<uint8_t>& block_header = wire[wire.size() - 4];
  ASSERT_EQ(block_header.size(), 24u);
  EXPECT_EQ(slice(block_header, 0, 8), (std::vector<uint8_t>{0x44, 0x4D, 0x43, 0x4B, 3, 0, 0, 0}));
  EXPECT_EQ(le32(block_header, 8), 1u);
  EXPECT_EQ(le32(block_header, 12), 0u);
  EXPECT_EQ(le32(block_header, 16), 1u);
  EXPECT_EQ(le32(block_header, 20), crc_of({rootfs.data() + 2113568, 1}));
  EXPECT_EQ(wire[wire.size() - 3], std::vector<uint8_t>{rootfs.back()});
  EXPECT_EQ(module().flash().images.at("rfa").bytes, rootfs);
}

class S5lRevisionTest : public SessionFlowTest {
 protected:
  // A session on an s5l module of the given revision with the built-in base archive.
  SessionStatus run_s5l(uint32_t revision, std::optional<uint32_t> adc_reading,
                        const Clocks& clocks) {
    Firmware firmware("s5l");
    SessionOptions options;
    options.ota_file = firmware.write_ota(folder_.path() / "ota.7z").string();
    options.settings_file = write_file("settings.json", settings_json("s5l", clocks));
    sim::ModuleConfig config = module_config("1-1", "s5l");
    config.revision = revision;
    config.adc_reading = adc_reading;
    start_bus({config});
    testing::internal::CaptureStdout();
    const SessionStatus status = run_session(options);
    output_ = testing::internal::GetCapturedStdout();
    return status;
  }

  // The writes of the bring-up script: after the 13 writes of the revision probe, before the
  // download into RAM.
  std::vector<BootRomWrite> bring_up_writes() {
    std::vector<BootRomWrite> writes = boot_rom_writes(module());
    writes.erase(writes.begin(), writes.begin() + 13);
    const auto download = std::find_if(writes.begin(), writes.end(), [](const BootRomWrite& write) {
      return write.address < kRamEnd;
    });
    writes.erase(download, writes.end());
    return writes;
  }

  void expect_built_in_base(int base_number) {
    const std::filesystem::path images =
        std::filesystem::path(KAVRO_TEST_IMAGES_DIR) / ("base" + std::to_string(base_number));
    EXPECT_EQ(module().flash().images.at("msc").bytes, read_file(images / "msc.bin"));
  }

  // The byte the session wrote for the core clock into the built-in bootstrap.
  uint8_t core_clock_byte(uint32_t revision) {
    kavro_archive_t* base = nullptr;
    EXPECT_EQ(kavro_archive_init_embedded(&base, "s5l", revision), 0);
    const int64_t offset = kavro_archive_get_partition_param(&base, PART_BOOTSTRAP, 3);
    kavro_archive_destroy(&base);
    return module().flash().images.at("bst").bytes.at(static_cast<size_t>(offset) + 3);
  }

  void expect_revision_run(uint32_t revision, int base_number, uint32_t core_mhz) {
    const SessionStatus status = run_s5l(revision, std::nullopt, {core_mhz, 0, 0, 0});
    EXPECT_EQ(status.state, FLASH_STATE_DONE);
    EXPECT_NE(output_.find("SoM HW Version: " + std::to_string(revision) + "\n"),
              std::string::npos);
    const std::vector<BootRomWrite> expected = script_writes("s5l", revision);
    const std::vector<BootRomWrite> sent = bring_up_writes();
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].address, expected[i].address) << i;
      EXPECT_EQ(sent[i].value, expected[i].value) << i;
    }
    expect_built_in_base(base_number);
    EXPECT_EQ(core_clock_byte(revision), core_mhz / 12 - 1);
  }

  std::string output_;
};

// The revision selects the bring-up script, the built-in base archive (both of the same row)
// and the clock limits; the session runs at the highest core clock its row allows.
TEST_F(S5lRevisionTest, RevisionOneUsesScriptFiveBaseFiveAndItsClockLimits) {
  expect_revision_run(1, 5, 672);
}

TEST_F(S5lRevisionTest, RevisionZeroUsesScriptOneAndBaseOne) {
  expect_revision_run(0, 1, 564);
}

// The core clock that revision 1 allows is above the limit of revision 0.
TEST_F(S5lRevisionTest, RevisionZeroRefusesTheClockOfRevisionOne) {
  const SessionStatus status = run_s5l(0, std::nullopt, {672, 0, 0, 0});
  EXPECT_EQ(status.state, FLASH_STATE_FAILED);
  EXPECT_EQ(status.error, -18);
  EXPECT_EQ(status.sub_error, -12);
}

TEST_F(S5lRevisionTest, ReadingOutsideEveryWindowCountsAsRevisionZero) {
  const SessionStatus status = run_s5l(0, 1700, {0, 0, 0, 0});
  EXPECT_EQ(status.state, FLASH_STATE_DONE);
  EXPECT_NE(output_.find("Unknown SoM ADC value 1700, assuming HW version 0\n"), std::string::npos);
  EXPECT_NE(output_.find("SoM HW Version: 0\n"), std::string::npos);
  expect_built_in_base(1);
}

}  // namespace
}  // namespace flash_test
