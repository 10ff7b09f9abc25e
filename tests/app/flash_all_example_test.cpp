// examples/flash-all.sh driving kavro-flash-sim: every hardware-mode module is flashed and
// reported on one line with its device path and result.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/fixture_files.h"
#include "tests/support/subprocess.h"

namespace {

test_support::ProcessResult run_example(const std::string& config,
                                        const std::vector<std::string>& arguments,
                                        const std::string& program = KAVRO_FLASH_SIM_BINARY,
                                        const std::string& reply_seconds = "60") {
  std::vector<std::string> all{KAVRO_FLASH_ALL_SCRIPT};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return test_support::run_process("/bin/bash", all,
                                   {{"KAVRO_FLASH", program},
                                    {"KAVRO_SIM_CONFIG", config},
                                    {"KAVRO_POLL_SECONDS", "0.1"},
                                    {"KAVRO_REPLY_SECONDS", reply_seconds}});
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

// A kavro-flash that cannot be talked to ends the script with status 2 and one message, within
// the response time limit, never a hang.
TEST(FlashAllExample, GivesUpOnAProgramThatCannotBeTalkedTo) {
  struct Case {
    const char* name;
    const char* fake;  // shell script standing in for kavro-flash; empty: the real one
    std::vector<std::string> arguments;
    const char* message;
    const char* reply_seconds = "1";
  };
  const Case cases[] = {
      {"ends at start-up",
       "",
       {"-o", "ota.7z", "-p", "public.bin"},
       "flash-all: kavro-flash ended with exit status 11\n"},
      {"never answers",
       "while read -r line; do :; done\n",
       {"-o", "ota.7z"},
       "flash-all: no response to [1 1] within 1 seconds\n"},
      {"closes its output and keeps running",
       "exec >&-\nwhile read -r line; do :; done\n",
       {"-o", "ota.7z"},
       "flash-all: kavro-flash ended with exit status 143\n"},
      {"fractional time limit",
       "",
       {"-o", "ota.7z"},
       "flash-all: KAVRO_REPLY_SECONDS must be a whole number of seconds\n",
       "0.5"},
  };
  const auto config = fixture::sim_config("example-keys.json", {fixture::module("6-6", "cv22")});
  for (const auto& test : cases) {
    std::string program = KAVRO_FLASH_SIM_BINARY;
    if (*test.fake != '\0') {
      program = fixture::files().write_file("fake-" + std::to_string(&test - cases) + ".sh",
                                            std::string("#!/bin/sh\n") + test.fake);
      std::filesystem::permissions(program, std::filesystem::perms::owner_exec,
                                   std::filesystem::perm_options::add);
    }
    const auto result = run_example(config, test.arguments, program, test.reply_seconds);
    EXPECT_EQ(result.out, "") << test.name;
    EXPECT_EQ(result.err, test.message) << test.name;
    EXPECT_EQ(result.exit_status, 2) << test.name;
  }
}

}  // namespace
