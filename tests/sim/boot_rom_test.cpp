// The boot ROM of a simulated module in hardware mode: descriptors, register requests, the DRAM
// controller's busy period, the revision ADC, and the bootloader download and jump.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "sim/hex.h"
#include "sim/virtual_bus.h"
#include "tests/sim/sim_test_support.h"

namespace {

using namespace simtest;
using sim::Mode;

std::string sha256_hex(std::span<const uint8_t> bytes) {
  std::array<uint8_t, 32> digest{};
  unsigned length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return sim::to_hex(digest);
}

std::vector<uint8_t> read_descriptor(usb::Device& device, uint16_t length = 18) {
  std::vector<uint8_t> data(length);
  const int result = device.control({0x80, 6, 0x0100, 0, length}, data, 1000);
  data.resize(result > 0 ? static_cast<size_t>(result) : 0);
  return data;
}

TEST(BootRomDescriptor, CarriesVendorAndPlatformProductId) {
  sim::VirtualBus bus(
      {quick_module("1-1", "cv22"), quick_module("1-2", "s5l"), quick_module("1-3", "cv28")});
  const std::vector<uint8_t> expected_pids = {0x13, 0x10, 0x17};
  const char* ports[] = {"1-1", "1-2", "1-3"};
  for (size_t i = 0; i < 3; ++i) {
    auto device = open_port(bus, ports[i]);
    ASSERT_NE(device, nullptr);
    const std::vector<uint8_t> descriptor = read_descriptor(*device);
    ASSERT_EQ(descriptor.size(), 18u);
    EXPECT_EQ(descriptor[0], 18);
    EXPECT_EQ(descriptor[1], 1);
    EXPECT_EQ(descriptor[8], 0x55);
    EXPECT_EQ(descriptor[9], 0x42);
    EXPECT_EQ(descriptor[10], expected_pids[i]);
    EXPECT_EQ(descriptor[11], 0x00);
    EXPECT_EQ(descriptor[17], 1);
  }
}

TEST(BootRomDescriptor, ShortRequestGetsTheFirstBytesAndOtherDescriptorsStall) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  EXPECT_EQ(read_descriptor(*device, 8).size(), 8u);
  std::vector<uint8_t> data(9);
  EXPECT_EQ(device->control({0x80, 6, 0x0200, 0, 9}, data, 1000), usb::kError);
}

TEST(BootRomRegisters, WriteGoesOutAsSpecifiedAndReadsBack) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  EXPECT_EQ(read_register(*device, 0xEC1700DC), 0u);  // unwritten
  ASSERT_EQ(write_register(*device, 0xEC1700DC, 0x45100000), 12);
  EXPECT_EQ(read_register(*device, 0xEC1700DC), 0x45100000u);
  EXPECT_EQ(bus.module("1-1").peek(0xEC1700DC), 0x45100000u);

  const auto log = bus.module("1-1").control_log();
  ASSERT_EQ(log.size(), 3u);
  const std::array<uint8_t, 12> written{0x00, 0x00, 0x00, 0x30, 0xDC, 0x00,
                                        0x17, 0xEC, 0x00, 0x00, 0x10, 0x45};
  EXPECT_EQ(log[1].setup.bmRequestType, 0x40);
  EXPECT_EQ(log[1].length, 12);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), log[1].data.begin()));
  EXPECT_EQ(log[2].setup.wValue, 0xEC17);
  EXPECT_EQ(log[2].setup.wIndex, 0x00DC);
  EXPECT_EQ(log[2].result, 4);
}

TEST(BootRomRegisters, MalformedRequestsStall) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  auto block = write_block(0x30000000, 0x1000, 1);
  std::array<uint8_t, 8> short_data{};
  std::array<uint8_t, 4> word{};
  std::array<uint8_t, 8> long_word{};
  // Wrong length, wrong request number, wrong value/index fields, data stage not matching.
  EXPECT_EQ(device->control({0x40, 0, 0, 0, 8}, short_data, 1000), usb::kError);
  EXPECT_EQ(device->control({0x40, 1, 0, 0, 12}, block, 1000), usb::kError);
  EXPECT_EQ(device->control({0x40, 0, 1, 0, 12}, block, 1000), usb::kError);
  EXPECT_EQ(device->control({0x40, 0, 0, 0, 12}, std::span(block).first(11), 1000), usb::kError);
  EXPECT_EQ(device->control({0xC0, 0, 0, 0x1000, 8}, long_word, 1000), usb::kError);
  EXPECT_EQ(device->control({0xC0, 1, 0, 0x1000, 4}, word, 1000), usb::kError);
  // Unknown opcode, unaligned address, jump with a value word.
  auto unknown = write_block(0x30000001, 0x1000, 1);
  EXPECT_EQ(device->control({0x40, 0, 0, 0, 12}, unknown, 1000), usb::kError);
  EXPECT_EQ(write_register(*device, 0x1002, 1), usb::kError);
  EXPECT_EQ(read_register(*device, 0x1001), std::nullopt);
  auto bad_jump = write_block(0x00010000, 0, 1);
  EXPECT_EQ(device->control({0x40, 0, 0, 0, 12}, bad_jump, 1000), usb::kError);
  // Nothing was written by any of them.
  EXPECT_EQ(bus.module("1-1").peek(0x1000), 0u);
}

TEST(BootRomRegisters, BulkEndpointsAbsentInHardwareMode) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  EXPECT_TRUE(device->endpoints().empty());
  std::vector<uint8_t> block = ptb_write();
  size_t moved = 99;
  EXPECT_EQ(device->bulk(0x01, block, 100, moved), usb::kError);
  EXPECT_EQ(moved, 0u);
}

// Reads the way the host's poll does: while every masked bit is set, up to `limit` reads.
int poll_reads(usb::Device& device, uint32_t address, uint32_t mask, int limit) {
  for (int reads = 1; reads <= limit; ++reads) {
    const auto value = read_register(device, address);
    if (!value) {
      return -1;
    }
    if ((*value & mask) != mask) {
      return reads;
    }
  }
  return 0;
}

TEST(BootRomDram, StatusBusyForAFewReadsAfterAControllerWrite) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  EXPECT_EQ(read_register(*device, 0xDFFE0818), 0u);  // idle before bring-up
  ASSERT_EQ(write_register(*device, 0xDFFE0800, 0x60000004), 12);
  EXPECT_EQ(read_register(*device, 0xDFFE0818), 0xFFFFFFFFu);
  EXPECT_EQ(poll_reads(*device, 0xDFFE0818, 0x80000000, 1000), sim::kDramBusyReads);
  EXPECT_EQ(read_register(*device, 0xDFFE0818), 0u);
}

TEST(BootRomDram, PollNeverReadyKeepsEveryStatusBitSet) {
  sim::ModuleConfig config = quick_module();
  config.faults.push_back({.kind = sim::Fault::Kind::PollNeverReady});
  sim::VirtualBus bus({config});
  auto device = open_port(bus, "1-1");
  EXPECT_EQ(poll_reads(*device, 0xDFFE0818, 0x80000000, 1000), 0);
  ASSERT_EQ(write_register(*device, 0xDFFE0800, 1), 12);
  EXPECT_EQ(poll_reads(*device, 0xDFFE0918, 0x1, 1000), 0);
}

// The revision probe's register sequence for "s5l"; returns the reading, or nothing when the
// done bit did not come within `status_reads`.
std::optional<uint32_t> probe_adc(usb::Device& device, int status_reads = 100) {
  const auto write = [&](uint32_t address, uint32_t value) {
    return write_register(device, address, value) == 12;
  };
  const auto read_modify_write = [&](uint32_t address, uint32_t bits) {
    const auto value = read_register(device, address);
    return value && write(address, *value | bits);
  };
  if (!write(0xEC170198, 0) || !write(0xEC17009C, 0x10002) || !write(0xEC17009C, 0x2) ||
      !read_modify_write(0xE801D004, 0x1) || !read_modify_write(0xE801D004, 0x6) ||
      !write(0xE801D00C, 0) || !write(0xE801D100, 0xF) || !write(0xE801D010, 79)) {
    return std::nullopt;
  }
  for (uint32_t channel = 0; channel < 4; ++channel) {
    if (!write(0xE801D150 + 4 * channel, 0)) {
      return std::nullopt;
    }
  }
  if (!read_modify_write(0xE801D004, 0x8)) {
    return std::nullopt;
  }
  for (int i = 0; i < status_reads; ++i) {
    const auto status = read_register(device, 0xE801D000);
    if (status && (*status & 1) != 0) {
      return read_register(device, 0xE801D15C);
    }
  }
  return std::nullopt;
}

TEST(BootRomAdc, ReadingFollowsRevisionOrConfiguredValue) {
  sim::ModuleConfig rev0 = quick_module("1-1", "s5l");
  sim::ModuleConfig rev1 = quick_module("1-2", "s5l");
  rev1.revision = 1;
  sim::ModuleConfig fixed = quick_module("1-3", "s5l");
  fixed.adc_reading = 3426;
  sim::VirtualBus bus({rev0, rev1, fixed});
  for (const auto& [port, reading] :
       {std::pair{"1-1", 2048u}, std::pair{"1-2", 1315u}, std::pair{"1-3", 3426u}}) {
    auto device = open_port(bus, port);
    EXPECT_EQ(probe_adc(*device), reading) << port;
  }
}

TEST(BootRomAdc, DoneBitOnlyAfterTheStartBitAndClearsStart) {
  sim::VirtualBus bus({quick_module("1-1", "s5l")});
  auto device = open_port(bus, "1-1");
  EXPECT_EQ(read_register(*device, 0xE801D000), 0u);
  ASSERT_TRUE(probe_adc(*device).has_value());
  EXPECT_EQ(read_register(*device, 0xE801D000), 1u);
  EXPECT_EQ(*read_register(*device, 0xE801D004) & 0x8, 0u);
}

TEST(BootRomAdc, ConversionWithoutPowerOrChannelNeverFinishes) {
  sim::VirtualBus bus({quick_module("1-1", "s5l")});
  auto device = open_port(bus, "1-1");
  ASSERT_EQ(write_register(*device, 0xE801D100, 0xF), 12);
  ASSERT_EQ(write_register(*device, 0xE801D004, 0x8), 12);  // started without power
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(read_register(*device, 0xE801D000), 0u);
  }
  ASSERT_EQ(write_register(*device, 0xE801D100, 0x7), 12);  // channel 3 not selected
  ASSERT_EQ(write_register(*device, 0xE801D004, 0xF), 12);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(read_register(*device, 0xE801D000), 0u);
  }
}

TEST(BootRomAdc, NeverDoneFault) {
  sim::ModuleConfig config = quick_module("1-1", "s5l");
  config.faults.push_back({.kind = sim::Fault::Kind::AdcNeverDone});
  sim::VirtualBus bus({config});
  auto device = open_port(bus, "1-1");
  EXPECT_EQ(probe_adc(*device, 1000), std::nullopt);
}

TEST(BootRomJump, CompleteDownloadReturnsInSoftwareModeOnTheSamePort) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  const std::vector<uint8_t> image = bootloader_image(64);
  download(*device, image);
  EXPECT_EQ(jump(*device, 0), 12);

  ASSERT_TRUE(wait_for_mode(bus, "1-1", Mode::Software));
  const auto devices = bus.list(kVid);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].pid, 0x4250);
  EXPECT_EQ(devices[0].device_path, "1-1");
  EXPECT_EQ(bus.module("1-1").arrivals(), 2u);

  // The hardware-mode handle went with the old enumeration.
  EXPECT_EQ(read_register(*device, 0), std::nullopt);
  auto software = bus.open(devices[0]);
  ASSERT_NE(software, nullptr);
  EXPECT_EQ(software->endpoints(), (std::vector<uint8_t>{0x01, 0x81}));
  const std::vector<uint8_t> descriptor = read_descriptor(*software);
  ASSERT_EQ(descriptor.size(), 18u);
  EXPECT_EQ(descriptor[10], 0x50);
  EXPECT_EQ(descriptor[11], 0x42);
  // The boot ROM protocol is gone with the boot ROM.
  EXPECT_EQ(write_register(*software, 0x1000, 1), usb::kError);

  const sim::FlashContents flash = bus.module("1-1").flash();
  EXPECT_EQ(flash.bootloader.bytes, 64u);
  EXPECT_EQ(flash.bootloader.sha256, sha256_hex(image));
}

TEST(BootRomJump, IncompleteDownloadDoesNothing) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  std::vector<uint8_t> image = bootloader_image(64);
  download(*device, std::span(image).first(60));
  EXPECT_EQ(jump(*device, 0), 12);
  EXPECT_EQ(bus.module("1-1").presence().mode, Mode::Hardware);
  EXPECT_TRUE(bus.module("1-1").presence().attached);
  EXPECT_EQ(read_register(*device, 0), 0xB1u | (0xB8u << 8) | (0xBFu << 16) | (0xC6u << 24));
  EXPECT_EQ(bus.module("1-1").downloaded_bootloader().bytes, 60u);
}

TEST(BootRomJump, GapOrOversizeOrOtherEntryDoesNothing) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  for (uint32_t address = 4; address < 64; address += 4) {
    ASSERT_EQ(write_register(*device, address, address), 12);  // word 0 missing
  }
  EXPECT_EQ(jump(*device, 0), 12);
  EXPECT_EQ(bus.module("1-1").downloaded_bootloader().bytes, 0u);

  const std::vector<uint8_t> image = bootloader_image(68);
  download(*device, image);  // one word more than the module's bootloader
  EXPECT_EQ(jump(*device, 0), 12);
  EXPECT_EQ(bus.module("1-1").downloaded_bootloader().bytes, 68u);
  EXPECT_EQ(bus.module("1-1").presence().mode, Mode::Hardware);

  bus.replug("1-1");
  device = open_port(bus, "1-1");
  download(*device, std::span(image).first(64));
  EXPECT_EQ(jump(*device, 4), 12);
  EXPECT_EQ(bus.module("1-1").presence().mode, Mode::Hardware);
  EXPECT_TRUE(read_register(*device, 4).has_value());
}

TEST(BootRomJump, ConfiguredDigestMustMatch) {
  const std::vector<uint8_t> image = bootloader_image(64);
  sim::ModuleConfig config = quick_module();
  config.bootloader_sha256 = sha256_hex(image);
  sim::VirtualBus bus({config});
  auto device = open_port(bus, "1-1");
  std::vector<uint8_t> wrong = image;
  wrong[17] ^= 1;
  download(*device, wrong);
  EXPECT_EQ(jump(*device, 0), 12);
  EXPECT_EQ(bus.module("1-1").presence().mode, Mode::Hardware);
  download(*device, image);
  EXPECT_EQ(jump(*device, 0), 12);
  EXPECT_TRUE(wait_for_mode(bus, "1-1", Mode::Software));
}

TEST(BootRomJump, NoReturnFaultLeavesTheBusForGood) {
  sim::ModuleConfig config = quick_module();
  config.faults.push_back({.kind = sim::Fault::Kind::NoReturn});
  sim::VirtualBus bus({config});
  auto device = open_port(bus, "1-1");
  download(*device, bootloader_image(64));
  EXPECT_EQ(jump(*device, 0), 12);
  EXPECT_FALSE(bus.module("1-1").presence().attached);

  // A return would have been due at once; the watcher's first call is queued behind it.
  std::mutex mutex;
  std::condition_variable called;
  bool notified = false;
  bus.watch([&] {
    std::lock_guard lock(mutex);
    notified = true;
    called.notify_all();
  });
  std::unique_lock lock(mutex);
  ASSERT_TRUE(called.wait_for(lock, kWait, [&] { return notified; }));
  lock.unlock();
  bus.watch({});
  EXPECT_FALSE(bus.module("1-1").presence().attached);
  EXPECT_TRUE(bus.list(kVid).empty());
}

TEST(BootRomJump, ReplugStartsAFreshBootRom) {
  sim::VirtualBus bus({quick_module()});
  auto device = open_port(bus, "1-1");
  ASSERT_EQ(write_register(*device, 0x2000, 7), 12);
  bus.replug("1-1");
  EXPECT_EQ(read_register(*device, 0x2000), std::nullopt);  // old handle is stale
  device = open_port(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(read_register(*device, 0x2000), 0u);
}

}  // namespace
