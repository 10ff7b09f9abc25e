// Firmware archives: the code every open ends with, the values read from a manifest, positioning
// and block reads, the publisher signature check and the built-in base archives.

#include <gmock/gmock.h>

#include <filesystem>
#include <optional>
#include <random>

#include "tests/firmware/firmware_test_files.h"

namespace firmware_test {
namespace {

std::vector<Entry> manifest_last(std::vector<Entry> images) {
  images.push_back({"manifest", bytes_of(R"({"manifest":{"platform":"cv22","firmware_version":"1",)"
                                         R"("partitions":{}}})")});
  return images;
}

// Bytes that LZMA cannot shrink, so a solid stream's layout follows the entry sizes.
std::vector<uint8_t> incompressible(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& byte : bytes) {
    byte = static_cast<uint8_t>(generator());
  }
  return bytes;
}

TEST_F(ArchiveFiles, ManifestFaultsGiveTheirCodes) {
  const std::tuple<std::string_view, std::string_view, int> faults[] = {
      {"\"rootfs\": {", "\"rootfs\": ", ARCHIVE_ERR_MANIFEST_PARSE},
      {"{\"manifest\"", "{\"other\"", ARCHIVE_ERR_MANIFEST_PARSE},
      {"\"platform\": \"cv22\"", "\"platform\": null", ARCHIVE_ERR_MISSING_PLATFORM},
      {"\"firmware_version\"", "\"version\"", ARCHIVE_ERR_MISSING_FIRMWARE_VERSION},
      {"\"2.0.1\"", "null", ARCHIVE_ERR_MISSING_FIRMWARE_VERSION},
      {"\"partitions\"", "\"parts\"", ARCHIVE_ERR_MISSING_PARTITIONS},
      {"\"cortexmhz_offset\"", "\"cortex\"", ARCHIVE_ERR_INVALID_BOOTSTRAP},
      {"\"public_key_offset\"", "\"key_offset\"", ARCHIVE_ERR_INVALID_BOOTLOADER},
      {"\"load_address\": 524288", "\"load_address\": 0", ARCHIVE_ERR_INVALID_OSLOADER},
      {"\"filename\": \"mta.bin\"", "\"filename\": null", ARCHIVE_ERR_INVALID_META},
      {"\"filesize\": 64", "\"size\": 64", ARCHIVE_ERR_INVALID_META},
      {"\"filesize\": 48", "\"filesize\": 49", ARCHIVE_ERR_INVALID_MISC},
      {", \"load_address\": 16777216", "", ARCHIVE_ERR_INVALID_KERNEL},
      {"\"filename\": \"rfa.bin\", ", "", ARCHIVE_ERR_INVALID_ROOTFS},
      {"\"rootfs\"", "\"custom_h\": {\"filename\": \"c.bin\", \"filesize\": 1}, \"rootfs\"",
       ARCHIVE_ERR_INVALID_CUSTOM_H},
  };
  for (const auto& [from, to, code] : faults) {
    EXPECT_EQ(open(standard_entries({{from, to}})), code) << to;
    EXPECT_EQ(archive_, nullptr);
  }
  const std::pair<std::vector<Entry>, int> listings[] = {
      {{{"bst.bin", bytes_of("boot")}}, ARCHIVE_ERR_NO_MANIFEST},
      {{{"manifest", {}}}, ARCHIVE_ERR_NO_MANIFEST},
      {{{"images/manifest", bytes_of("{}")}}, ARCHIVE_ERR_NO_MANIFEST},
      {{{"manifest", bytes_of("{}")}, {"manifest", bytes_of("{}")}},
       ARCHIVE_ERR_MULTIPLE_MANIFESTS},
  };
  for (const auto& [entries, code] : listings) {
    EXPECT_EQ(open(entries), code) << entries.front().name;
  }
  const std::string noise = folder_.write_file("noise.7z", std::string(3000, '\x9c'));
  const std::pair<int, int> others[] = {
      {kavro_archive_init(&archive_, folder_.file("absent.7z").c_str()), ARCHIVE_ERR_OPEN},
      // libarchive would read standard input for an empty file name.
      {kavro_archive_init(&archive_, ""), ARCHIVE_ERR_OPEN},
      {kavro_archive_init(&archive_, noise.c_str()), ARCHIVE_ERR_OPEN},
      {kavro_archive_init(&archive_, nullptr), ARCHIVE_ERR_INVALID_PARAMETERS},
      {kavro_archive_init(nullptr, noise.c_str()), ARCHIVE_ERR_INVALID_PARAMETERS},
      {kavro_archive_init_embedded(&archive_, nullptr, 0), ARCHIVE_ERR_INVALID_PARAMETERS},
      {kavro_archive_init_embedded(&archive_, "cv22", 1), ARCHIVE_ERR_PLATFORM},
      {kavro_archive_init_embedded(&archive_, "CV22", 0), ARCHIVE_ERR_PLATFORM},
      {kavro_archive_init_embedded(&archive_, "cv28", 0), ARCHIVE_ERR_NO_MANIFEST},  // empty slot
  };
  for (const auto& [result, code] : others) {
    EXPECT_EQ(result, code);
  }
  EXPECT_EQ(archive_, nullptr);
}

// libarchive 3.6 loses its place in a solid 7z stream when the entries it skipped unread end on a
// 256 KiB boundary of the stream (here 100000 + 162144 bytes): the next entry's data then reads as
// "Truncated 7-Zip file body". Listing reads through the entries before the manifest.
TEST_F(ArchiveFiles, ManifestAfterEntriesEndingOnA256KiBBoundaryOfASolidStream) {
  ASSERT_EQ(open(manifest_last({{"bda.bin", pattern(100000, 1)}, {"kna.bin", pattern(162144, 2)}}),
                 Format::seven_zip),
            0);
  EXPECT_STREQ(kavro_archive_get_platform(&archive_), "cv22");
}

// Positioning at an entry reads through the entries before it for the same reason.
TEST_F(ArchiveFiles, EntryAfterAnUnreadEntryEndingOnA256KiBBoundaryOfASolidStream) {
  const auto first = incompressible(262144, 3);
  const auto second = incompressible(100000, 7);
  ASSERT_EQ(open(manifest_last({{"a.bin", first}, {"b.bin", second}}), Format::seven_zip), 0);
  ASSERT_EQ(kavro_archive_extract_setup_filename(&archive_, "b.bin"), 0);
  EXPECT_EQ(read_entry(&archive_), second);
  ASSERT_EQ(kavro_archive_extract_setup_filename(&archive_, "a.bin"), 0);
  EXPECT_EQ(read_entry(&archive_), first);
}

TEST_F(ArchiveFiles, ManifestValues) {
  const std::string platform = "\"" + std::string(70, 'p') + "\"";
  const std::string long_name = "images/" + std::string(300, 'k') + ".bin";  // kept whole
  auto entries = standard_entries({{"\"cv22\"", platform},
                                   {"\"2.0.1\"", "\"1.2.3-rc4+build.567\", \"vendor\": 1"},
                                   {"mta.bin", long_name},
                                   {"\"filesize\": 48", "\"filesize\": \"48\", \"signed\": 1"},
                                   {"16777216", "\"4096\", \"md5\": \"none\""},
                                   {"\"rootfs\"",
                                    "\"custom_h\": {\"filename\": \"c.bin\", "
                                    "\"filesize\": 1, \"signed\": true}, \"rootfs\""}});
  entries[4].name = long_name;
  entries.push_back({"c.bin", bytes_of("c")});
  ASSERT_EQ(open(entries), 0);
  EXPECT_EQ(kavro_archive_get_platform(&archive_), std::string(63, 'p'));
  EXPECT_STREQ(kavro_archive_get_firmware_version(&archive_), "1.2.3-rc4+build");
  EXPECT_EQ(kavro_archive_get_compressed_filename(&archive_, PART_META), long_name);
  EXPECT_EQ(kavro_archive_get_compressed_filename(&archive_, PART_CUSTOM_A), nullptr);
  EXPECT_EQ(kavro_archive_get_compressed_filename(&archive_, 16), nullptr);
  EXPECT_STREQ(kavro_archive_get_image_type_name(PART_CUSTOM_H), "custom_h");
  EXPECT_EQ(kavro_archive_get_image_type_name(0), nullptr);
  const auto param = [this](int partition, uint32_t selector) {
    return kavro_archive_get_partition_param(&archive_, partition, selector);
  };
  const std::pair<int64_t, int64_t> values[] = {
      {kavro_archive_contains_bootloaders(&archive_), 1},
      {kavro_archive_contains_ota_parts(&archive_), 1},
      {kavro_archive_contains_partition(&archive_, PART_CUSTOM_H), 1},
      {kavro_archive_contains_partition(&archive_, PART_CUSTOM_A), 0},
      {kavro_archive_contains_partition(&archive_, 16), 0},
      {param(PART_BOOTSTRAP, PARAM_SIZE), 4096},
      {param(PART_BOOTSTRAP, PARAM_REQUIRED_FIXED_SIZE), 4096},
      {param(PART_BOOTSTRAP, PARAM_SIGNED), 0},
      {param(PART_BOOTSTRAP, PARAM_COREMHZ_OFFSET), 2188},
      {param(PART_BOOTSTRAP, PARAM_IDSPMHZ_OFFSET), 2192},
      {param(PART_BOOTSTRAP, PARAM_DRAMMHZ_OFFSET), 2200},
      {param(PART_BOOTSTRAP, PARAM_CORTEXMHZ_OFFSET), 2184},
      {param(PART_BOOTSTRAP, PARAM_BLD_SIZE_OFFSET), 3196},
      {param(PART_BOOTSTRAP, PARAM_BLD_LOAD_ADDR_OFFSET), 3188},
      {param(PART_BOOTLOADER, PARAM_PUBLIC_KEY_OFFSET), 4100},
      {param(PART_BOOTLOADER, PARAM_LOAD_ADDRESS), 16909060},
      {param(PART_META, PARAM_COREMHZ_OFFSET), 0},
      // Values are converted, not type-checked.
      {param(PART_MISC, PARAM_SIZE), 48},
      {param(PART_MISC, PARAM_SIGNED), 1},
      {param(PART_KERNEL, PARAM_LOAD_ADDRESS), 4096},
      {param(PART_CUSTOM_H, PARAM_SIGNED), 1},
      {param(PART_BOOTSTRAP, 11), ARCHIVE_ERR_UNKNOWN_PARAMETER},
      {param(PART_CUSTOM_A, 11), ARCHIVE_ERR_PARTITION_NOT_FOUND},
      {param(0, PARAM_SIZE), ARCHIVE_ERR_INVALID_PARAMETERS},
      {kavro_archive_get_partition_size(&archive_, PART_ROOTFS), 300000},
      {kavro_archive_get_partition_size(&archive_, PART_CUSTOM_A), ARCHIVE_ERR_PARTITION_NOT_FOUND},
      {kavro_archive_get_partition_size(&archive_, 16), ARCHIVE_ERR_INVALID_PARAMETERS},
  };
  for (std::size_t row = 0; row < std::size(values); ++row) {
    EXPECT_EQ(values[row].first, values[row].second) << "row " << row;
  }
  // A group needs every one of its partitions.
  ASSERT_EQ(open(standard_entries({{"\"misc\"", "\"custom_b\""}, {"\"rootfs\"", "\"custom_a\""}})),
            0);
  EXPECT_EQ(kavro_archive_contains_bootloaders(&archive_), 0);
  EXPECT_EQ(kavro_archive_contains_ota_parts(&archive_), 0);
}

TEST_F(ArchiveFiles, EveryPartitionReadsBackInEveryFormat) {
  for (Format format : {Format::seven_zip, Format::seven_zip_store, Format::zip}) {
    ASSERT_EQ(open(standard_entries(), format), 0);
    // Backwards, so that every positioning reopens the archive.
    for (int partition = PART_ROOTFS; partition >= PART_BOOTSTRAP; --partition) {
      ASSERT_EQ(kavro_archive_extract_setup(&archive_, partition), 0);
      EXPECT_EQ(read_entry(&archive_), standard_image(STANDARD_IMAGES[partition - 1].first));
    }
    ASSERT_EQ(kavro_archive_extract_setup_filename(&archive_, "manifest"), 0);
    EXPECT_EQ(read_entry(&archive_), bytes_of(STANDARD_MANIFEST));
    EXPECT_TRUE(read_entry(&archive_).empty()) << "the end of the data stays the end";
  }
}

TEST_F(ArchiveFiles, PositioningFaults) {
  const void* block = nullptr;
  std::size_t size = 0;
  int64_t offset = 0;
  const auto read_block = [&] {
    return kavro_archive_extract_block(&archive_, &block, &size, &offset);
  };
  auto entries = standard_entries();
  const std::string path = write(entries);
  ASSERT_EQ(kavro_archive_init(&archive_, path.c_str()), 0);
  EXPECT_EQ(read_block(), ARCHIVE_ERR_EXTRACT);
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, 0), ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, 16), ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_CUSTOM_A), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(kavro_archive_extract_setup_filename(&archive_, "c.bin"),
            ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(kavro_archive_extract_setup_filename(&archive_, nullptr),
            ARCHIVE_ERR_INVALID_PARAMETERS);
  // The archive changes on disk after it was listed: reordered, shortened, gone. A positioning that
  // fails drops the reader, so no block of whatever entry the walk stopped at comes out.
  std::swap(entries[1], entries[2]);
  const std::pair<std::vector<Entry>, int> changes[] = {
      {entries, ARCHIVE_ERR_PARTITION_NOT_FOUND},
      {{{"manifest", bytes_of("{}")}}, ARCHIVE_ERR_PARTITION_NOT_FOUND},
  };
  for (const auto& [changed, code] : changes) {
    write(standard_entries());
    ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_KERNEL), 0);
    write(changed);
    EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP), code);
    EXPECT_EQ(read_block(), ARCHIVE_ERR_EXTRACT);
  }
  write(standard_entries());
  ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_KERNEL), 0);
  std::filesystem::remove(path);
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP), ARCHIVE_ERR_OPEN);
  EXPECT_EQ(read_block(), ARCHIVE_ERR_EXTRACT);
  EXPECT_EQ(kavro_archive_get_partition_size(&archive_, PART_BOOTSTRAP), 4096);
}

TEST_F(ArchiveFiles, OperationsWithoutArchive) {
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
  kavro_archive_destroy(nullptr);
  kavro_archive_destroy(&none);
}

// The check prints its outcome; every case asserts the exact output.
struct SignatureCase {
  const char* entry;                          // the entry changed, "" for none
  std::optional<std::vector<uint8_t>> bytes;  // its new bytes; nothing renames it away
  bool on_disk_after_open;                    // changed only after the archive was listed
  uint32_t partition;
  int code;
  const char* output;  // regular expression
};

TEST_F(ArchiveFiles, SignatureCheck) {
  const std::string key = KAVRO_TEST_PUBLISHER_PRIVATE_KEY;
  auto changed = standard_image("bst.bin");
  changed[1000] ^= 1;
  const SignatureCase cases[] = {
      {"bst.bin", changed, false, PART_BOOTSTRAP, ARCHIVE_ERR_SIGNATURE,
       "Signature verification failed for bst\\.bin: [1-9][0-9]*\n"},
      {"bst.bin.sign", std::vector<uint8_t>(511), false, PART_BOOTSTRAP, ARCHIVE_ERR_SIGNATURE,
       "Sig size mismatch\n"},
      {"", {}, false, PART_OSLOADER, ARCHIVE_ERR_PARTITION_NOT_FOUND, "Not found 2\n"},
      {"", {}, false, 0, ARCHIVE_ERR_PARTITION_NOT_FOUND, "Not found\n"},
      {"", {}, false, PART_CUSTOM_A, ARCHIVE_ERR_PARTITION_NOT_FOUND, "Not found\n"},
      {"bst.bin.sign", std::nullopt, true, PART_BOOTSTRAP, ARCHIVE_ERR_SIGNATURE,
       "Failed to setup extract\n"},
      {"bst.bin", std::nullopt, true, PART_BOOTSTRAP, ARCHIVE_ERR_SIGNATURE,
       "Failed to setup extract 2\n"},
      // Data that ends early or runs long fails instead of being waited for.
      {"bst.bin.sign", std::vector<uint8_t>(100), true, PART_BOOTSTRAP, ARCHIVE_ERR_SIGNATURE,
       "Could not extract signature from archive\n"},
      {"bst.bin.sign", std::vector<uint8_t>(200000), true, PART_BOOTSTRAP, ARCHIVE_ERR_SIGNATURE,
       "Could not extract signature from archive\n"},
      {"bld.bin", bytes_of("short"), true, PART_BOOTLOADER, ARCHIVE_ERR_SIGNATURE,
       "Failed to extract block 2\n"},
  };
  auto signed_entries = standard_entries();
  for (const char* name : {"bst.bin", "bld.bin"}) {
    signed_entries.push_back(
        {std::string(name) + ".sign", kavro_pack::sign_bytes(standard_image(name), key)});
  }
  for (const SignatureCase& row : cases) {
    auto entries = signed_entries;
    for (auto& entry : entries) {
      if (entry.name == row.entry && row.bytes) {
        entry.content = *row.bytes;
      } else if (entry.name == row.entry) {
        entry.name += ".moved";
      }
    }
    ASSERT_EQ(open(row.on_disk_after_open ? signed_entries : entries), 0);
    write(entries);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kavro_archive_verify_signature(&archive_, row.partition), row.code) << row.output;
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), ::testing::MatchesRegex(row.output));
  }
  // Fixtures signed with the generated publisher key pass only where the program embeds it.
  if (!KAVRO_TEST_SIGNING_KEY_EMBEDDED) {
    GTEST_SKIP() << "the program embeds another publisher key";
  }
  for (Format format : {Format::seven_zip, Format::zip}) {
    ASSERT_EQ(open(signed_entries, format), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kavro_archive_verify_signature(&archive_, PART_BOOTLOADER), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Signature verification passed for bld.bin\n");
    ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP), 0);
    EXPECT_EQ(read_entry(&archive_), standard_image("bst.bin"));
  }
}

}  // namespace
}  // namespace firmware_test
