#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "firmware/archive.h"
#include "firmware/image_patching.h"
#include "tests/firmware/image_patching_fixture.h"

namespace param_update_test {
namespace {

constexpr std::size_t BLOCK = 4100;  // public_key_offset of the default spec
constexpr std::size_t BLD_SIZE = 8192;

class KeyBlockPatch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  }

  void SetUp() override { archive_ = open_base_archive(folder_, {}); }

  int patch(std::vector<uint8_t>& image, const std::vector<std::size_t>& cuts, const uint8_t* key) {
    return patch_in_pieces(archive_.get(), nullptr, 0, PART_BOOTLOADER, key, image, cuts);
  }

  // The shipped image with the block as the patch must leave it.
  std::vector<uint8_t> expected_image(const std::vector<uint8_t>& key) const {
    std::vector<uint8_t> image = shipped_;
    const uint8_t magic[] = {0x4C, 0x42, 0x55, 0x50, 0x53, 0x59, 0x45, 0x4B};
    std::copy(std::begin(magic), std::end(magic), image.begin() + BLOCK);
    for (std::size_t slot = 0; slot < 6; ++slot) {
      const auto slot_start = image.begin() + BLOCK + 8 + slot * SECURE_BOOT_KEY_SIZE;
      if (slot < 4) {
        std::copy(key.begin(), key.end(), slot_start);
      } else {
        std::fill_n(slot_start, SECURE_BOOT_KEY_SIZE, uint8_t{0});
      }
    }
    std::fill_n(image.begin() + BLOCK + 3080, 4, uint8_t{0});
    return image;
  }

  test_support::TempDirectory folder_;
  ArchivePtr archive_;
  const std::vector<uint8_t> key_ = test_public_key();
  const std::vector<uint8_t> shipped_ = patterned_image(BLD_SIZE, 2);
  std::vector<uint8_t> image_ = shipped_;
};

TEST_F(KeyBlockPatch, OneBufferReceivesTheWholeBlock) {
  ASSERT_EQ(patch(image_, {}, key_.data()), 0);
  EXPECT_EQ(image_, expected_image(key_));
  EXPECT_EQ(load_le32(image_, BLOCK), 0x5055424Cu);
  EXPECT_EQ(load_le32(image_, BLOCK + 4), 0x4B455953u);
}

TEST_F(KeyBlockPatch, WithoutAKeyTheSlotsAreZeroAndTheMagicIsStillWritten) {
  const std::vector<uint8_t> zeros(SECURE_BOOT_KEY_SIZE, 0);
  std::vector<uint8_t> zero_key_image = shipped_;
  ASSERT_EQ(patch(zero_key_image, {}, zeros.data()), 0);
  EXPECT_EQ(zero_key_image, expected_image(zeros));
  ASSERT_EQ(patch(image_, {}, nullptr), 0);
  EXPECT_EQ(image_, zero_key_image);
}

TEST_F(KeyBlockPatch, BlockSplitOverTwoBuffers) {
  // The first 100 bytes of the block end the first buffer.
  ASSERT_EQ(patch(image_, {BLOCK + 100}, key_.data()), 0);
  EXPECT_EQ(image_, expected_image(key_));
}

TEST_F(KeyBlockPatch, BlockSplitOverThreeBuffers) {
  // The middle buffer lies wholly inside the block.
  ASSERT_EQ(patch(image_, {BLOCK + 6, BLOCK + 2000}, key_.data()), 0);
  EXPECT_EQ(image_, expected_image(key_));
}

TEST_F(KeyBlockPatch, AnyBufferSizeGivesTheSameImage) {
  const std::vector<uint8_t> expected = expected_image(key_);
  for (const std::size_t piece : {1u, 3u, 7u, 100u, 512u, 3084u, 4096u, 5000u}) {
    SCOPED_TRACE(piece);
    std::vector<uint8_t> image = shipped_;
    std::vector<std::size_t> cuts;
    for (std::size_t cut = piece; cut < image.size(); cut += piece) {
      cuts.push_back(cut);
    }
    ASSERT_EQ(patch(image, cuts, key_.data()), 0);
    EXPECT_EQ(image, expected);
  }
}

TEST_F(KeyBlockPatch, BuffersBesideTheBlockAreUntouched) {
  std::vector<uint8_t> before(shipped_.begin(), shipped_.begin() + BLOCK);
  const std::vector<uint8_t> before_copy = before;
  EXPECT_EQ(
      kavro_param_update_firmware_block(archive_.get(), nullptr, 0, PART_BOOTLOADER, key_.data(), 0,
                                        before.data(), static_cast<int64_t>(before.size())),
      0);
  EXPECT_EQ(before, before_copy);

  std::vector<uint8_t> after(shipped_.begin() + BLOCK + KEY_BLOCK_SIZE, shipped_.end());
  const std::vector<uint8_t> after_copy = after;
  EXPECT_EQ(
      kavro_param_update_firmware_block(archive_.get(), nullptr, 0, PART_BOOTLOADER, key_.data(),
                                        static_cast<int64_t>(BLOCK + KEY_BLOCK_SIZE), after.data(),
                                        static_cast<int64_t>(after.size())),
      0);
  EXPECT_EQ(after, after_copy);
}

TEST_F(KeyBlockPatch, OtherPartitionsPassThroughUnchanged) {
  for (const int partition :
       {0, PART_OSLOADER, PART_META, PART_MISC, PART_KERNEL, PART_ROOTFS, 8, 15, 16, -1}) {
    SCOPED_TRACE(partition);
    EXPECT_EQ(kavro_param_update_firmware_block(nullptr, nullptr, 7, partition, nullptr, 0,
                                                image_.data(), static_cast<int64_t>(image_.size())),
              0);
    EXPECT_EQ(image_, shipped_);
  }
}

TEST_F(KeyBlockPatch, MissingOrBadKeyOffsetFailsForEveryBuffer) {
  // The archive refuses a bootloader without "public_key_offset", so only values below 1
  // and a missing bootloader reach the patch.
  for (const int64_t offset : {0, -8}) {
    BaseArchiveSpec spec;
    spec.public_key_offset = offset;
    test_support::TempDirectory folder;
    auto archive = open_base_archive(folder, spec);
    EXPECT_EQ(patch_in_pieces(archive.get(), nullptr, 0, PART_BOOTLOADER, key_.data(), image_, {}),
              PARAM_UPDATE_PUBLIC_KEY_OFFSET);
    EXPECT_EQ(image_, shipped_);
  }
  BaseArchiveSpec no_bootloader;
  no_bootloader.with_bootloader = false;
  auto archive = open_base_archive(folder_, no_bootloader);
  EXPECT_EQ(patch_in_pieces(archive.get(), nullptr, 0, PART_BOOTLOADER, key_.data(), image_, {}),
            PARAM_UPDATE_PUBLIC_KEY_OFFSET);
  EXPECT_EQ(patch_in_pieces(nullptr, nullptr, 0, PART_BOOTLOADER, key_.data(), image_, {}),
            PARAM_UPDATE_PUBLIC_KEY_OFFSET);
}

TEST_F(KeyBlockPatch, UnusableBufferArgumentsAreRefused) {
  for (const int partition : {PART_BOOTSTRAP, PART_BOOTLOADER}) {
    SCOPED_TRACE(partition);
    EXPECT_EQ(kavro_param_update_firmware_block(archive_.get(), nullptr, 0, partition, key_.data(),
                                                BLOCK, nullptr, 16),
              PARAM_UPDATE_INVALID_BUFFER);
    EXPECT_EQ(kavro_param_update_firmware_block(archive_.get(), nullptr, 0, partition, key_.data(),
                                                0, image_.data(), -1),
              PARAM_UPDATE_INVALID_BUFFER);
    EXPECT_EQ(kavro_param_update_firmware_block(archive_.get(), nullptr, 0, partition, key_.data(),
                                                -4, image_.data(), 16),
              PARAM_UPDATE_INVALID_BUFFER);
    EXPECT_EQ(kavro_param_update_firmware_block(archive_.get(), nullptr, 0, partition, key_.data(),
                                                INT64_MAX, image_.data(), 16),
              PARAM_UPDATE_INVALID_BUFFER);
    EXPECT_EQ(image_, shipped_);
  }
  // An empty buffer has nothing to patch, wherever it lies.
  for (const std::size_t offset : {BLOCK - 1, BLOCK, BLOCK + 1, BLOCK + KEY_BLOCK_SIZE - 1}) {
    EXPECT_EQ(
        kavro_param_update_firmware_block(archive_.get(), nullptr, 0, PART_BOOTLOADER, key_.data(),
                                          static_cast<int64_t>(offset), nullptr, 0),
        0)
        << offset;
  }
}

TEST_F(KeyBlockPatch, EmbeddedCv22BootloaderCarriesTheShippedBlockAtItsOffset) {
  kavro_archive_t* raw = nullptr;
  ASSERT_EQ(kavro_archive_init_embedded(&raw, "cv22", 0), 0);
  ArchivePtr archive(raw);
  ASSERT_EQ(kavro_archive_extract_setup(&raw, PART_BOOTLOADER), 0);
  std::vector<uint8_t> image;
  for (;;) {
    const void* block = nullptr;
    size_t size = 0;
    int64_t offset = 0;
    ASSERT_EQ(kavro_archive_extract_block(&raw, &block, &size, &offset), 0);
    if (size == 0) {
      break;
    }
    ASSERT_EQ(offset, static_cast<int64_t>(image.size()));
    const auto* bytes = static_cast<const uint8_t*>(block);
    image.insert(image.end(), bytes, bytes + size);
  }
  ASSERT_EQ(image.size(), 167232u);
  constexpr std::size_t SHIPPED_BLOCK = 163424;
  EXPECT_EQ(load_le32(image, SHIPPED_BLOCK), 0x5055424Cu);
  EXPECT_EQ(load_le32(image, SHIPPED_BLOCK + 4), 0x4B455953u);
  EXPECT_TRUE(std::all_of(image.begin() + SHIPPED_BLOCK + 8, image.begin() + SHIPPED_BLOCK + 3080,
                          [](uint8_t byte) { return byte == 0; }));
  EXPECT_EQ(load_le32(image, SHIPPED_BLOCK + 3080), 1u);

  std::vector<uint8_t> patched = image;
  ASSERT_EQ(patch_in_pieces(archive.get(), nullptr, 0, PART_BOOTLOADER, key_.data(), patched,
                            {65536, 131072}),
            0);
  EXPECT_EQ(load_le32(patched, SHIPPED_BLOCK + 3080), 0u);
  EXPECT_TRUE(std::equal(key_.begin(), key_.end(), patched.begin() + SHIPPED_BLOCK + 8));
  EXPECT_TRUE(std::equal(key_.begin(), key_.end(), patched.begin() + SHIPPED_BLOCK + 1544));
  EXPECT_TRUE(std::equal(patched.begin(), patched.begin() + SHIPPED_BLOCK, image.begin()));
}

}  // namespace
}  // namespace param_update_test
