// Patching bootstrap and bootloader buffers on their way to the module: the fields each patch
// writes, per image kind, and the codes of the patches refused.

#include "firmware/image_patching.h"

#include <algorithm>
#include <climits>

#include "firmware/settings.h"
#include "tests/firmware/firmware_test_files.h"

namespace firmware_test {
namespace {

// Locations in the standard bootstrap (clock multipliers are the top byte of their word) and
// bootloader.
constexpr std::size_t CORE = 2191, IDSP = 2195, DRAM = 2203, CORTEX = 2187;
constexpr std::size_t BLD_SIZE = 3196, BLD_LOAD = 3188, KEY_BLOCK = 4100;

struct Clocks {
  uint32_t core = 0, idsp = 0, dram = 0, cortex = 0;
};

class ImagePatching : public ArchiveFiles {
 protected:
  // Patches `image` as a session does, one call per `piece` bytes (the whole image for 0); the
  // first result that is not 0, or 0. Clocks of 0 stand for no settings at all.
  int patch(int partition, std::vector<uint8_t>& image, Clocks clocks, uint32_t revision = 0,
            std::size_t piece = 0, const uint8_t* key = nullptr) {
    kavro_settings settings{};
    settings.core_mhz = clocks.core;
    settings.idsp_mhz = clocks.idsp;
    settings.dram_mhz = clocks.dram;
    settings.cortex_mhz = clocks.cortex;
    const bool unset = clocks.core == 0 && clocks.idsp == 0 && clocks.dram == 0 && !clocks.cortex;
    const std::size_t step = piece == 0 ? image.size() : piece;
    for (std::size_t start = 0; start < image.size(); start += step) {
      const int result = kavro_param_update_firmware_block(
          archive_, unset ? nullptr : &settings, revision, partition, key,
          static_cast<int64_t>(start), image.data() + start,
          static_cast<int64_t>(std::min(step, image.size() - start)));
      if (result != 0) {
        return result;
      }
    }
    return 0;
  }
};

struct BootstrapRow {
  const char* platform;
  uint32_t revision;
  Clocks clocks;
  std::size_t piece;
  std::vector<std::pair<std::size_t, uint8_t>> multipliers;  // (location, byte written)
};

TEST_F(ImagePatching, BootstrapFields) {
  const BootstrapRow rows[] = {
      {"cv22", 0, {792, 600, 1000, 1008}, 0, {{CORE, 32}, {IDSP, 49}, {DRAM, 40}, {CORTEX, 41}}},
      {"cv22", 0, {792, 600, 1000, 1008}, 4, {{CORE, 32}, {IDSP, 49}, {DRAM, 40}, {CORTEX, 41}}},
      {"cv22", 0, {}, 0, {}},
      {"cv22", 0, {0x80000000u, 0xFFFFFFFFu}, 0, {}},  // beyond int32: not set
      {"cv22", 0, {24, 12}, 0, {{CORE, 0}, {IDSP, 0}}},
      {"cv22", 0, {792}, 2201, {{CORE, 32}}},  // the DRAM word is split, but not asked for
      {"cv22-lite", 0, {792}, 0, {{CORE, 32}}},
      {"s5l", 0, {564}, 0, {{CORE, 46}}},
      {"s5l", 1, {672}, 0, {{CORE, 55}}},
      {"software", 0, {}, 0, {}},
  };
  for (const BootstrapRow& row : rows) {
    ASSERT_EQ(open(standard_entries({{"cv22", row.platform}})), 0);
    std::vector<uint8_t> image = standard_image("bst.bin");
    std::vector<uint8_t> expected = image;
    // The bootloader's size and load address, little-endian, whatever the clocks.
    std::copy_n("\x00\x20\x00\x00", 4, expected.begin() + BLD_SIZE);
    std::copy_n("\x04\x03\x02\x01", 4, expected.begin() + BLD_LOAD);
    for (const auto& [location, multiplier] : row.multipliers) {
      expected[location] = multiplier;
    }
    EXPECT_EQ(patch(PART_BOOTSTRAP, image, row.clocks, row.revision, row.piece), 0);
    EXPECT_EQ(image, expected) << row.platform << " " << row.clocks.core;
  }
}

struct RefusalRow {
  int partition;
  std::string_view from, to;  // manifest edit
  uint32_t revision;
  Clocks clocks;
  std::size_t piece;
  int code;
};

TEST_F(ImagePatching, Refusals) {
  constexpr int B = PART_BOOTSTRAP;
  const RefusalRow rows[] = {
      {B, "", "", 0, {793}, 0, PARAM_UPDATE_CLOCK_OUT_OF_RANGE},
      {B, "", "", 0, {0, 793}, 0, PARAM_UPDATE_CLOCK_OUT_OF_RANGE},
      {B, "", "", 0, {0, 0, 1801}, 0, PARAM_UPDATE_CLOCK_OUT_OF_RANGE},
      {B, "", "", 0, {0, 0, 0, 1009}, 0, PARAM_UPDATE_CLOCK_OUT_OF_RANGE},
      // Below one step the multiplier would wrap to 255, the fastest setting of all.
      {B, "", "", 0, {23}, 0, PARAM_UPDATE_CLOCK_OUT_OF_RANGE},
      {B, "cv22", "software", 0, {0, 0, 0, 1}, 0, PARAM_UPDATE_CLOCK_OUT_OF_RANGE},
      {B, "cv22", "s5l", 0, {672}, 0, PARAM_UPDATE_CLOCK_OUT_OF_RANGE},
      {B, "cv22", "s5l", 2, {}, 0, PARAM_UPDATE_NO_PLL_CONFIG},
      {B, "", "", 1, {}, 0, PARAM_UPDATE_NO_PLL_CONFIG},
      {B, "cv22", "cv2", 0, {}, 0, PARAM_UPDATE_NO_PLL_CONFIG},
      {B, "3188", "0", 0, {}, 0, PARAM_UPDATE_BLD_LOAD_ADDR_OFFSET},
      {B, "\"bootstrap\"", "\"custom_a\"", 0, {}, 0, PARAM_UPDATE_BLD_LOAD_ADDR_OFFSET},
      {B, "3196", "-4", 0, {}, 0, PARAM_UPDATE_BLD_SIZE_OFFSET},
      {B, "2188", "0", 0, {}, 0, PARAM_UPDATE_COREMHZ_OFFSET},
      {B, "2192", "0", 0, {}, 0, PARAM_UPDATE_IDSPMHZ_OFFSET},
      {B, "2200", "0", 0, {}, 0, PARAM_UPDATE_DRAMMHZ_OFFSET},
      {B, "2184", "0", 0, {}, 0, PARAM_UPDATE_CORTEXMHZ_OFFSET},
      {B, "\"bootloader\"", "\"custom_a\"", 0, {}, 0, PARAM_UPDATE_BLD_SIZE},
      {B, "16909060", "-1", 0, {}, 0, PARAM_UPDATE_BLD_LOAD_ADDRESS},
      {B, "", "", 0, {}, BLD_SIZE + 2, PARAM_UPDATE_WORD_SPLIT},
      {B, "", "", 0, {0, 0, 1584}, 2201, PARAM_UPDATE_WORD_SPLIT},
      {PART_BOOTLOADER, ": 4100", ": 0", 0, {}, 0, PARAM_UPDATE_PUBLIC_KEY_OFFSET},
      {PART_BOOTLOADER, "\"bootloader\"", "\"custom_a\"", 0, {}, 0, PARAM_UPDATE_PUBLIC_KEY_OFFSET},
  };
  const std::vector<uint8_t> key = pattern(SECURE_BOOT_KEY_SIZE, 9);
  for (const RefusalRow& row : rows) {
    ASSERT_EQ(open(standard_entries({{row.from, row.to}})), 0);
    std::vector<uint8_t> image = standard_image(row.partition == B ? "bst.bin" : "bld.bin");
    EXPECT_EQ(patch(row.partition, image, row.clocks, row.revision, row.piece, key.data()),
              row.code)
        << row.to << " " << row.revision << " " << row.piece;
  }
  // A missing PLL row is reported before a broken manifest.
  ASSERT_EQ(open(standard_entries({{"cv22", "cv28"}, {"3188", "0"}})), 0);
  std::vector<uint8_t> image = standard_image("bst.bin");
  EXPECT_EQ(patch(PART_BOOTSTRAP, image, {}, 1), PARAM_UPDATE_NO_PLL_CONFIG);
  kavro_archive_destroy(&archive_);
  EXPECT_EQ(patch(PART_BOOTSTRAP, image, {}), PARAM_UPDATE_NO_PLL_CONFIG);
  EXPECT_EQ(image, standard_image("bst.bin"));
  EXPECT_EQ(patch(PART_BOOTLOADER, image, {}, 0, 0, key.data()), PARAM_UPDATE_PUBLIC_KEY_OFFSET);
}

TEST_F(ImagePatching, KeyBlock) {
  const std::vector<uint8_t> key = pattern(SECURE_BOOT_KEY_SIZE, 9);
  // Both magic words, the key in slots 1 to 4, and zeros in slots 5 and 6 and the end word.
  const auto expected = [](const uint8_t* user_key) {
    std::vector<uint8_t> image = standard_image("bld.bin");
    const auto block = image.begin() + KEY_BLOCK;
    std::copy_n("LBUPSYEK", 8, block);
    std::fill(block + 8, block + KEY_BLOCK_SIZE, 0);
    for (int slot = 0; user_key != nullptr && slot < 4; ++slot) {
      std::copy_n(user_key, SECURE_BOOT_KEY_SIZE, block + 8 + slot * SECURE_BOOT_KEY_SIZE);
    }
    return image;
  };
  ASSERT_EQ(open(standard_entries()), 0);
  // One buffer, buffers that cut the block in two or three, buffers of every size.
  for (const std::size_t piece : {0u, 4200u, 2000u, 1u, 7u, 512u, 3084u}) {
    std::vector<uint8_t> image = standard_image("bld.bin");
    EXPECT_EQ(patch(PART_BOOTLOADER, image, {}, 0, piece, key.data()), 0);
    EXPECT_EQ(image, expected(key.data())) << piece;
  }
  std::vector<uint8_t> image = standard_image("bld.bin");
  EXPECT_EQ(patch(PART_BOOTLOADER, image, {}, 0, 0, nullptr), 0);
  EXPECT_EQ(image, expected(nullptr)) << "no key";
  // Other partitions pass through; an empty buffer overlaps nothing.
  for (const int partition : {0, PART_OSLOADER, PART_ROOTFS, 16, -1}) {
    image = standard_image("bld.bin");
    EXPECT_EQ(patch(partition, image, {}, 0, 0, key.data()), 0);
    EXPECT_EQ(image, standard_image("bld.bin")) << partition;
  }
  EXPECT_EQ(kavro_param_update_firmware_block(archive_, nullptr, 0, PART_BOOTLOADER, key.data(),
                                              KEY_BLOCK, nullptr, 0),
            0);
  // Buffers that cannot be patched.
  for (const auto& [offset, length] :
       std::initializer_list<std::pair<int64_t, int64_t>>{{0, -1}, {-4, 16}, {INT64_MAX, 16}}) {
    for (const int partition : {PART_BOOTSTRAP, PART_BOOTLOADER}) {
      EXPECT_EQ(kavro_param_update_firmware_block(archive_, nullptr, 0, partition, key.data(),
                                                  offset, image.data(), length),
                PARAM_UPDATE_INVALID_BUFFER);
    }
  }
  EXPECT_EQ(kavro_param_update_firmware_block(archive_, nullptr, 0, PART_BOOTLOADER, key.data(), 0,
                                              nullptr, 16),
            PARAM_UPDATE_INVALID_BUFFER);
}

}  // namespace
}  // namespace firmware_test
