// The publisher signature check of a partition's file against its ".sign" companion. Its
// outcome is printed, so every case asserts the exact output.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/firmware/archive_fixture.h"

namespace {

using archive_test::ArchiveTest;
using archive_test::bytes_of;
using archive_test::FirmwareLayout;
using kavro_pack::Entry;
using kavro_pack::Format;
using ::testing::MatchesRegex;

const char* const PUBLISHER_KEY = KAVRO_TEST_PUBLISHER_PRIVATE_KEY;
const char* const OTHER_KEY = KAVRO_TEST_OTHER_PRIVATE_KEY;

class SignatureTest : public ArchiveTest {
 protected:
  // Fixtures signed with the generated publisher key pass only where the program embeds it.
  static bool signing_key_embedded() { return KAVRO_TEST_SIGNING_KEY_EMBEDDED != 0; }

  // The standard layout with bst.bin and bld.bin signed by the publisher.
  std::vector<Entry> signed_entries() {
    auto entries = layout_.entries();
    for (const char* name : {"bst.bin", "bld.bin"}) {
      entries.push_back({std::string(name) + ".sign",
                         kavro_pack::sign_bytes(layout_.image(name), PUBLISHER_KEY)});
    }
    return entries;
  }

  static void replace(std::vector<Entry>& entries, std::string_view name,
                      std::vector<uint8_t> bytes) {
    for (auto& entry : entries) {
      if (entry.name == name) {
        entry.content = std::move(bytes);
      }
    }
  }

  // Runs the check and returns its code; `output` receives what it printed.
  int verify(uint32_t partition, std::string& output) {
    ::testing::internal::CaptureStdout();
    const int result = kavro_archive_verify_signature(&archive_, partition);
    output = ::testing::internal::GetCapturedStdout();
    return result;
  }

  FirmwareLayout layout_;
};

TEST_F(SignatureTest, PublisherSignaturesPass) {
  if (!signing_key_embedded()) {
    GTEST_SKIP() << "the program embeds another publisher key";
  }
  for (Format format : {Format::seven_zip, Format::zip}) {
    ASSERT_EQ(open(signed_entries(), format), 0);
    std::string output;
    EXPECT_EQ(verify(PART_BOOTSTRAP, output), 0);
    EXPECT_EQ(output, "Signature verification passed for bst.bin\n");
    EXPECT_EQ(verify(PART_BOOTLOADER, output), 0);
    EXPECT_EQ(output, "Signature verification passed for bld.bin\n");
  }
}

TEST_F(SignatureTest, ExtractionWorksAfterCheck) {
  if (!signing_key_embedded()) {
    GTEST_SKIP() << "the program embeds another publisher key";
  }
  ASSERT_EQ(open(signed_entries()), 0);
  std::string output;
  ASSERT_EQ(verify(PART_BOOTLOADER, output), 0);
  ASSERT_EQ(kavro_archive_extract_setup(&archive_, PART_BOOTSTRAP), 0);
  EXPECT_EQ(archive_test::read_to_end(&archive_).bytes, layout_.image("bst.bin"));
}

// A changed data file, a signature of another key and a companion made over another file all
// fail the verification itself, not the lookup.
TEST_F(SignatureTest, SignatureNotMatchingTheDataFileFails) {
  auto changed = layout_.image("bst.bin");
  changed[1000] ^= 0x01;
  const std::pair<std::string_view, std::vector<uint8_t>> replacements[] = {
      {"bst.bin", changed},
      {"bst.bin.sign", kavro_pack::sign_bytes(layout_.image("bst.bin"), OTHER_KEY)},
      {"bst.bin.sign", kavro_pack::sign_bytes(layout_.image("bld.bin"), PUBLISHER_KEY)},
  };
  for (const auto& [name, bytes] : replacements) {
    auto entries = signed_entries();
    replace(entries, name, bytes);
    ASSERT_EQ(open(entries), 0);
    std::string output;
    EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_SIGNATURE) << name;
    EXPECT_THAT(output, MatchesRegex("Signature verification failed for bst\\.bin: [1-9][0-9]*\n"));
  }
}

TEST_F(SignatureTest, CompanionOfWrongSizeIsRejected) {
  for (std::size_t size : {511u, 513u, 0u}) {
    auto entries = signed_entries();
    auto signature = kavro_pack::sign_bytes(layout_.image("bst.bin"), PUBLISHER_KEY);
    signature.resize(size);
    replace(entries, "bst.bin.sign", signature);
    ASSERT_EQ(open(entries), 0);
    std::string output;
    EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_SIGNATURE) << size;
    EXPECT_EQ(output, "Sig size mismatch\n") << size;
  }
}

TEST_F(SignatureTest, MissingCompanion) {
  ASSERT_EQ(open(layout_.entries()), 0);
  std::string output;
  EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(output, "Not found 2\n");
}

TEST_F(SignatureTest, CompanionInAnotherFolderIsNotTheCompanion) {
  auto entries = signed_entries();
  for (auto& entry : entries) {
    if (entry.name == "bst.bin.sign") {
      entry.name = "signatures/bst.bin.sign";
    }
  }
  ASSERT_EQ(open(entries), 0);
  std::string output;
  EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(output, "Not found 2\n");
}

TEST_F(SignatureTest, PartitionNotSupplied) {
  layout_.erase_partition("bootstrap");
  ASSERT_EQ(open(signed_entries()), 0);
  std::string output;
  EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(output, "Not found\n");
  // Identifiers outside the chart name no partition file, not the entries no partition names.
  EXPECT_EQ(verify(0, output), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(output, "Not found\n");
  EXPECT_EQ(verify(16, output), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  EXPECT_EQ(output, "Not found\n");
}

TEST_F(SignatureTest, NoArchiveIsInvalidAndSilent) {
  std::string output;
  EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_INVALID_PARAMETERS);
  EXPECT_EQ(output, "");
}

TEST_F(SignatureTest, VanishedArchiveFailsPositioning) {
  const auto path = write(signed_entries());
  ASSERT_EQ(open(path), 0);
  std::filesystem::remove(path);
  std::string output;
  EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_SIGNATURE);
  EXPECT_EQ(output, "Failed to setup extract\n");
}

TEST_F(SignatureTest, DataFileMovedOnDiskFailsItsPositioning) {
  auto entries = signed_entries();
  const auto path = write(entries);
  ASSERT_EQ(open(path), 0);
  std::swap(entries[1], entries[2]);  // bst.bin and bld.bin trade places; companions stay
  write(entries);
  std::string output;
  EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_SIGNATURE);
  EXPECT_EQ(output, "Failed to setup extract 2\n");
}

// The archive is swapped on disk after it was opened for one whose entries are shorter than
// the sizes listed at open: the data ends early, and the check must fail rather than keep
// asking for more.
TEST_F(SignatureTest, SignatureDataEndingEarlyFails) {
  const auto entries = signed_entries();
  const auto path = write(entries);
  ASSERT_EQ(open(path), 0);
  auto shorter = entries;
  replace(shorter, "bst.bin.sign", std::vector<uint8_t>(100, 0x5a));
  write(shorter);
  std::string output;
  EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_SIGNATURE);
  EXPECT_EQ(output, "Could not extract signature from archive\n");
}

TEST_F(SignatureTest, SignatureDataRunningLongFails) {
  const auto entries = signed_entries();
  const auto path = write(entries, Format::seven_zip_store);
  ASSERT_EQ(open(path), 0);
  auto longer = entries;
  replace(longer, "bst.bin.sign", std::vector<uint8_t>(200000, 0x5a));
  write(longer, Format::seven_zip_store);
  std::string output;
  EXPECT_EQ(verify(PART_BOOTSTRAP, output), ARCHIVE_ERR_SIGNATURE);
  EXPECT_EQ(output, "Could not extract signature from archive\n");
}

TEST_F(SignatureTest, FileDataEndingEarlyFails) {
  const auto entries = signed_entries();
  const auto path = write(entries);
  ASSERT_EQ(open(path), 0);
  auto shorter = entries;
  replace(shorter, "bld.bin", bytes_of("short"));
  write(shorter);
  std::string output;
  EXPECT_EQ(verify(PART_BOOTLOADER, output), ARCHIVE_ERR_SIGNATURE);
  EXPECT_EQ(output, "Failed to extract block 2\n");
}

}  // namespace
