// examples/flash-all.sh driving kavro-flash-sim: every hardware-mode module is flashed and
// reported on one line with its device path and result.
#include <gtest/gtest.h>

#include <string>

#include "tests/app/fixture_files.h"
#include "tests/support/subprocess.h"

namespace {

test_support::ProcessResult run_example(const std::string& config,
                                        const std::vector<std::string>& arguments) {
  std::vector<std::string> all{KAVRO_FLASH_ALL_SCRIPT};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return test_support::run_process("/bin/bash", all,
                                   {{"KAVRO_FLASH", KAVRO_FLASH_SIM_BINARY},
                                    {"KAVRO_SIM_CONFIG", config},
                                    {"KAVRO_POLL_SECONDS", "0.1"}});
}

TEST(FlashAllExample, FlashesEveryModuleAndReportsEach) {
  const auto config = fixture::sim_config(
      "example.json",
      {fixture::module("6-1", "cv22"),
       fixture::module("6-2", "cv22",
                       ", \"faults\": [{\"kind\": \"status\", \"command\": \"image_header\", "
                       "\"occurrence\": 1, \"status\": 5}]"),
       fixture::module("6-3", "cv22")});
  const auto result = run_example(config, {"-o", fixture::ota_file("cv22")});
  EXPECT_EQ(result.out,
            "6-1: done\n"
            "6-2: failed (error -22, sub error 5)\n"
            "6-3: done\n");
  EXPECT_EQ(result.exit_status, 1) << result.err;
  EXPECT_EQ(fixture::read_file(fixture::flash_dir("6-3") + "/rfa.bin"),
            fixture::ota("cv22").image("rfa.bin"));
}

TEST(FlashAllExample, AllFlashedMeansSuccess) {
  const auto config = fixture::sim_config(
      "example-ok.json", {fixture::module("6-4", "cv22"), fixture::module("6-5", "cv22")});
  const auto result = run_example(config, {"-o", fixture::ota_file("cv22")});
  EXPECT_EQ(result.out, "6-4: done\n6-5: done\n");
  EXPECT_EQ(result.exit_status, 0) << result.err;
}

TEST(FlashAllExample, ReportsAProgramThatEndsAtStartUp) {
  const auto config = fixture::sim_config("example-keys.json", {fixture::module("6-6", "cv22")});
  const auto result = run_example(config, {"-o", "ota.7z", "-p", "public.bin"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "flash-all: kavro-flash ended with exit status 11\n");
  EXPECT_EQ(result.exit_status, 2);
}

}  // namespace
