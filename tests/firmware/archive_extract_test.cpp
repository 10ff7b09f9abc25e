// Positioning at an entry, reading it block by block, and the queries on an open archive.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "tests/firmware/archive_fixture.h"

namespace {

using archive_test::ArchiveTest;
using archive_test::bytes_of;
using archive_test::FirmwareLayout;
using archive_test::read_to_end;
using kavro_pack::Entry;
using kavro_pack::Format;

class ExtractTest : public ArchiveTest, public ::testing::WithParamInterface<Format> {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    ASSERT_EQ(open(layout_.entries(), GetParam()), 0);
  }

  FirmwareLayout layout_;
};

TEST_P(ExtractTest, EveryPartitionReadsBackExactlyWithOffsetsFromZero) {
  const std::vector<std::pair<int, const char*>> partitions{
      {PART_BOOTSTRAP, "bst.bin"}, {PART_BOOTLOADER, "bld.bin"}, {PART_OSLOADER, "bda.bin"},
      {PART_META, "mta.bin"},      {PART_MISC, "msc.bin"},       {PART_KERNEL, "kna.bin"},
      {PART_ROOTFS, "rfa.bin"}};
  for (const auto& [partition, filename] : partitions) {
    ASSERT_EQ(kavro_archive_extract_setup(&archive_, partition), 0) << filename;
    const auto file = read_to_end(&archive_);
    EXPECT_EQ(file.bytes, layout_.image(filename)) << filename;
    EXPECT_TRUE(file.offsets_in_order) << filename;
    if (partition == PART_ROOTFS) {
      EXPECT_GT(file.blocks, 1u) << "the last entry spans several blocks";
    }
  }
}

TEST_P(ExtractTest, PositioningAgainStartsTheOtherFileFromItsStart) {
  ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_KERNEL), 0);
  const void* block = nullptr;
  std::size_t size = 0;
  int64_t offset = 0;
  ASSERT_EQ(kavro_archive_extract_block(&archive_, &block, &size, &offset), 0);
  ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP), 0);
  EXPECT_EQ(read_to_end(&archive_).bytes, layout_.image("bst.bin"));
  ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_KERNEL), 0);
  EXPECT_EQ(read_to_end(&archive_).bytes, layout_.image("kna.bin"));
}

TEST_P(ExtractTest, PositionsByEntryName) {
  ASSERT_EQ(kavro_archive_extract_setup_filename(&archive_, "manifest"), 0);
  EXPECT_EQ(read_to_end(&archive_).bytes, bytes_of(layout_.manifest_text()));
  ASSERT_EQ(kavro_archive_extract_setup_filename(&archive_, "msc.bin"), 0);
  EXPECT_EQ(read_to_end(&archive_).bytes, layout_.image("msc.bin"));
}

TEST_P(ExtractTest, EndOfDataKeepsGivingEmptyBlocks) {
  ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_MISC), 0);
  read_to_end(&archive_);
  const void* block = nullptr;
  std::size_t size = 1;
  int64_t offset = 0;
  EXPECT_EQ(kavro_archive_extract_block(&archive_, &block, &size, &offset), 0);
  EXPECT_EQ(size, 0u);
}

// Bytes that LZMA cannot shrink, so the solid stream's layout follows the entry sizes.
std::vector<uint8_t> incompressible_image(std::size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> image(size);
  for (auto& byte : image) {
    byte = static_cast<uint8_t>(generator());
  }
  return image;
}

// libarchive 3.6 loses its place in a solid 7z stream after skipping an unread 256 KiB entry of
// incompressible data; the entry after it must still come out whole.
TEST_F(ArchiveTest, EntryAfterAnUnreadEntryInASolidStream) {
  const auto first = incompressible_image(262144, 3);
  const auto second = incompressible_image(100000, 7);
  const std::vector<Entry> entries{
      {"a.bin", first},
      {"b.bin", second},
      {"manifest", bytes_of(R"({"manifest":{"platform":"cv22","firmware_version":"1",)"
                            R"("partitions":{}}})")}};
  ASSERT_EQ(open(entries, Format::seven_zip), 0);
  ASSERT_EQ(kavro_archive_extract_setup_filename(&archive_, "b.bin"), 0);
  EXPECT_EQ(read_to_end(&archive_).bytes, second);
  ASSERT_EQ(kavro_archive_extract_setup_filename(&archive_, "a.bin"), 0);
  EXPECT_EQ(read_to_end(&archive_).bytes, first);
}

INSTANTIATE_TEST_SUITE_P(Formats, ExtractTest,
                         ::testing::Values(Format::seven_zip, Format::seven_zip_store, Format::zip),
                         [](const auto& info) {
                           switch (info.param) {
                             case Format::seven_zip:
                               return "SolidSevenZip";
                             case Format::seven_zip_store:
                               return "StoredSevenZip";
                             default:
                               return "Zip";
                           }
                         });

TEST_F(ArchiveTest, SetupRejectsIdentifiersOutsideTheChart) {
  FirmwareLayout layout;
  ASSERT_EQ(open(layout.entries()), 0);
  for (int partition : {0, 16, -1, 1000}) {
    EXPECT_EQ(kavro_archive_extract_setup(&archive_, partition), ARCHIVE_ERR_INVALID_PARAMETERS)
        << partition;
  }
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_CUSTOM_A), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(kavro_archive_extract_setup_filename(&archive_, "other.bin"),
            ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(kavro_archive_extract_setup_filename(&archive_, ""), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(kavro_archive_extract_setup_filename(&archive_, nullptr),
            ARCHIVE_ERR_INVALID_PARAMETERS);
}

TEST_F(ArchiveTest, OperationsWithoutArchive) {
  kavro_archive_t* none = nullptr;
  const void* block = nullptr;
  std::size_t size = 0;
  int64_t offset = 0;
  for (kavro_archive_t** handle : {static_cast<kavro_archive_t**>(nullptr), &none}) {
    EXPECT_EQ(kavro_archive_extract_setup(handle, PART_BOOTSTRAP), ARCHIVE_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(kavro_archive_extract_setup_filename(handle, "bst.bin"),
              ARCHIVE_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(kavro_archive_extract_block(handle, &block, &size, &offset),
              ARCHIVE_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(kavro_archive_contains_bootloaders(handle), 0);
    EXPECT_EQ(kavro_archive_contains_ota_parts(handle), 0);
    EXPECT_EQ(kavro_archive_contains_partition(handle, PART_BOOTSTRAP), 0);
    EXPECT_EQ(kavro_archive_get_platform(handle), nullptr);
    EXPECT_EQ(kavro_archive_get_firmware_version(handle), nullptr);
    EXPECT_EQ(kavro_archive_get_partition_size(handle, PART_BOOTSTRAP),
              ARCHIVE_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(kavro_archive_get_partition_param(handle, PART_BOOTSTRAP, PARAM_SIZE),
              ARCHIVE_ERR_INVALID_PARAMETERS);
    EXPECT_EQ(kavro_archive_get_compressed_filename(handle, PART_BOOTSTRAP), nullptr);
    EXPECT_EQ(kavro_archive_verify_signature(handle, PART_BOOTSTRAP),
              ARCHIVE_ERR_INVALID_PARAMETERS);
  }
}

TEST_F(ArchiveTest, BlockReadBeforePositioningFails) {
  FirmwareLayout layout;
  ASSERT_EQ(open(layout.entries()), 0);
  const void* block = nullptr;
  std::size_t size = 0;
  int64_t offset = 0;
  EXPECT_EQ(kavro_archive_extract_block(&archive_, &block, &size, &offset), ARCHIVE_ERR_EXTRACT);
}

TEST_F(ArchiveTest, VanishedArchiveCannotBeReopened) {
  FirmwareLayout layout;
  const auto path = write(layout.entries());
  ASSERT_EQ(open(path), 0);
  std::filesystem::remove(path);
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP), ARCHIVE_ERR_OPEN);
  const void* block = nullptr;
  std::size_t size = 0;
  int64_t offset = 0;
  EXPECT_EQ(kavro_archive_extract_block(&archive_, &block, &size, &offset), ARCHIVE_ERR_EXTRACT);
  // The queries answer from what was read at open.
  EXPECT_EQ(kavro_archive_get_partition_size(&archive_, PART_BOOTSTRAP), 4096);
}

TEST_F(ArchiveTest, ArchiveShortenedOnDiskEndsBeforeTheEntry) {
  FirmwareLayout layout;
  const auto path = write(layout.entries());
  ASSERT_EQ(open(path), 0);
  write(std::vector<Entry>{{"manifest", bytes_of("{}")}});
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_ROOTFS), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  const void* block = nullptr;
  std::size_t size = 0;
  int64_t offset = 0;
  // No data of whatever entry the walk stopped at may be handed out.
  EXPECT_EQ(kavro_archive_extract_block(&archive_, &block, &size, &offset), ARCHIVE_ERR_EXTRACT);
}

TEST_F(ArchiveTest, ArchiveReorderedOnDiskIsNotReadAsTheWrongEntry) {
  FirmwareLayout layout;
  auto entries = layout.entries();
  const auto path = write(entries);
  ASSERT_EQ(open(path), 0);
  std::swap(entries[1], entries[2]);
  write(entries);
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP),
            ARCHIVE_ERR_PARTITION_NOT_FOUND);
}

TEST_F(ArchiveTest, GroupQueriesNeedEveryMember) {
  FirmwareLayout layout;
  layout.erase_partition("misc");
  layout.erase_partition("rootfs");
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_EQ(kavro_archive_contains_bootloaders(&archive_), 0);
  EXPECT_EQ(kavro_archive_contains_ota_parts(&archive_), 0);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, PART_BOOTSTRAP), 1);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, PART_MISC), 0);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, 0), 0);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, 16), 0);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, -1), 0);
}

TEST_F(ArchiveTest, PartitionParametersOfTheBootstrap) {
  FirmwareLayout layout;
  layout.set("bootstrap", "signed", json_object_new_boolean(true));
  layout.set("bootstrap", "coremhz_offset", json_object_new_int(-5));
  layout.set("bootstrap", "load_address", json_object_new_int64(0x123456789A));
  ASSERT_EQ(open(layout.entries()), 0);
  const std::vector<std::pair<uint32_t, int64_t>> expected{
      {PARAM_SIZE, 4096},
      {PARAM_REQUIRED_FIXED_SIZE, 4096},
      {PARAM_SIGNED, 1},
      {PARAM_COREMHZ_OFFSET, -5},
      {PARAM_IDSPMHZ_OFFSET, 2192},
      {PARAM_DRAMMHZ_OFFSET, 2200},
      {PARAM_CORTEXMHZ_OFFSET, 2184},
      {PARAM_BLD_SIZE_OFFSET, 3196},
      {PARAM_BLD_LOAD_ADDR_OFFSET, 3188},
      {PARAM_PUBLIC_KEY_OFFSET, 0},
      {PARAM_LOAD_ADDRESS, 0x123456789A},
  };
  for (const auto& [selector, value] : expected) {
    EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_BOOTSTRAP, selector), value)
        << selector;
  }
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_BOOTLOADER, PARAM_PUBLIC_KEY_OFFSET),
            4100);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_BOOTLOADER, PARAM_SIGNED), 0);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_META, PARAM_REQUIRED_FIXED_SIZE), 0);
}

TEST_F(ArchiveTest, PartitionParameterErrors) {
  FirmwareLayout layout;
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_BOOTSTRAP, 11),
            ARCHIVE_ERR_UNKNOWN_PARAMETER);
  // Not supplied wins over an unknown selector.
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_CUSTOM_A, 11),
            ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, 0, PARAM_SIZE),
            ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, 16, 11), ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(kavro_archive_get_partition_size(&archive_, PART_CUSTOM_A),
            ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(kavro_archive_get_partition_size(&archive_, 0), ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(kavro_archive_get_compressed_filename(&archive_, PART_CUSTOM_A), nullptr);
  EXPECT_EQ(kavro_archive_get_compressed_filename(&archive_, 16), nullptr);
  EXPECT_STREQ(kavro_archive_get_compressed_filename(&archive_, PART_KERNEL), "kna.bin");
}

TEST(ArchiveImageTypeName, NamesTheChartRows) {
  const char* names[] = {"bootstrap", "bootloader", "osloader", "meta",     "misc",
                         "kernel",    "rootfs",     "custom_a", "custom_b", "custom_c",
                         "custom_d",  "custom_e",   "custom_f", "custom_g", "custom_h"};
  for (int partition = 1; partition <= 15; ++partition) {
    EXPECT_STREQ(kavro_archive_get_image_type_name(partition), names[partition - 1]);
  }
  EXPECT_EQ(kavro_archive_get_image_type_name(0), nullptr);
  EXPECT_EQ(kavro_archive_get_image_type_name(16), nullptr);
  EXPECT_EQ(kavro_archive_get_image_type_name(-3), nullptr);
}

}  // namespace
