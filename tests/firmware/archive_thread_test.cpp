// Sessions open their archives on threads of their own, possibly at the same moment and
// before anything else has touched the built-in base archives.

#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "firmware/archive.h"
#include "tests/firmware/archive_fixture.h"

namespace {

constexpr int THREADS = 6;

struct ThreadResult {
  int open = -1;
  int64_t bootloader_size = -1;
  std::size_t bytes_read = 0;
};

TEST(ArchiveThreads, ConcurrentFirstOpensOfBuiltInArchives) {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  std::latch start(THREADS);
  std::vector<ThreadResult> results(THREADS);
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) {
    threads.emplace_back([&start, &result = results[i], i] {
      start.arrive_and_wait();
      kavro_archive_t* archive = nullptr;
      result.open = kavro_archive_init_embedded(&archive, i % 2 == 0 ? "cv22" : "cv25", 0);
      result.bootloader_size = kavro_archive_get_partition_size(&archive, PART_BOOTLOADER);
      if (kavro_archive_extract_setup(&archive, PART_BOOTLOADER) == 0) {
        result.bytes_read = archive_test::read_to_end(&archive).bytes.size();
      }
      kavro_archive_destroy(&archive);
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (int i = 0; i < THREADS; ++i) {
    EXPECT_EQ(results[i].open, 0) << i;
    EXPECT_GT(results[i].bootloader_size, 0) << i;
    EXPECT_EQ(static_cast<int64_t>(results[i].bytes_read), results[i].bootloader_size) << i;
  }
}

}  // namespace
