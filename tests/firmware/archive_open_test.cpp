// Opening archives: the entry listing, the manifest and every code an open can end with.

#include <gtest/gtest.h>

#include <string>

#include "tests/firmware/archive_fixture.h"

namespace {

using archive_test::ArchiveTest;
using archive_test::bytes_of;
using archive_test::FirmwareLayout;
using kavro_pack::Entry;
using kavro_pack::Format;

std::vector<Entry> with_manifest(std::string_view manifest, std::vector<Entry> others = {}) {
  others.insert(others.begin(), Entry{"manifest", bytes_of(manifest)});
  return others;
}

TEST_F(ArchiveTest, OpensStandardLayoutWithEveryValue) {
  FirmwareLayout layout;
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_STREQ(kavro_archive_get_platform(&archive_), "cv22");
  EXPECT_STREQ(kavro_archive_get_firmware_version(&archive_), "2.0.1");
  EXPECT_EQ(kavro_archive_contains_bootloaders(&archive_), 1);
  EXPECT_EQ(kavro_archive_contains_ota_parts(&archive_), 1);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_BOOTSTRAP, PARAM_COREMHZ_OFFSET),
            2188);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_KERNEL, PARAM_LOAD_ADDRESS),
            0x1000000);
  EXPECT_EQ(kavro_archive_get_partition_size(&archive_, PART_ROOTFS), 300000);
}

TEST_F(ArchiveTest, NullHandleAddressIsInvalid) {
  FirmwareLayout layout;
  const auto path = write(layout.entries());
  EXPECT_EQ(kavro_archive_init(nullptr, path.c_str()), ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(kavro_archive_init_embedded(nullptr, "cv22", 0), ARCHIVE_ERR_INVALID_PARAMETERS);
}

TEST_F(ArchiveTest, NeitherPathNorPlatformIsInvalidAndLeavesHandleNull) {
  EXPECT_EQ(kavro_archive_init(&archive_, nullptr), ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(archive_, nullptr);
  EXPECT_EQ(kavro_archive_init_embedded(&archive_, nullptr, 0), ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(archive_, nullptr);
}

TEST_F(ArchiveTest, UnopenableFilesGiveOpenError) {
  EXPECT_EQ(open(folder_.path() / "absent.7z"), ARCHIVE_ERR_OPEN);
  EXPECT_EQ(archive_, nullptr);
  // An empty path must not make the reader fall back to standard input.
  EXPECT_EQ(kavro_archive_init(&archive_, ""), ARCHIVE_ERR_OPEN);
  EXPECT_EQ(archive_, nullptr);
}

TEST_F(ArchiveTest, FileThatIsNoArchiveFails) {
  const std::string path = folder_.write_file("noise.7z", std::string(3000, '\x9c'));
  EXPECT_LT(open(path), 0);
  EXPECT_EQ(archive_, nullptr);
}

TEST_F(ArchiveTest, ArchiveWithoutManifestGivesNoManifest) {
  EXPECT_EQ(open(std::vector<Entry>{{"bst.bin", bytes_of("boot")}}), ARCHIVE_ERR_NO_MANIFEST);
  EXPECT_EQ(archive_, nullptr);
}

TEST_F(ArchiveTest, EmptyManifestEntryDoesNotCount) {
  EXPECT_EQ(open(std::vector<Entry>{{"manifest", {}}}), ARCHIVE_ERR_NO_MANIFEST);
  FirmwareLayout layout;
  auto entries = layout.entries();
  entries.insert(entries.begin(), Entry{"manifest", {}});
  EXPECT_EQ(open(entries), 0);
}

TEST_F(ArchiveTest, ManifestInsideFolderIsNotTheManifest) {
  FirmwareLayout layout;
  auto entries = layout.entries();
  entries.front().name = "images/manifest";
  EXPECT_EQ(open(entries), ARCHIVE_ERR_NO_MANIFEST);
}

TEST_F(ArchiveTest, TwoManifestsAreRejected) {
  FirmwareLayout layout;
  auto entries = layout.entries();
  entries.push_back(entries.front());
  EXPECT_EQ(open(entries), ARCHIVE_ERR_MULTIPLE_MANIFESTS);
  EXPECT_EQ(archive_, nullptr);
}

// libarchive 3.6 loses its place in a solid 7z stream when the entries it skipped unread end on
// a 256 KiB boundary of the stream (here 100000 + 162144 bytes): the next entry's data then
// reads as "Truncated 7-Zip file body". Padded images make such sizes common.
TEST_F(ArchiveTest, ManifestAfterEntriesEndingOnA256KiBBoundaryOfASolidStream) {
  const auto entries = with_manifest(
      R"({"manifest": {"platform": "cv22", "firmware_version": "1", "partitions": {}}})",
      {{"bda.bin", archive_test::patterned_image(100000, 1)},
       {"kna.bin", archive_test::patterned_image(162144, 2)}});
  std::vector<Entry> manifest_last{entries[1], entries[2], entries[0]};
  ASSERT_EQ(open(manifest_last, Format::seven_zip), 0);
  EXPECT_STREQ(kavro_archive_get_platform(&archive_), "cv22");
}

TEST_F(ArchiveTest, ManifestLevelFaultsInParseOrder) {
  const std::pair<const char*, int> cases[] = {
      {"{\"manifest\": {\"platform\": ", ARCHIVE_ERR_MANIFEST_PARSE},
      {"   ", ARCHIVE_ERR_MANIFEST_PARSE},
      {R"({"platform": "cv22"})", ARCHIVE_ERR_MANIFEST_PARSE},
      {"null", ARCHIVE_ERR_MANIFEST_PARSE},
      {"[1, 2]", ARCHIVE_ERR_MANIFEST_PARSE},
      {R"({"manifest": null})", ARCHIVE_ERR_MISSING_PLATFORM},
      {R"({"manifest": {"firmware_version": "1"}})", ARCHIVE_ERR_MISSING_PLATFORM},
      {R"({"manifest": {"platform": null, "firmware_version": "1", "partitions": {}}})",
       ARCHIVE_ERR_MISSING_PLATFORM},
      {R"({"manifest": {"platform": "cv22", "partitions": {}}})",
       ARCHIVE_ERR_MISSING_FIRMWARE_VERSION},
      {R"({"manifest": {"platform": "cv22", "firmware_version": null, "partitions": {}}})",
       ARCHIVE_ERR_MISSING_FIRMWARE_VERSION},
      {R"({"manifest": {"platform": "cv22", "firmware_version": "1"}})",
       ARCHIVE_ERR_MISSING_PARTITIONS},
  };
  for (const auto& [manifest, code] : cases) {
    EXPECT_EQ(open(with_manifest(manifest)), code) << manifest;
    EXPECT_EQ(archive_, nullptr);
  }
}

TEST_F(ArchiveTest, EmptyPartitionsLoadWithNothingPresent) {
  ASSERT_EQ(
      open(with_manifest(
          R"({"manifest": {"platform": "cv22", "firmware_version": "1", "partitions": {}}})")),
      0);
  EXPECT_EQ(kavro_archive_contains_bootloaders(&archive_), 0);
  EXPECT_EQ(kavro_archive_contains_ota_parts(&archive_), 0);
  for (int partition = PART_BOOTSTRAP; partition <= PART_CUSTOM_H; ++partition) {
    EXPECT_EQ(kavro_archive_contains_partition(&archive_, partition), 0) << partition;
  }
}

TEST_F(ArchiveTest, TextValuesAreConvertedAndCut) {
  FirmwareLayout layout;
  json_object_object_add(layout.manifest(), "platform",
                         json_object_new_string(std::string(70, 'p').c_str()));
  json_object_object_add(layout.manifest(), "firmware_version",
                         json_object_new_string("1.2.3-rc4+build.567"));
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_EQ(std::string(kavro_archive_get_platform(&archive_)), std::string(63, 'p'));
  EXPECT_STREQ(kavro_archive_get_firmware_version(&archive_), "1.2.3-rc4+build");

  // A number where text is expected is taken in its text form.
  json_object_object_add(layout.manifest(), "firmware_version", json_object_new_int(17));
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_STREQ(kavro_archive_get_firmware_version(&archive_), "17");
}

TEST_F(ArchiveTest, UnknownKeysAndMd5AreIgnored) {
  FirmwareLayout layout;
  layout.set("misc", "md5", json_object_new_string("d41d8cd98f00b204e9800998ecf8427e"));
  layout.set("bootstrap", "md5", json_object_new_string("not even a digest"));
  json_object_object_add(layout.manifest(), "vendor", json_object_new_string("someone"));
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_EQ(kavro_archive_get_partition_size(&archive_, PART_MISC), 48);
}

TEST_F(ArchiveTest, EntryNamesLongerThanOldPathFieldsAreKeptWhole) {
  const std::string long_name = "images/" + std::string(300, 'k') + ".bin";
  FirmwareLayout layout;
  layout.erase_partition("meta");
  layout.add_partition("meta", long_name, 64);
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_EQ(kavro_archive_get_compressed_filename(&archive_, PART_META), long_name);
  ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_META), 0);
  EXPECT_EQ(archive_test::read_to_end(&archive_).bytes, layout.image(long_name));
}

// Each way a partition member can be wrong gives that partition's code, -(10 + identifier).
struct PartitionFault {
  const char* partition;
  int code;
  const char* description;
  void (*apply)(FirmwareLayout&, const char* partition);
};

void name_missing_file(FirmwareLayout& layout, const char* partition) {
  layout.set(partition, "filename", json_object_new_string("nothere.bin"));
}
void drop_filename(FirmwareLayout& layout, const char* partition) {
  layout.erase(partition, "filename");
}
void null_filename(FirmwareLayout& layout, const char* partition) {
  layout.set(partition, "filename", nullptr);
}
void drop_filesize(FirmwareLayout& layout, const char* partition) {
  layout.erase(partition, "filesize");
}
void wrong_filesize(FirmwareLayout& layout, const char* partition) {
  json_object* member = layout.partition(partition);
  json_object* size = nullptr;
  json_object_object_get_ex(member, "filesize", &size);
  layout.set(partition, "filesize", json_object_new_int64(json_object_get_int64(size) + 1));
}
void drop_load_address(FirmwareLayout& layout, const char* partition) {
  layout.erase(partition, "load_address");
}
void zero_load_address(FirmwareLayout& layout, const char* partition) {
  layout.set(partition, "load_address", json_object_new_int(0));
}
void drop_public_key_offset(FirmwareLayout& layout, const char* partition) {
  layout.erase(partition, "public_key_offset");
}
void not_an_object(FirmwareLayout& layout, const char* partition) {
  json_object* partitions = nullptr;
  json_object_object_get_ex(layout.manifest(), "partitions", &partitions);
  json_object_object_add(partitions, partition, json_object_new_string("bst.bin"));
}

class PartitionFaultTest : public ArchiveTest,
                           public ::testing::WithParamInterface<PartitionFault> {};

TEST_P(PartitionFaultTest, GivesThePartitionsCode) {
  FirmwareLayout layout;
  const PartitionFault& fault = GetParam();
  if (layout.partition(fault.partition) == nullptr) {
    layout.add_partition(fault.partition, std::string(fault.partition) + ".img", 32);
  }
  fault.apply(layout, fault.partition);
  EXPECT_EQ(open(layout.entries()), fault.code);
  EXPECT_EQ(archive_, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    EveryPartition, PartitionFaultTest,
    ::testing::Values(PartitionFault{"bootstrap", -11, "missing_file", name_missing_file},
                      PartitionFault{"bootloader", -12, "missing_file", name_missing_file},
                      PartitionFault{"osloader", -13, "missing_file", name_missing_file},
                      PartitionFault{"meta", -14, "missing_file", name_missing_file},
                      PartitionFault{"misc", -15, "missing_file", name_missing_file},
                      PartitionFault{"kernel", -16, "missing_file", name_missing_file},
                      PartitionFault{"rootfs", -17, "missing_file", name_missing_file},
                      PartitionFault{"custom_a", -18, "missing_file", name_missing_file},
                      PartitionFault{"custom_b", -19, "missing_file", name_missing_file},
                      PartitionFault{"custom_c", -20, "missing_file", name_missing_file},
                      PartitionFault{"custom_d", -21, "missing_file", name_missing_file},
                      PartitionFault{"custom_e", -22, "missing_file", name_missing_file},
                      PartitionFault{"custom_f", -23, "missing_file", name_missing_file},
                      PartitionFault{"custom_g", -24, "missing_file", name_missing_file},
                      PartitionFault{"custom_h", -25, "missing_file", name_missing_file},
                      PartitionFault{"custom_c", -20, "wrong_filesize", wrong_filesize},
                      PartitionFault{"misc", -15, "wrong_filesize", wrong_filesize},
                      PartitionFault{"rootfs", -17, "no_filename", drop_filename},
                      PartitionFault{"meta", -14, "null_filename", null_filename},
                      PartitionFault{"bootstrap", -11, "null_filename", null_filename},
                      PartitionFault{"meta", -14, "no_filesize", drop_filesize},
                      PartitionFault{"kernel", -16, "no_load_address", drop_load_address},
                      PartitionFault{"kernel", -16, "zero_load_address", zero_load_address},
                      PartitionFault{"osloader", -13, "no_load_address", drop_load_address},
                      PartitionFault{"osloader", -13, "zero_load_address", zero_load_address},
                      PartitionFault{"bootloader", -12, "no_public_key_offset",
                                     drop_public_key_offset},
                      PartitionFault{"misc", -15, "not_an_object", not_an_object}),
    [](const auto& info) {
      return std::string(info.param.partition) + "_" + info.param.description;
    });

class BootstrapOffsetTest : public ArchiveTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(BootstrapOffsetTest, MissingOffsetInvalidatesBootstrap) {
  FirmwareLayout layout;
  layout.erase("bootstrap", GetParam());
  EXPECT_EQ(open(layout.entries()), -11);
}

INSTANTIATE_TEST_SUITE_P(EveryOffset, BootstrapOffsetTest,
                         ::testing::Values("bld_size_offset", "bld_load_addr_offset",
                                           "coremhz_offset", "idspmhz_offset", "drammhz_offset",
                                           "cortexmhz_offset"));

TEST_F(ArchiveTest, OffsetsOfOtherPartitionsAreNotRequired) {
  FirmwareLayout layout;
  layout.erase("bootloader", "load_address");
  layout.set("meta", "coremhz_offset", json_object_new_int(5));
  ASSERT_EQ(open(layout.entries()), 0);
  // Offsets are read for the partition they belong to only.
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_META, PARAM_COREMHZ_OFFSET), 0);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_BOOTLOADER, PARAM_LOAD_ADDRESS), 0);
}

TEST_F(ArchiveTest, FirstFailingPartitionInIdentifierOrderDecides) {
  FirmwareLayout layout;
  wrong_filesize(layout, "misc");
  name_missing_file(layout, "meta");
  EXPECT_EQ(open(layout.entries()), -14);
}

TEST_F(ArchiveTest, FilenameComparisonIsExact) {
  FirmwareLayout layout;
  layout.set("misc", "filename", json_object_new_string("MSC.BIN"));
  EXPECT_EQ(open(layout.entries()), -15);
}

TEST_F(ArchiveTest, TwoPartitionsNamingOneFileLeaveItToTheLaterOne) {
  FirmwareLayout layout;
  layout.set("meta", "filename", json_object_new_string("msc.bin"));
  layout.set("meta", "filesize", json_object_new_int(48));
  layout.set("meta", "signed", json_object_new_boolean(true));
  layout.set("meta", "required_fixed_size", json_object_new_int(4096));
  layout.set("misc", "required_fixed_size", json_object_new_int(512));
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, PART_META), 1);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, PART_MISC), 1);
  EXPECT_EQ(kavro_archive_get_partition_size(&archive_, PART_META),
            ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(kavro_archive_get_compressed_filename(&archive_, PART_META), nullptr);
  EXPECT_STREQ(kavro_archive_get_compressed_filename(&archive_, PART_MISC), "msc.bin");
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_MISC, PARAM_SIGNED), 0);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_MISC, PARAM_REQUIRED_FIXED_SIZE),
            512);
}

TEST_F(ArchiveTest, ValuesAreConvertedNotTypeChecked) {
  FirmwareLayout layout;
  layout.set("misc", "filesize", json_object_new_string("48"));
  layout.set("misc", "signed", json_object_new_int(1));
  layout.set("kernel", "load_address", json_object_new_string("4096"));
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_MISC, PARAM_SIGNED), 1);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_KERNEL, PARAM_LOAD_ADDRESS), 4096);
}

TEST_F(ArchiveTest, CustomPartitionsLoadLikeTheOthers) {
  FirmwareLayout layout;
  layout.add_partition("custom_a", "ca.bin", 10);
  layout.add_partition("custom_h", "ch.bin", 20);
  layout.set("custom_h", "signed", json_object_new_boolean(true));
  ASSERT_EQ(open(layout.entries()), 0);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, PART_CUSTOM_A), 1);
  EXPECT_EQ(kavro_archive_contains_partition(&archive_, PART_CUSTOM_A + 1), 0);
  EXPECT_EQ(kavro_archive_get_partition_size(&archive_, PART_CUSTOM_H), 20);
  EXPECT_EQ(kavro_archive_get_partition_param(&archive_, PART_CUSTOM_H, PARAM_SIGNED), 1);
}

TEST_F(ArchiveTest, OpensZipArchivesToo) {
  FirmwareLayout layout;
  ASSERT_EQ(open(layout.entries(), Format::zip), 0);
  EXPECT_EQ(kavro_archive_contains_ota_parts(&archive_), 1);
}

TEST_F(ArchiveTest, DestroyIsNullSafeAndNullsTheHandle) {
  kavro_archive_destroy(nullptr);
  kavro_archive_t* none = nullptr;
  kavro_archive_destroy(&none);
  FirmwareLayout layout;
  ASSERT_EQ(open(layout.entries()), 0);
  kavro_archive_destroy(&archive_);
  EXPECT_EQ(archive_, nullptr);
}

TEST(ArchiveErrorString, EveryCodeHasItsText) {
  const std::vector<std::pair<int, const char*>> texts{
      {-1, "Invalid parameters specified"},
      {-2, "Insufficient memory available"},
      {-3, "Could not open archive file"},
      {-4, "Failed to extract data from archive"},
      {-5, "No manifest found in archive"},
      {-6, "Multiple manifests found in archive"},
      {-7, "Failed to parse manifest file"},
      {-8, "Missing platform parameter in manifest"},
      {-9, "Missing firmware_version parameter in manifest"},
      {-10, "Missing partitions list in manifest"},
      {-11, "Invalid bootstrap entry in manifest"},
      {-12, "Invalid bootloader entry in manifest"},
      {-13, "Invalid osloader entry in manifest"},
      {-14, "Invalid meta entry in manifest"},
      {-15, "Invalid misc entry in manifest"},
      {-16, "Invalid kernel entry in manifest"},
      {-17, "Invalid rootfs entry in manifest"},
      {-18, "Invalid custom_a entry in manifest"},
      {-19, "Invalid custom_b entry in manifest"},
      {-20, "Invalid custom_c entry in manifest"},
      {-21, "Invalid custom_d entry in manifest"},
      {-22, "Invalid custom_e entry in manifest"},
      {-23, "Invalid custom_f entry in manifest"},
      {-24, "Invalid custom_g entry in manifest"},
      {-25, "Invalid custom_h entry in manifest"},
      {-26, "Partition file not found or invalid in archive"},
      {-27, "Unknown partition parameter requested"},
      {-28, "Invalid platform or platform mismatch in archive"},
      {-29, "Signature check failed"},
  };
  for (const auto& [code, text] : texts) {
    EXPECT_STREQ(kavro_archive_error_string(code), text) << code;
  }
  for (int code : {0, 1, -30, INT32_MIN, INT32_MAX}) {
    EXPECT_STREQ(kavro_archive_error_string(code), "Unknown error") << code;
  }
}

}  // namespace
