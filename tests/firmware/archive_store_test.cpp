// The decoded-archive store shared by every record of the process: records opened at once or
// while the decode is under way read one decoding, a file replaced on disk is a new archive,
// and a temporary file that cannot be written fails the archive before any byte is handed out.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <latch>
#include <thread>

#include "firmware/archive_store.h"
#include "tests/firmware/firmware_test_files.h"

namespace {

using firmware_test::Entry;
using firmware_test::pattern;
using firmware_test::read_entry;

// Small enough that the larger images go to the temporary file.
constexpr int64_t WINDOW = 128 << 10;
constexpr std::size_t BIG_SIZE = 3 << 20;

// The standard archive with a custom partition of BIG_SIZE bytes, drawn from `seed`, placed
// after `padding` (an extra leading entry when not empty).
std::vector<Entry> entries_with_big_image(unsigned seed, std::size_t padding = 0) {
  auto entries = firmware_test::standard_entries(
      {{"\"rootfs\": {",
        R"("custom_a": {"filename": "big.bin", "filesize": 3145728}, "rootfs": {)"}});
  if (padding > 0) {
    entries.insert(entries.begin() + 1, Entry{"pad.bin", pattern(padding, 9)});
  }
  entries.push_back({"big.bin", pattern(BIG_SIZE, seed)});
  return entries;
}

class StoreTest : public firmware_test::ArchiveFiles {
 protected:
  void SetUp() override {
    ArchiveFiles::SetUp();
    archive_store::set_memory_window_for_tests(WINDOW);
  }
  void TearDown() override {
    ArchiveFiles::TearDown();
    archive_store::set_memory_window_for_tests(int64_t{64} << 20);
  }

  int open_file(const std::string& path) {
    kavro_archive_destroy(&archive_);
    return kavro_archive_init(&archive_, path.c_str());
  }
  std::vector<uint8_t> extract(kavro_archive_t** archive, int partition) {
    EXPECT_EQ(kavro_archive_extract_setup(archive, partition), 0);
    return read_entry(archive);
  }
};

TEST_F(StoreTest, SessionsOpenedAtOnceAndMidwayShareOneDecoding) {
  const auto path = write(entries_with_big_image(1));
  std::latch opened(2);
  std::vector<uint8_t> read[3];
  std::thread sessions[2];
  for (int i = 0; i < 2; ++i) {
    sessions[i] = std::thread([&, i] {
      kavro_archive_t* archive = nullptr;
      EXPECT_EQ(kavro_archive_init(&archive, path.c_str()), 0);
      opened.arrive_and_wait();
      read[i] = extract(&archive, PART_CUSTOM_A);
      EXPECT_EQ(extract(&archive, PART_BOOTSTRAP), firmware_test::standard_image("bst.bin"));
      kavro_archive_destroy(&archive);
    });
  }
  opened.wait();
  // A third record joins while the others may still be decoding and reading.
  ASSERT_EQ(open_file(path), 0);
  read[2] = extract(&archive_, PART_CUSTOM_A);
  for (auto& session : sessions) {
    session.join();
  }
  for (const auto& bytes : read) {
    EXPECT_EQ(bytes, pattern(BIG_SIZE, 1));
  }
  EXPECT_EQ(archive_store::decoded_file(path), archive_store::decoded_file(path));
}

TEST_F(StoreTest, FileReplacedOnDiskIsANewArchive) {
  const auto path = write(entries_with_big_image(1));
  ASSERT_EQ(open_file(path), 0);
  const auto first = archive_store::decoded_file(path);
  // The same entries at the same places in another file: the record reads the file as it is.
  write(entries_with_big_image(1), firmware_test::Format::zip);
  EXPECT_NE(archive_store::decoded_file(path), first);
  EXPECT_EQ(extract(&archive_, PART_CUSTOM_A), pattern(BIG_SIZE, 1));
  // Other bytes, one place later: no longer the entry that was listed.
  write(entries_with_big_image(2, 10));
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_CUSTOM_A), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  kavro_archive_t* reopened = nullptr;
  ASSERT_EQ(kavro_archive_init(&reopened, path.c_str()), 0);
  EXPECT_EQ(extract(&reopened, PART_CUSTOM_A), pattern(BIG_SIZE, 2));
  kavro_archive_destroy(&reopened);
}

TEST_F(StoreTest, TemporaryFileThatCannotGrowFailsTheOpen) {
  const auto path = write(entries_with_big_image(1));
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  rlimit small = limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_EQ(open_file(path), ARCHIVE_ERR_EXTRACT);
  EXPECT_EQ(archive_, nullptr);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  // Once there is room again the archive decodes afresh.
  ASSERT_EQ(open_file(path), 0);
  EXPECT_EQ(extract(&archive_, PART_CUSTOM_A), pattern(BIG_SIZE, 1));
}

}  // namespace
