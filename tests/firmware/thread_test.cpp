// Sessions open their archives and parse their bring-up scripts on threads of
// their own, possibly at the same moment and before anything else has touched
// the built-in data.

#include <latch>
#include <thread>

#include "firmware/bringup_script.h"
#include "tests/firmware/firmware_test_files.h"

namespace firmware_test {
namespace {

constexpr int THREADS = 6;

struct ThreadResult {
  int64_t bootloader_size = -1;
  std::size_t bytes_read = 0;
  int commands = 0;
};

TEST(FirmwareThreads, ConcurrentFirstUseOfBuiltInArchivesAndScripts) {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  std::latch start(THREADS);
  std::vector<ThreadResult> results(THREADS);
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) {
    threads.emplace_back([&start, &result = results[i], i] {
      const char* platform = i % 2 == 0 ? "cv22" : "cv25";
      start.arrive_and_wait();
      kavro_archive_t* archive = nullptr;
      if (kavro_archive_init_embedded(&archive, platform, 0) == 0 &&
          kavro_archive_extract_setup(&archive, PART_BOOTLOADER) == 0) {
        result.bootloader_size = kavro_archive_get_partition_size(&archive, PART_BOOTLOADER);
        result.bytes_read = read_entry(&archive).size();
      }
      kavro_archive_destroy(&archive);
      ads_handle* script = nullptr;
      uint32_t type = 0, a = 0, b = 0, c = 0;
      for (kavro_ads_init(&script, platform, 0);
           kavro_ads_get_next_command(&script, &type, &a, &b, &c) == 0; ++result.commands) {
      }
      kavro_ads_destroy(&script);
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (int i = 0; i < THREADS; ++i) {
    EXPECT_GT(results[i].bootloader_size, 0) << i;
    EXPECT_EQ(static_cast<int64_t>(results[i].bytes_read), results[i].bootloader_size) << i;
    EXPECT_EQ(results[i].commands, i % 2 == 0 ? 89 : 110) << i;
  }
}

}  // namespace
}  // namespace firmware_test
