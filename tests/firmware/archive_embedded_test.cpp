// The base archives built into the program: which slot a platform and revision select, and
// the content of the cv22 one.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "data/embedded.h"
#include "tests/firmware/archive_fixture.h"

namespace {

using archive_test::ArchiveTest;
using archive_test::read_to_end;

class EmbeddedArchiveTest : public ArchiveTest {
 protected:
  // The bootstrap image of built-in slot `slot`, read through an archive file with its bytes.
  std::vector<uint8_t> bootstrap_of_slot(int slot) {
    const auto bytes = embedded::base_archive(slot);
    const auto path = folder_.path() / ("base" + std::to_string(slot) + ".7z");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    kavro_archive_t* slot_archive = nullptr;
    EXPECT_EQ(kavro_archive_init(&slot_archive, path.c_str()), 0);
    EXPECT_EQ(kavro_archive_extract_setup(&slot_archive, PART_BOOTSTRAP), 0);
    auto image = read_to_end(&slot_archive).bytes;
    kavro_archive_destroy(&slot_archive);
    return image;
  }

  std::vector<uint8_t> bootstrap_of_open_archive() {
    EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP), 0);
    return read_to_end(&archive_).bytes;
  }
};

TEST_F(EmbeddedArchiveTest, Cv22ArchiveHoldsTheBootChain) {
  const auto listing = kavro_pack::read_contents([&] {
    const auto bytes = embedded::base_archive(2);
    const auto path = folder_.path() / "cv22.7z";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }());
  std::vector<std::pair<std::string, int64_t>> entries;
  for (const auto& entry : listing.entries) {
    entries.emplace_back(entry.name, entry.name == "manifest" ? 0 : entry.size);
  }
  const std::vector<std::pair<std::string, int64_t>> expected{
      {"bld.bin", 167232},   {"bld.bin.sign", 512}, {"bst.bin", 4096},
      {"bst.bin.sign", 512}, {"manifest", 0},       {"msc.bin", 48}};
  EXPECT_EQ(entries, expected);

  ASSERT_EQ(kavro_archive_init_embedded(&archive_, "cv22", 0), 0);
  EXPECT_STREQ(kavro_archive_get_platform(&archive_), "cv22");
  EXPECT_STREQ(kavro_archive_get_firmware_version(&archive_), "1.7.0");
  EXPECT_EQ(kavro_archive_contains_bootloaders(&archive_), 1);
  EXPECT_EQ(kavro_archive_contains_ota_parts(&archive_), 0);
  EXPECT_STREQ(kavro_archive_get_compressed_filename(&archive_, PART_BOOTSTRAP), "bst.bin");
  EXPECT_STREQ(kavro_archive_get_compressed_filename(&archive_, PART_BOOTLOADER), "bld.bin");
  EXPECT_STREQ(kavro_archive_get_compressed_filename(&archive_, PART_MISC), "msc.bin");
  const std::vector<std::tuple<int, uint32_t, int64_t>> params{
      {PART_BOOTSTRAP, PARAM_SIZE, 4096},
      {PART_BOOTSTRAP, PARAM_SIGNED, 0},
      {PART_BOOTSTRAP, PARAM_REQUIRED_FIXED_SIZE, 4096},
      {PART_BOOTSTRAP, PARAM_COREMHZ_OFFSET, 2188},
      {PART_BOOTSTRAP, PARAM_IDSPMHZ_OFFSET, 2192},
      {PART_BOOTSTRAP, PARAM_DRAMMHZ_OFFSET, 2200},
      {PART_BOOTSTRAP, PARAM_CORTEXMHZ_OFFSET, 2184},
      {PART_BOOTSTRAP, PARAM_BLD_SIZE_OFFSET, 3196},
      {PART_BOOTSTRAP, PARAM_BLD_LOAD_ADDR_OFFSET, 3188},
      {PART_BOOTLOADER, PARAM_SIZE, 167232},
      {PART_BOOTLOADER, PARAM_SIGNED, 0},
      {PART_BOOTLOADER, PARAM_LOAD_ADDRESS, 0},
      {PART_BOOTLOADER, PARAM_PUBLIC_KEY_OFFSET, 163424},
      {PART_MISC, PARAM_SIZE, 48},
      {PART_MISC, PARAM_SIGNED, 0},
  };
  for (const auto& [partition, selector, value] : params) {
    EXPECT_EQ(kavro_archive_get_partition_param(&archive_, partition, selector), value)
        << partition << "/" << selector;
  }
}

TEST_F(EmbeddedArchiveTest, BuiltInSignaturesPassFromMemory) {
  ASSERT_EQ(kavro_archive_init_embedded(&archive_, "cv22", 0), 0);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(kavro_archive_verify_signature(&archive_, PART_BOOTSTRAP), 0);
  EXPECT_EQ(kavro_archive_verify_signature(&archive_, PART_BOOTLOADER), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Signature verification passed for bst.bin\n"
            "Signature verification passed for bld.bin\n");
  ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_MISC), 0);
  EXPECT_EQ(read_to_end(&archive_).bytes.size(), 48u);
}

TEST_F(EmbeddedArchiveTest, EveryPlatformOpensItsOwnSlot) {
  for (const char* platform : {"s5l", "cv22", "cv25", "s6lm"}) {
    ASSERT_EQ(kavro_archive_init_embedded(&archive_, platform, 0), 0) << platform;
    EXPECT_STREQ(kavro_archive_get_platform(&archive_), platform);
    EXPECT_EQ(kavro_archive_contains_bootloaders(&archive_), 1) << platform;
    kavro_archive_destroy(&archive_);
  }
}

TEST_F(EmbeddedArchiveTest, RevisionSelectsTheS5lSlot) {
  ASSERT_EQ(kavro_archive_init_embedded(&archive_, "s5l", 1), 0);
  EXPECT_EQ(bootstrap_of_open_archive(), bootstrap_of_slot(5));
  kavro_archive_destroy(&archive_);
  ASSERT_EQ(kavro_archive_init_embedded(&archive_, "s5l", 0), 0);
  EXPECT_EQ(bootstrap_of_open_archive(), bootstrap_of_slot(1));
}

TEST_F(EmbeddedArchiveTest, PlatformTextNeedOnlyBeginWithTheRowName) {
  ASSERT_EQ(kavro_archive_init_embedded(&archive_, "cv22-evk", 0), 0);
  EXPECT_STREQ(kavro_archive_get_platform(&archive_), "cv22");
}

TEST_F(EmbeddedArchiveTest, UnlistedPlatformOrRevisionIsRejected) {
  for (const auto& [platform, revision] : std::vector<std::pair<const char*, uint32_t>>{
           {"cv22", 1}, {"SOFTWARE", 0}, {"cv2", 0}, {"", 0}, {"s5l", 2}}) {
    EXPECT_EQ(kavro_archive_init_embedded(&archive_, platform, revision), ARCHIVE_ERR_PLATFORM)
        << platform << "/" << revision;
    EXPECT_EQ(archive_, nullptr);
  }
}

TEST_F(EmbeddedArchiveTest, EmptySlotHasNoManifest) {
  EXPECT_EQ(kavro_archive_init_embedded(&archive_, "cv28", 0), ARCHIVE_ERR_NO_MANIFEST);
  EXPECT_EQ(archive_, nullptr);
}

}  // namespace
