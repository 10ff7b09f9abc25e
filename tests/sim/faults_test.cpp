// Faults and timing of simulated modules: each fires where its configuration says, and a
// module that stops answering never keeps a caller waiting beyond its time limit.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "sim/virtual_bus.h"
#include "tests/sim/sim_test_support.h"

namespace {

using namespace simtest;
using Kind = sim::Fault::Kind;

sim::ModuleConfig faulty(sim::Fault fault) {
  sim::ModuleConfig config = quick_module();
  config.faults.push_back(fault);
  return config;
}

TEST(StatusFault, AnswersTheSelectedOccurrenceOnly) {
  sim::VirtualBus bus(
      {faulty({.kind = Kind::Status, .command_id = 2, .occurrence = 2, .status = 7})});
  auto device = with_layout(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(send_image(*device, "bst", pattern(64, 1), 64), 0);
  EXPECT_EQ(send_image(*device, "bld", pattern(64, 1), 64), 7);
  EXPECT_EQ(send_image(*device, "bld", pattern(64, 1), 64), 0);
  // The refused header was received (it is a command) but not acted upon.
  EXPECT_EQ(bus.module("1-1").flash().commands, (std::vector<uint32_t>{1, 2, 2, 2}));
}

TEST(StatusFault, EveryOccurrenceAndDataBlocks) {
  sim::VirtualBus bus({faulty({.kind = Kind::Status, .command_id = sim::kDataBlock, .status = 5})});
  auto device = with_layout(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(send_image(*device, "bst", pattern(64, 1), 64), 5);
  EXPECT_EQ(send_image(*device, "bld", pattern(64, 1), 64), 5);
  EXPECT_EQ(status_of(*device, device_id(1)), 0);
  EXPECT_EQ(bus.module("1-1").flash().images.at("bst").received, 0u);
}

TEST(StatusFault, AnyBlockIncludesThePartitionDetails) {
  sim::VirtualBus bus({faulty({.kind = Kind::Status, .occurrence = 1, .status = 10})});
  auto device = boot_to_software(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(status_of(*device, partition_details(0, 1, 1)), 10);
  EXPECT_EQ(status_of(*device, partition_details(0, 1, 1)), 0);
}

TEST(BadSignatureFault, ResponseStartsWithAnotherSignature) {
  sim::VirtualBus bus({faulty({.kind = Kind::BadSignature, .command_id = 7})});
  auto device = with_layout(bus, "1-1");
  ASSERT_NE(device, nullptr);
  const Reply reply = transact(*device, device_id(4));
  ASSERT_EQ(reply.result, usb::kOk);
  EXPECT_NE(reply.signature(), 0x4B525350u);
  EXPECT_EQ(reply.status(), 0u);
  EXPECT_EQ(transact(*device, ptb_write()).signature(), 0x4B525350u);
}

TEST(ShortResponsesFault, ResponseComesInPieces) {
  sim::VirtualBus bus({faulty({.kind = Kind::ShortResponses, .piece_size = 4})});
  auto device = boot_to_software(bus, "1-1");
  ASSERT_NE(device, nullptr);
  std::vector<uint8_t> block = partition_details(0, 1, 1);
  size_t moved = 0;
  ASSERT_EQ(device->bulk(0x01, block, 1000, moved), usb::kOk);
  std::array<uint8_t, 16> response{};
  std::vector<size_t> pieces;
  for (size_t done = 0; done < response.size(); done += moved) {
    ASSERT_EQ(device->bulk(0x81, std::span(response).subspan(done), 1000, moved), usb::kOk);
    pieces.push_back(moved);
  }
  EXPECT_EQ(pieces, (std::vector<size_t>{4, 4, 4, 4}));
  EXPECT_EQ(response[0], 0x50);
  EXPECT_EQ(transact(*device, ptb_write()).status(), 0u);  // a host that gathers pieces copes
}

TEST(HangFault, CommandIsTakenButNeverAnswered) {
  sim::VirtualBus bus({faulty({.kind = Kind::Hang, .command_id = 5})});
  auto device = with_layout(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(status_of(*device, device_id(2)), 0);
  std::vector<uint8_t> block = ptb_write();
  size_t moved = 0;
  EXPECT_EQ(device->bulk(0x01, block, 20, moved), usb::kOk);
  EXPECT_EQ(moved, 8u);
  std::array<uint8_t, 16> response{};
  EXPECT_EQ(device->bulk(0x81, response, 20, moved), usb::kTimeout);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(device->bulk(0x01, block, 20, moved), usb::kTimeout);
  EXPECT_TRUE(bus.module("1-1").hung());
  EXPECT_FALSE(bus.module("1-1").block_log().back().status.has_value());
}

TEST(HangFault, AfterImageBytes) {
  sim::ModuleConfig config = faulty({.kind = Kind::Hang, .after_image_bytes = 100});
  sim::VirtualBus bus({config});
  auto device = with_layout(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(send_image(*device, "bst", pattern(64, 1), 64), 0);
  const std::vector<uint8_t> data = pattern(64, 2);
  EXPECT_EQ(status_of(*device, image_header("bld", 64, 64, true, crc_of(data))), 0);
  const Reply reply = transact(*device, data, 10);
  EXPECT_EQ(reply.result, usb::kTimeout);
  EXPECT_EQ(bus.module("1-1").flash().images.at("bld").received, 0u);
}

TEST(HangFault, AfterControlTransfersInHardwareMode) {
  sim::VirtualBus bus({faulty({.kind = Kind::Hang, .after_control_transfers = 3})});
  auto device = open_port(bus, "1-1");
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(write_register(*device, 4 * i, i), 12);
  }
  std::array<uint8_t, 4> word{};
  EXPECT_EQ(device->control({0xC0, 0, 0, 0, 4}, word, 10), usb::kTimeout);
  std::array<uint8_t, 18> descriptor{};
  EXPECT_EQ(device->control({0x80, 6, 0x0100, 0, 18}, descriptor, 10), usb::kTimeout);
  // Power-cycling brings the boot ROM back; the fault fired once and stays spent.
  bus.replug("1-1");
  device = open_port(bus, "1-1");
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(write_register(*device, 4 * i, i), 12);
  }
}

TEST(HangFault, UnplugEndsAWaitWithoutTimeLimit) {
  sim::VirtualBus bus({faulty({.kind = Kind::Hang, .command_id = 1})});
  auto device = boot_to_software(bus, "1-1");
  ASSERT_NE(device, nullptr);
  std::vector<uint8_t> block = partition_details(0, 1, 1);
  size_t moved = 0;
  ASSERT_EQ(device->bulk(0x01, block, 0, moved), usb::kOk);
  auto waiting = std::async(std::launch::async, [&] {
    std::array<uint8_t, 16> response{};
    size_t got = 0;
    return device->bulk(0x81, response, 0, got);
  });
  ASSERT_TRUE(bus.wait_until([&] { return bus.module("1-1").hung(); }, kWait));
  bus.unplug("1-1");
  EXPECT_EQ(waiting.get(), usb::kDisconnected);
}

TEST(HangFault, DestroyingTheBusEndsEveryWait) {
  auto bus = std::make_unique<sim::VirtualBus>(
      std::vector<sim::ModuleConfig>{faulty({.kind = Kind::Hang, .after_control_transfers = 1})});
  auto device = open_port(*bus, "1-1");
  ASSERT_EQ(write_register(*device, 0, 0), 12);
  auto waiting = std::async(std::launch::async, [&] { return write_register(*device, 4, 0); });
  // Wait until the transfer is inside the module, then pull the bus away under it.
  ASSERT_TRUE(bus->wait_until([&] { return bus->module("1-1").hung(); }, kWait));
  bus.reset();
  EXPECT_EQ(waiting.get(), usb::kDisconnected);
  // The handle outlives the bus and fails cleanly.
  EXPECT_EQ(read_register(*device, 0), std::nullopt);
}

TEST(Waits, ReadWithoutTimeLimitEndsWhenTheModuleLeaves) {
  sim::VirtualBus bus({quick_module()});
  auto device = boot_to_software(bus, "1-1");
  ASSERT_NE(device, nullptr);
  auto waiting = std::async(std::launch::async, [&] {
    std::array<uint8_t, 16> response{};
    size_t moved = 0;
    return device->bulk(0x81, response, 0, moved);
  });
  bus.unplug("1-1");
  EXPECT_EQ(waiting.get(), usb::kDisconnected);
}

TEST(UnplugFault, AtACommand) {
  sim::VirtualBus bus({faulty({.kind = Kind::Unplug, .command_id = 7})});
  auto device = with_layout(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(send_image(*device, "bst", pattern(64, 1), 64), 0);
  std::vector<uint8_t> block = device_id(1);
  size_t moved = 0;
  EXPECT_EQ(device->bulk(0x01, block, 1000, moved), usb::kDisconnected);
  EXPECT_FALSE(bus.module("1-1").presence().attached);
  EXPECT_TRUE(bus.list(kVid).empty());
  EXPECT_FALSE(bus.module("1-1").flash().device_id.has_value());

  // Plugged back it starts over in hardware mode; its flash kept what was written.
  bus.replug("1-1");
  EXPECT_EQ(bus.module("1-1").presence().mode, sim::Mode::Hardware);
  EXPECT_TRUE(bus.module("1-1").flash().images.at("bst").complete());
}

TEST(UnplugFault, AfterControlTransfers) {
  sim::VirtualBus bus({faulty({.kind = Kind::Unplug, .after_control_transfers = 2})});
  auto device = open_port(bus, "1-1");
  EXPECT_EQ(write_register(*device, 0, 0), 12);
  EXPECT_EQ(write_register(*device, 4, 0), 12);
  EXPECT_EQ(write_register(*device, 8, 0), usb::kDisconnected);
  EXPECT_FALSE(bus.module("1-1").presence().attached);
}

TEST(Timing, SlowFlashDelaysTheAnswerBeyondAShortTimeLimit) {
  sim::ModuleConfig config = quick_module();
  config.timing.flash_bytes_per_second = 1;  // 64 bytes take a minute
  sim::VirtualBus bus({config});
  auto device = with_layout(bus, "1-1");
  ASSERT_NE(device, nullptr);
  const std::vector<uint8_t> data = pattern(64, 2);
  EXPECT_EQ(status_of(*device, image_header("bst", 64, 64, true, crc_of(data))), 0);
  EXPECT_EQ(transact(*device, data, 5).result, usb::kTimeout);
  // The data itself was written; only the answer is late.
  EXPECT_TRUE(bus.module("1-1").flash().images.at("bst").complete());
}

// A transfer that would take longer than its time limit ends in a time-out at the limit, as
// on a real bus, instead of keeping the caller for as long as the configured speed implies.
TEST(Timing, TransferSlowerThanItsTimeLimitTimesOut) {
  sim::ModuleConfig slow_control = quick_module("1-1");
  slow_control.timing.control_latency_us = 60'000'000;
  sim::ModuleConfig slow_bulk = quick_module("1-2");
  slow_bulk.timing.bulk_bytes_per_second = 1;  // 8 bytes take 8 s
  sim::VirtualBus bus({slow_control, slow_bulk});
  std::array<uint8_t, 4> word{};
  EXPECT_EQ(open_port(bus, "1-1")->control({0xC0, 0, 0, 0, 4}, word, 5), usb::kTimeout);

  auto device = boot_to_software(bus, "1-2");
  ASSERT_NE(device, nullptr);
  std::vector<uint8_t> block = device_id(1);
  size_t moved = 0;
  EXPECT_EQ(device->bulk(0x01, block, 5, moved), usb::kTimeout);
  EXPECT_EQ(moved, 0u);
  EXPECT_TRUE(bus.module("1-2").block_log().empty());
}

TEST(Timing, LatencyAndBandwidthStillDeliver) {
  sim::ModuleConfig config = quick_module();
  config.timing.control_latency_us = 10;
  config.timing.bulk_bytes_per_second = 10'000'000;
  sim::VirtualBus bus({config});
  auto device = with_layout(bus, "1-1");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(send_image(*device, "kna", pattern(5000, 3), 1000), 0);
}

TEST(Sessions, TwoModulesOnTwoThreads) {
  sim::VirtualBus bus({quick_module("1-1"), quick_module("1-2", "cv25")});
  const auto flash_one = [&](std::string port) {
    auto device = with_layout(bus, port);
    return device ? send_image(*device, "rfa", pattern(50000, 4), 4096) : -1;
  };
  auto first = std::async(std::launch::async, flash_one, "1-1");
  auto second = std::async(std::launch::async, flash_one, "1-2");
  EXPECT_EQ(first.get(), 0);
  EXPECT_EQ(second.get(), 0);
  EXPECT_EQ(bus.module("1-2").flash().images.at("rfa").bytes, pattern(50000, 4));
}

}  // namespace
