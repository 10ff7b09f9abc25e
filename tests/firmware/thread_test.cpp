// Sessions open their archives and parse their bring-up scripts on threads of their own, possibly
// at the same moment and before anything else has touched the built-in data.

#include <latch>
#include <thread>

#include "firmware/bringup_script.h"
#include "tests/firmware/firmware_test_files.h"

namespace firmware_test {
namespace {

constexpr int THREADS = 6;

// Assertions from several threads are safe where gtest has pthreads, as here.
TEST(FirmwareThreads, ConcurrentFirstUseOfBuiltInArchivesAndScripts) {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  std::latch start(THREADS);
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) {
    threads.emplace_back([&start, i] {
      const char* platform = i % 2 == 0 ? "cv22" : "cv25";
      start.arrive_and_wait();
      kavro_archive_t* archive = nullptr;
      EXPECT_EQ(kavro_archive_init_embedded(&archive, platform, 0), 0);
      EXPECT_EQ(kavro_archive_extract_setup(&archive, PART_BOOTLOADER), 0);
      EXPECT_EQ(static_cast<int64_t>(read_entry(&archive).size()),
                kavro_archive_get_partition_size(&archive, PART_BOOTLOADER));
      kavro_archive_destroy(&archive);
      ads_handle* script = nullptr;
      EXPECT_EQ(kavro_ads_init(&script, platform, 0), 0);
      uint32_t type = 0, a = 0, b = 0, c = 0;
      int commands = 0;
      while (kavro_ads_get_next_command(&script, &type, &a, &b, &c) == 0) {
        ++commands;
      }
      EXPECT_EQ(commands, i % 2 == 0 ? 89 : 110) << platform;
      kavro_ads_destroy(&script);
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
}

}  // namespace
}  // namespace firmware_test
