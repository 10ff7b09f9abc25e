// The flash bootloader of a simulated module in software mode: what it accepts, what it
// refuses with which status, and what ends up in its flash.
#include <gtest/gtest.h>

#include "sim/virtual_bus.h"
#include "tests/sim/sim_test_support.h"

namespace {

using namespace simtest;

class FlashBootloaderTest : public testing::Test {
 protected:
  sim::Module& module() { return bus_.module("1-1"); }
  sim::FlashContents flash() { return module().flash(); }
  int64_t status(std::span<const uint8_t> block) { return status_of(*device_, block); }

  sim::VirtualBus bus_{{quick_module()}};
  std::unique_ptr<usb::Device> device_ = boot_to_software(bus_, "1-1");
};

class LaidOutTest : public FlashBootloaderTest {
 protected:
  void SetUp() override {
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(status(partition_details(1, 1 << 20, 4 << 20, {{"app", 1 << 20}})), 0);
  }
};

TEST_F(FlashBootloaderTest, ResponseIsSignatureStatusAndEightMoreBytes) {
  ASSERT_NE(device_, nullptr);
  const Reply reply = transact(*device_, partition_details(1, 16 << 20, 256 << 20));
  ASSERT_EQ(reply.result, usb::kOk);
  const std::array<uint8_t, 8> head{0x50, 0x53, 0x52, 0x4B, 0, 0, 0, 0};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), reply.bytes.begin()));
}

TEST_F(FlashBootloaderTest, EverythingButRebootNeedsThePartitionDetailsFirst) {
  ASSERT_NE(device_, nullptr);
  const std::vector<uint8_t> image = pattern(16, 1);
  EXPECT_EQ(status(image_header("bst", 16, 16, true, crc_of(image))), 6);
  EXPECT_EQ(status(erase_partition("rfa")), 6);
  EXPECT_EQ(status(device_id(3)), 6);
  EXPECT_EQ(status(ptb_write()), 6);
  EXPECT_EQ(status(signature_block("bst", 1)), 6);
  EXPECT_EQ(status(reboot()), 0);
  const sim::FlashContents contents = flash();
  EXPECT_EQ(contents.commands, (std::vector<uint32_t>{2, 4, 7, 5, 8, 6}));
  EXPECT_TRUE(contents.images.empty());
  EXPECT_FALSE(contents.ptb_written);
  EXPECT_TRUE(contents.rebooted);
}

TEST_F(FlashBootloaderTest, BlocksWithoutTheCommandSignatureAreRefusedAndNotCommands) {
  ASSERT_NE(device_, nullptr);
  std::vector<uint8_t> block = partition_details(1, 16 << 20, 256 << 20);
  block[3] = 0x4C;
  EXPECT_EQ(status(block), 1);
  EXPECT_EQ(status(std::vector<uint8_t>{0x44, 0x4D, 0x43}), 1);  // shorter than a head
  EXPECT_TRUE(flash().commands.empty());
  EXPECT_FALSE(flash().partition_details.has_value());
  const auto log = module().block_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].kind, sim::BlockKind::Malformed);
  EXPECT_EQ(log[0].status, 1u);
}

TEST_F(FlashBootloaderTest, EveryCommandNeedsItsExactLength) {
  ASSERT_NE(device_, nullptr);
  const std::vector<std::vector<uint8_t>> blocks = {partition_details(0, 1, 1),
                                                    image_header("bst", 4, 4, true, 0),
                                                    block_header(4, true, 0),
                                                    erase_partition("rfa"),
                                                    ptb_write(),
                                                    reboot(),
                                                    device_id(1),
                                                    signature_block("bst", 0)};
  for (const std::vector<uint8_t>& block : blocks) {
    std::vector<uint8_t> longer = block;
    longer.push_back(0);
    const std::vector<uint8_t> shorter(block.begin(), block.end() - 1);
    EXPECT_EQ(status(longer), 1) << "id " << int{block[4]};
    EXPECT_EQ(status(shorter), 1) << "id " << int{block[4]};
  }
  std::vector<uint8_t> unknown = ptb_write();
  unknown[4] = 9;
  EXPECT_EQ(status(unknown), 1);
  EXPECT_FALSE(flash().partition_details.has_value());
  EXPECT_FALSE(flash().rebooted);
}

TEST_F(FlashBootloaderTest, LayoutMustFitTheFlash) {
  ASSERT_NE(device_, nullptr);
  // 4 GiB of flash: two copies of 1 GiB kernel and 1 GiB rootfs leave no room for the
  // fixed partitions; one copy of each does fit.
  EXPECT_EQ(status(partition_details(1, 1ull << 30, 1ull << 30)), 4);
  EXPECT_FALSE(flash().partition_details.has_value());
  EXPECT_EQ(status(partition_details(0, 1ull << 30, 1ull << 30, {{"big", 1ull << 30}})), 0);
  EXPECT_EQ(status(partition_details(0, 1ull << 30, 1ull << 30, {{"big", 2ull << 30}})), 4);
  EXPECT_EQ(status(partition_details(1, ~0ull, 1)), 2);  // does not even fit 64 bits
}

TEST(FlashBootloaderCapacity, ConfiguredCapacityIsTheLimit) {
  sim::ModuleConfig config = quick_module();
  config.flash_capacity = 64ull << 20;
  sim::VirtualBus bus({config});
  auto device = boot_to_software(bus, "1-1");
  ASSERT_NE(device, nullptr);
  const uint64_t fixed = sim::kBootstrapPartitionSize + sim::kBootloaderPartitionSize +
                         sim::kOsloaderPartitionSize + sim::kMiscPartitionSize +
                         sim::kMetaPartitionSize;
  const uint64_t room = (64ull << 20) - fixed;
  EXPECT_EQ(status_of(*device, partition_details(0, room / 2, room / 2 + 1)), 4);
  EXPECT_EQ(status_of(*device, partition_details(0, room / 2, room / 2)), 0);
}

TEST_F(FlashBootloaderTest, CustomPartitionEntriesAreChecked) {
  ASSERT_NE(device_, nullptr);
  std::vector<uint8_t> nine = partition_details(0, 1, 1);
  nine[28] = 9;
  EXPECT_EQ(status(nine), 1);
  EXPECT_EQ(status(partition_details(0, 1, 1, {{"app", 1}, {"app", 1}})), 3);
  EXPECT_EQ(status(partition_details(0, 1, 1, {{"", 1}})), 3);
  EXPECT_EQ(status(partition_details(0, 1, 1, {{"rfa", 1}})), 3);
  std::vector<uint8_t> stray = partition_details(0, 1, 1, {{"app", 1}});
  stray[48] = 1;  // inside entry 1, beyond the count
  EXPECT_EQ(status(stray), 1);
  std::vector<uint8_t> garbage_name = partition_details(0, 1, 1, {{"ab", 1}});
  garbage_name[36] = 'x';  // after the terminator of "ab"
  EXPECT_EQ(status(garbage_name), 1);
  EXPECT_EQ(status(partition_details(2, 1, 1)), 1);
  EXPECT_EQ(status(partition_details(0, 1, 1, {}, 2)), 1);
  EXPECT_FALSE(flash().partition_details.has_value());

  EXPECT_EQ(status(partition_details(0, 16 << 20, 1, {{"abcdefgh", 1}, {"x", 2}}, 1)), 0);
  const sim::PartitionDetails details = *flash().partition_details;
  EXPECT_EQ(details.kernel_maxsize, 16u << 20);
  ASSERT_EQ(details.custom.size(), 2u);
  EXPECT_EQ(details.custom[0].name, "abcdefgh");
  EXPECT_EQ(details.custom[1].maxsize, 2u);
  EXPECT_EQ(details.move_calib, 1u);
}

TEST_F(LaidOutTest, ImagesInSeveralBlocksAreStoredWhole) {
  const std::vector<uint8_t> kernel = pattern(10000, 3);
  EXPECT_EQ(send_image(*device_, "kna", kernel, 4096, 0x80008000), 0);
  const sim::StoredImage image = flash().images.at("kna");
  EXPECT_EQ(image.size, 10000u);
  EXPECT_EQ(image.blocks, 3u);
  EXPECT_EQ(image.load_address, 0x80008000u);
  EXPECT_TRUE(image.complete());
  EXPECT_EQ(image.bytes, kernel);
  EXPECT_EQ(flash().commands, (std::vector<uint32_t>{1, 2, 3, 3}));
}

TEST_F(LaidOutTest, WrongCrcIsRefusedAndAbandonsTheImage) {
  const std::vector<uint8_t> data = pattern(100, 9);
  EXPECT_EQ(status(image_header("bda", 200, 100, false, crc_of(data) ^ 1)), 0);
  EXPECT_EQ(status(data), 5);
  EXPECT_EQ(flash().images.at("bda").received, 0u);
  EXPECT_EQ(status(block_header(100, true, crc_of(data))), 1);
}

TEST_F(LaidOutTest, DataOfAnotherLengthThanAnnouncedIsASizeMismatch) {
  const std::vector<uint8_t> data = pattern(100, 9);
  EXPECT_EQ(status(image_header("msc", 101, 101, true, crc_of(data))), 0);
  EXPECT_EQ(status(data), 9);
  EXPECT_EQ(flash().images.at("msc").received, 0u);
}

TEST_F(LaidOutTest, DataWithoutHeaderIsNotACommand) {
  EXPECT_EQ(status(pattern(64, 2)), 1);
  EXPECT_EQ(status(block_header(64, true, 0)), 1);  // no image in progress
  const std::vector<uint8_t> data = pattern(64, 2);
  EXPECT_EQ(status(image_header("mta", 128, 64, false, crc_of(data))), 0);
  EXPECT_EQ(status(data), 0);
  EXPECT_EQ(status(data), 1);  // the second block needs its own header
  EXPECT_EQ(status(block_header(64, true, crc_of(data))), 0);
  EXPECT_EQ(status(data), 0);
  EXPECT_TRUE(flash().images.at("mta").complete());
}

TEST_F(LaidOutTest, HeaderReservedFieldsMustBeZero) {
  const std::vector<uint8_t> data = pattern(64, 4);
  std::vector<uint8_t> header = image_header("bst", 64, 64, true, crc_of(data));
  header[28] = 1;  // offset of the block within the image
  EXPECT_EQ(status(header), 1);
  header = image_header("bst", 64, 64, true, crc_of(data));
  header[49] = 1;
  EXPECT_EQ(status(header), 1);
  EXPECT_EQ(status(image_header("bst", 128, 64, false, crc_of(data))), 0);
  EXPECT_EQ(status(data), 0);
  std::vector<uint8_t> next = block_header(64, true, crc_of(data));
  next[12] = 1;
  EXPECT_EQ(status(next), 1);
}

TEST_F(LaidOutTest, EndMarkerMustSitOnTheLastBlock) {
  const std::vector<uint8_t> data = pattern(64, 4);
  EXPECT_EQ(status(image_header("bst", 128, 64, true, crc_of(data))), 1);
  EXPECT_EQ(status(image_header("bst", 64, 64, false, crc_of(data))), 1);
  std::vector<uint8_t> two = image_header("bst", 64, 64, true, crc_of(data));
  two[32] = 2;
  EXPECT_EQ(status(two), 1);
}

TEST_F(LaidOutTest, BlockSizesAreChecked) {
  EXPECT_EQ(status(image_header("bst", 64, 65, true, 0)), 2);  // beyond the image
  EXPECT_EQ(status(image_header("bst", 64, 0, false, 0)), 1);
  EXPECT_EQ(status(image_header("rfa", 3 << 20, sim::kReceiveBufferSize + 1, false, 0)), 8);
  const std::vector<uint8_t> biggest = pattern(sim::kReceiveBufferSize, 5);
  EXPECT_EQ(status(image_header("rfa", biggest.size(), biggest.size(), true, crc_of(biggest))), 0);
  EXPECT_EQ(status(biggest), 0);
}

TEST_F(LaidOutTest, ImagesMustFitTheirPartitions) {
  EXPECT_EQ(status(image_header("kna", (1 << 20) + 1, 4, false, 0)), 4);
  EXPECT_EQ(status(image_header("rfa", (4 << 20) + 1, 4, false, 0)), 4);
  EXPECT_EQ(status(image_header("bst", sim::kBootstrapPartitionSize + 1, 4, false, 0)), 4);
  EXPECT_EQ(status(image_header("bst", 0, 4, false, 0)), 4);
  EXPECT_EQ(status(image_header("app", (1 << 20) + 1, 4, false, 0)), 4);
  EXPECT_EQ(status(image_header("xyz", 4, 4, true, 0)), 1);
  EXPECT_EQ(status(image_header("", 4, 4, true, 0)), 1);
  EXPECT_TRUE(flash().images.empty());
}

TEST_F(LaidOutTest, LayoutIsFixedOnceImagesArrive) {
  EXPECT_EQ(status(partition_details(0, 1 << 20, 1 << 20)), 0);  // replaced before images
  const std::vector<uint8_t> data = pattern(32, 1);
  EXPECT_EQ(send_image(*device_, "msc", data, 32), 0);
  EXPECT_EQ(status(partition_details(1, 1 << 20, 1 << 20)), 6);
  EXPECT_EQ(flash().partition_details->ota_enabled, 0u);
}

TEST_F(LaidOutTest, OnlyTheNextBlockHeaderMayInterruptAnImage) {
  const std::vector<uint8_t> data = pattern(64, 4);
  EXPECT_EQ(status(image_header("bld", 128, 64, false, crc_of(data))), 0);
  EXPECT_EQ(status(data), 0);
  EXPECT_EQ(status(ptb_write()), 1);
  EXPECT_EQ(status(erase_partition("rfa")), 1);
  EXPECT_EQ(status(image_header("bst", 64, 64, true, crc_of(data))), 1);
  EXPECT_EQ(status(block_header(64, true, crc_of(data))), 0);
  EXPECT_EQ(status(data), 0);
}

TEST_F(LaidOutTest, SignaturesOnlyForWholeBootImagesAndOnce) {
  const std::vector<uint8_t> data = pattern(300, 4);
  EXPECT_EQ(status(signature_block("bst", 0xAA)), 1);  // not there yet
  EXPECT_EQ(status(image_header("bst", 300, 150, false, crc_of(std::span(data).first(150)))), 0);
  EXPECT_EQ(status(std::span(data).first(150)), 0);
  EXPECT_EQ(status(signature_block("bst", 0xAA)), 1);  // half of the image so far
  EXPECT_EQ(status(block_header(150, true, crc_of(std::span(data).subspan(150)))), 0);
  EXPECT_EQ(status(std::span(data).subspan(150)), 0);
  EXPECT_EQ(status(signature_block("bst", 0xAA)), 0);
  EXPECT_EQ(status(signature_block("bst", 0xAA)), 1);
  EXPECT_EQ(send_image(*device_, "bda", data, 300), 0);
  EXPECT_EQ(status(signature_block("bda", 0xAA)), 1);
  const auto signature = flash().images.at("bst").signature;
  ASSERT_TRUE(signature.has_value());
  EXPECT_EQ((*signature)[0], 0xAA);
  EXPECT_EQ((*signature)[255], 0xAA);
  EXPECT_FALSE(flash().images.at("bda").signature.has_value());
}

TEST_F(LaidOutTest, EraseForgetsThePartitionAndUnknownNamesAreRefused) {
  EXPECT_EQ(send_image(*device_, "rfa", pattern(64, 1), 64), 0);
  EXPECT_EQ(status(erase_partition("rfa")), 0);
  EXPECT_EQ(status(erase_partition("app")), 0);
  EXPECT_EQ(status(erase_partition("zzz")), 1);
  EXPECT_EQ(status(erase_partition("")), 1);
  EXPECT_FALSE(flash().images.contains("rfa"));
  EXPECT_EQ(flash().erased, (std::vector<std::string>{"rfa", "app"}));
}

TEST_F(LaidOutTest, ControlMessagesAreKept) {
  EXPECT_EQ(status(device_id(3)), 0);
  EXPECT_EQ(status(ptb_write()), 0);
  const sim::FlashContents contents = flash();
  EXPECT_EQ(contents.device_id, 3u);
  EXPECT_TRUE(contents.ptb_written);
  EXPECT_FALSE(contents.rebooted);
}

TEST_F(LaidOutTest, RebootLeavesTheBusOnceAnswered) {
  const Reply reply = transact(*device_, reboot());
  EXPECT_EQ(reply.result, usb::kOk);
  EXPECT_EQ(reply.status(), 0u);
  EXPECT_TRUE(flash().rebooted);
  EXPECT_FALSE(module().presence().attached);
  EXPECT_EQ(status(ptb_write()), -1);
}

TEST_F(LaidOutTest, ResponseMustBeReadIntoABufferThatHoldsIt) {
  std::vector<uint8_t> block = ptb_write();
  size_t moved = 0;
  ASSERT_EQ(device_->bulk(0x01, block, 1000, moved), usb::kOk);
  EXPECT_EQ(moved, 8u);
  std::array<uint8_t, 8> small{};
  EXPECT_EQ(device_->bulk(0x81, small, 1000, moved), usb::kError);
  std::array<uint8_t, 64> large{};
  EXPECT_EQ(device_->bulk(0x81, large, 1000, moved), usb::kOk);
  EXPECT_EQ(moved, 16u);
}

TEST_F(LaidOutTest, ReadWithNothingToSayTimesOut) {
  std::array<uint8_t, 16> response{};
  size_t moved = 7;
  EXPECT_EQ(device_->bulk(0x81, response, 5, moved), usb::kTimeout);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(device_->bulk(0x02, response, 5, moved), usb::kError);
}

}  // namespace
