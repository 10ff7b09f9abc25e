// The decoded-archive store shared by every record of the process: records opened at once or
// while the decode is under way read one decoding, a file replaced on disk is a new archive,
// and a temporary file that cannot be written fails the archive before any byte is handed out.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <latch>
#include <thread>

#include "firmware/archive_store.h"
#include "tests/firmware/archive_fixture.h"

namespace {

using archive_test::ArchiveTest;
using archive_test::FirmwareLayout;
using archive_test::read_to_end;

// Small enough that the layout's larger images go to the temporary file.
constexpr int64_t WINDOW = 128 << 10;

class StoreTest : public ArchiveTest {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    archive_store::set_memory_window_for_tests(WINDOW);
    layout_.add_partition("custom_a", "big.bin", 3 << 20);
  }
  void TearDown() override {
    ArchiveTest::TearDown();
    archive_store::set_memory_window_for_tests(int64_t{64} << 20);
  }

  std::vector<uint8_t> extract(kavro_archive_t** archive, int partition) {
    EXPECT_EQ(kavro_archive_extract_setup(archive, partition), 0);
    return read_to_end(archive, 8 << 20).bytes;
  }

  FirmwareLayout layout_;
};

TEST_F(StoreTest, SessionsOpenedAtOnceAndMidwayShareOneDecoding) {
  const auto path = write(layout_.entries());
  std::latch opened(2);
  std::vector<uint8_t> read[3];
  std::thread sessions[2];
  for (int i = 0; i < 2; ++i) {
    sessions[i] = std::thread([&, i] {
      kavro_archive_t* archive = nullptr;
      EXPECT_EQ(kavro_archive_init(&archive, path.c_str()), 0);
      opened.arrive_and_wait();
      read[i] = extract(&archive, PART_CUSTOM_A);
      EXPECT_EQ(extract(&archive, PART_BOOTSTRAP), layout_.image("bst.bin"));
      kavro_archive_destroy(&archive);
    });
  }
  opened.wait();
  // A third record joins while the others may still be decoding and reading.
  ASSERT_EQ(open(path), 0);
  read[2] = extract(&archive_, PART_CUSTOM_A);
  for (auto& session : sessions) {
    session.join();
  }
  for (const auto& bytes : read) {
    EXPECT_EQ(bytes, layout_.image("big.bin"));
  }
  EXPECT_EQ(archive_store::decoded_file(path), archive_store::decoded_file(path));
}

TEST_F(StoreTest, FileReplacedOnDiskIsANewArchive) {
  const auto path = write(layout_.entries());
  ASSERT_EQ(open(path), 0);
  const auto first = archive_store::decoded_file(path);
  // The same entries at the same places in another file: the record reads the file as it is.
  write(layout_.entries(), kavro_pack::Format::zip);
  EXPECT_NE(archive_store::decoded_file(path), first);
  EXPECT_EQ(extract(&archive_, PART_CUSTOM_A), layout_.image("big.bin"));
  // Other bytes, one place later: no longer the entry that was listed.
  FirmwareLayout replacement;
  replacement.add_entry("pad.bin", archive_test::patterned_image(10, 9));
  replacement.add_partition("custom_a", "big.bin", 3 << 20);
  write(replacement.entries());
  EXPECT_EQ(kavro_archive_extract_setup(&archive_, PART_CUSTOM_A), ARCHIVE_ERR_PARTITION_NOT_FOUND);
  kavro_archive_t* reopened = nullptr;
  ASSERT_EQ(kavro_archive_init(&reopened, path.c_str()), 0);
  const auto replaced = extract(&reopened, PART_CUSTOM_A);
  EXPECT_EQ(replaced, replacement.image("big.bin"));
  EXPECT_NE(replaced, layout_.image("big.bin"));
  kavro_archive_destroy(&reopened);
}

TEST_F(StoreTest, TemporaryFileThatCannotGrowFailsTheOpen) {
  const auto path = write(layout_.entries());
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  rlimit small = limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_EQ(open(path), ARCHIVE_ERR_EXTRACT);
  EXPECT_EQ(archive_, nullptr);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  // Once there is room again the archive decodes afresh.
  ASSERT_EQ(open(path), 0);
  EXPECT_EQ(extract(&archive_, PART_CUSTOM_A), layout_.image("big.bin"));
}

}  // namespace
