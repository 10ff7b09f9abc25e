// The data linked into the program: each blob against the file it was built from, the layout of the
// generated placeholders, and the built-in base archives as the archive module reads them.

#include <algorithm>
#include <fstream>
#include <iterator>

#include "common/products.h"
#include "data/embedded.h"
#include "tests/firmware/firmware_test_files.h"

namespace firmware_test {
namespace {

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> bytes(std::span<const uint8_t> blob) {
  return {blob.begin(), blob.end()};
}

uint32_t word(const std::vector<uint8_t>& image, int64_t at) {
  const auto offset = static_cast<std::size_t>(at);
  return image.at(offset) | image.at(offset + 1) << 8 | image.at(offset + 2) << 16 |
         static_cast<uint32_t>(image.at(offset + 3)) << 24;
}

TEST(EmbeddedData, EveryBlobIsItsSourceFile) {
  EXPECT_EQ(bytes(embedded::flash_bootloader()), read_file(KAVRO_TEST_FLASH_BLD_FILE));
  for (int number = 1; number <= 6; ++number) {
    EXPECT_EQ(bytes(embedded::ads_script(number)),
              read_file(KAVRO_TEST_ADS_DIR "/ads" + std::to_string(number) + ".txt"));
  }
  for (int number = 1; number <= 5; ++number) {
    EXPECT_EQ(bytes(embedded::base_archive(number)),
              read_file(KAVRO_TEST_BASE_DIR "/base" + std::to_string(number) + ".7z"));
  }
  EXPECT_TRUE(embedded::ads_script(0).empty() && embedded::ads_script(7).empty());
  EXPECT_TRUE(embedded::base_archive(6).empty() && embedded::base_archive(10).empty());
  const auto pem = read_file(KAVRO_TEST_PUBLIC_KEY_FILE);
  EXPECT_EQ(embedded::publisher_public_key(), std::string(pem.begin(), pem.end()));
  EXPECT_EQ(public_key_start[pem.size()], '\0');
}

// The placeholder has the real bootloader's size and a header that says what it is.
TEST(EmbeddedData, GeneratedFlashBootloader) {
  if (!KAVRO_TEST_FLASH_BLD_PLACEHOLDER) {
    GTEST_SKIP() << "built with a real flash bootloader";
  }
  const auto image = bytes(embedded::flash_bootloader());
  ASSERT_EQ(image.size(), 154304u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()), 16),
            std::string("KAVRO-FLASH-BLD", 16));
  EXPECT_EQ(word(image, 16), 1u);  // header version
  EXPECT_EQ(word(image, 20), 154304u);
  EXPECT_STREQ(reinterpret_cast<const char*>(image.data() + 24), "1.7.0");
}

// A platform and revision select a slot; its boot chain is read from memory.
class BaseArchives : public ArchiveFiles {
 protected:
  int64_t param(int partition, uint32_t selector) {
    return kavro_archive_get_partition_param(&archive_, partition, selector);
  }

  // The generated boot chains: running PLLs, the words the tool fills in marked unset, and an empty
  // key block with an end word of 1.
  void expect_generated_layout(const std::vector<uint8_t>& bootstrap) {
    for (uint32_t clock = PARAM_COREMHZ_OFFSET; clock <= PARAM_CORTEXMHZ_OFFSET; ++clock) {
      const uint32_t multiplier = word(bootstrap, param(PART_BOOTSTRAP, clock)) >> 24;
      EXPECT_TRUE(multiplier > 0 && multiplier < 0x80) << clock;
    }
    EXPECT_EQ(word(bootstrap, param(PART_BOOTSTRAP, PARAM_BLD_SIZE_OFFSET)), 0xFFFFFFFFu);
    EXPECT_EQ(word(bootstrap, param(PART_BOOTSTRAP, PARAM_BLD_LOAD_ADDR_OFFSET)), 0xFFFFFFFFu);
    ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTLOADER), 0);
    const auto bootloader = read_entry(&archive_);
    const int64_t block = param(PART_BOOTLOADER, PARAM_PUBLIC_KEY_OFFSET);
    EXPECT_EQ(word(bootloader, block), 0x5055424Cu);
    EXPECT_EQ(word(bootloader, block + 4), 0x4B455953u);
    EXPECT_EQ(std::count(bootloader.begin() + block + 8, bootloader.begin() + block + 3080, 0),
              3072);
    EXPECT_EQ(word(bootloader, block + 3080), 1u);
  }
};

// A platform and revision select a slot; its boot chain is read from memory.
TEST_F(BaseArchives, SelectedAndRead) {
  std::vector<uint8_t> bootstraps[6];
  for (int row = 1; row <= 5; ++row) {
    SCOPED_TRACE(row);
    const product_entry& product = product_table[static_cast<std::size_t>(row)];
    ASSERT_EQ(kavro_archive_init_embedded(&archive_, product.name, product.hw_version), 0);
    EXPECT_STREQ(kavro_archive_get_platform(&archive_), product.name);
    EXPECT_EQ(kavro_archive_contains_bootloaders(&archive_), 1);
    ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP), 0);
    bootstraps[row] = read_entry(&archive_);
    if (KAVRO_TEST_BASE_GENERATED) {
      expect_generated_layout(bootstraps[row]);
    }
    kavro_archive_destroy(&archive_);
  }
  EXPECT_NE(bootstraps[1], bootstraps[5]) << "the revision tells the s5l slots apart";
  // The cv22 archive as shipped, with both boot images signed by the publisher.
  ASSERT_EQ(kavro_archive_init_embedded(&archive_, "cv22", 0), 0);
  EXPECT_STREQ(kavro_archive_get_firmware_version(&archive_), "1.7.0");
  EXPECT_EQ(kavro_archive_contains_ota_parts(&archive_), 0);
  const std::tuple<int, uint32_t, int64_t> values[] = {
      // The offsets are read as from any manifest (tests/firmware/archive_test.cpp); the ones
      // the generated bootstraps carry were used above.
      {PART_BOOTSTRAP, PARAM_SIZE, 4096},
      {PART_BOOTLOADER, PARAM_SIZE, 167232},
      {PART_BOOTLOADER, PARAM_LOAD_ADDRESS, 0},
      {PART_BOOTLOADER, PARAM_PUBLIC_KEY_OFFSET, 163424},
      {PART_MISC, PARAM_SIZE, 48},
      {PART_MISC, PARAM_SIGNED, 0},
  };
  for (const auto& [partition, selector, value] : values) {
    EXPECT_EQ(param(partition, selector), value) << partition << "/" << selector;
  }
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(kavro_archive_verify_signature(&archive_, PART_BOOTSTRAP), 0);
  EXPECT_EQ(kavro_archive_verify_signature(&archive_, PART_BOOTLOADER), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Signature verification passed for bst.bin\n"
            "Signature verification passed for bld.bin\n");
}

}  // namespace
}  // namespace firmware_test
