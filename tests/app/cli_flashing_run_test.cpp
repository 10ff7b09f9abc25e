// The interactive road of kavro-flash-sim: input checks, platform selection, waiting for a
// module, one flash session and the outcome, checked on the exact bytes written to standard
// output, the exit status and what the simulated modules received.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/fixture_files.h"
#include "tests/support/subprocess.h"

namespace {

using fixture::base_file;
using fixture::flash_dir;
using fixture::module;
using fixture::ota;
using fixture::ota_file;
using fixture::sim_config;
using test_support::FirmwareArchive;
using test_support::ProcessResult;

const std::string kFlashSim = KAVRO_FLASH_SIM_BINARY;

const std::string kStartOfRun =
    "Checking input files\r\n"
    "Waiting for device to connect\r\n"
    "Found connected device\r\n"
    "Begin flashing process\r\n";
const std::string kSuccess = "Flashing completed successfully\r\n";

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class FlashingRun : public testing::Test {
 protected:
  static ProcessResult run(const std::string& config, const std::vector<std::string>& arguments) {
    return test_support::run_process(kFlashSim, arguments, {{"KAVRO_SIM_CONFIG", config}});
  }

  // Every OTA image reached the module's flash folder byte for byte.
  static void expect_ota_images_in(const std::string& folder, const FirmwareArchive& archive) {
    for (const char* name : {"bda.bin", "mta.bin", "kna.bin", "rfa.bin"}) {
      EXPECT_EQ(fixture::read_file(folder + "/" + name), archive.image(name))
          << folder << "/" << name;
    }
  }
};

// Only one line while waiting, however many polls it takes for the module to arrive.
TEST_F(FlashingRun, FlashesTheModuleOnceItArrives) {
  const auto config =
      sim_config("late.json", {module("3-2", "cv22", ", \"attach_after_ms\": 1500")});
  const auto result = run(config, {"-o", ota_file("cv22")});
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_TRUE(result.out.starts_with(kStartOfRun)) << result.out;
  EXPECT_EQ(occurrences(result.out, "Waiting for device to connect"), 1u);
  EXPECT_TRUE(result.out.ends_with(kSuccess)) << result.out;
  expect_ota_images_in(flash_dir("3-2"), ota("cv22", 1));
}

// The cv22 module sits in slot 1 behind a cv25 module; only it is flashed.
TEST_F(FlashingRun, PicksTheModuleOfTheFirmwarePlatform) {
  const auto config = sim_config("two.json", {module("3-3", "cv25"), module("3-4", "cv22")});
  const auto result = run(config, {"-o", ota_file("cv22")});
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  expect_ota_images_in(flash_dir("3-4"), ota("cv22", 1));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(flash_dir("3-3")) / "bda.bin"));
}

// A platform text that only begins with a known name selects that name's row.
TEST_F(FlashingRun, PlatformMatchesByItsBeginning) {
  const auto config = sim_config("longer.json", {module("3-5", "cv22")});
  const auto result = run(config, {"-o", ota_file("cv22-lite", 2)});
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  expect_ota_images_in(flash_dir("3-5"), ota("cv22-lite", 2));
}

// With -b alone the base archive's platform picks the module: here the cv25 one.
TEST_F(FlashingRun, BaseArchiveAloneChoosesThePlatform) {
  const auto config = sim_config("base-only.json", {module("3-6", "cv22"), module("3-7", "cv25")});
  const auto base = base_file("full-cv25.7z", "cv25", true);
  const auto result = run(config, {"-b", base});
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_TRUE(result.out.ends_with(kSuccess));
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(flash_dir("3-7")) / "rfa.bin"));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(flash_dir("3-6")) / "rfa.bin"));
}

// Paths are passed on whole: an archive behind a path far beyond 260 characters is flashed.
TEST_F(FlashingRun, LongArchivePathIsKeptWhole) {
  std::string folder = "long";
  for (int level = 0; level < 12; ++level) {
    folder += "/a-rather-long-folder-name-" + std::to_string(level);
  }
  const std::string archive = fixture::path(folder + "/ota.7z");
  ASSERT_GT(archive.size(), 300u);
  std::filesystem::create_directories(std::filesystem::path(archive).parent_path());
  std::filesystem::copy_file(ota_file("cv22"), archive,
                             std::filesystem::copy_options::overwrite_existing);
  const auto config = sim_config("long-path.json", {module("3-8", "cv22")});
  const auto result = run(config, {"-o", archive});
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  expect_ota_images_in(flash_dir("3-8"), ota("cv22", 1));
}

// Input files that fail their check end the run before any module is touched.
TEST_F(FlashingRun, BadInputFiles) {
  const auto bad = fixture::files().write_file("not-an-archive.7z", "just text\n");
  const auto settings = fixture::files().write_file("broken-settings.json", "{\"settings\": ");
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
    int exit_status;
  };
  const Case cases[] = {
      {{"-o", bad}, "Invalid OTA file '" + bad + "' provided\r\n", 5},
      {{"-b", bad, "-o", ota_file("cv22")}, "Invalid firmware file '" + bad + "' provided\r\n", 5},
      // No base archive is built in for cv28: it needs -b.
      {{"-o", ota_file("cv28", 3)}, "Unable to construct full firmware file for flashing\r\n", 5},
      {{"-o", ota_file("cv22"), "-s", settings},
       "Parsing settings json file '" + settings + "' failed\r\n",
       6},
  };
  const auto config = sim_config("bad-inputs.json", {module("4-1", "cv22"), module("4-4", "cv28")});
  for (const auto& test : cases) {
    const auto result = run(config, test.arguments);
    EXPECT_EQ(result.out, "Checking input files\r\n" + test.message);
    EXPECT_EQ(result.exit_status, test.exit_status) << test.message;
  }
  for (const char* port : {"4-1", "4-4"}) {
    EXPECT_FALSE(std::filesystem::exists(flash_dir(port) + "/bst.bin")) << port;
  }
}

TEST_F(FlashingRun, BaseArchiveWithBadSignature) {
  const auto config = sim_config("bad-sign.json", {module("4-3", "cv22")});
  const auto base = base_file("bad-sign-cv22.7z", "cv22", false, true);
  const auto result = run(config, {"-b", base, "-o", ota_file("cv22")});
  // The archive module names the failing file and the crypto library's error code.
  EXPECT_TRUE(
      result.out.starts_with("Checking input files\r\nSignature verification failed for bst.bin: "))
      << result.out;
  EXPECT_TRUE(result.out.ends_with("\nSignature verification failed\n")) << result.out;
  EXPECT_EQ(occurrences(result.out, "\n"), 3u) << result.out;
  EXPECT_EQ(result.exit_status, 5);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(flash_dir("4-3")) / "bst.bin"));
}

// A signed base archive for a platform no product has, with settings of its own so that
// nothing before the platform selection fails.
TEST_F(FlashingRun, NoProductForTheFirmwarePlatform) {
  const auto config = sim_config("unknown.json", {module("4-6", "cv22")});
  const auto base = base_file("unknown-platform.7z", "xyz", true);
  const auto settings = fixture::files().write_file(
      "xyz-settings.json",
      "{\"settings\": {\"platform\": \"xyz\", \"partitions\": {\"ota_enabled\": false, "
      "\"kernel_maxsize\": 1048576, \"rootfs_maxsize\": 1048576}}}");
  const auto result = run(config, {"-b", base, "-s", settings});
  EXPECT_EQ(result.out,
            "Checking input files\r\n"
            "Signature verification passed for bst.bin\n"
            "Signature verification passed for bld.bin\n"
            "No matching platform found\r\n");
  EXPECT_EQ(result.exit_status, 7);
}

// The module answers the first image header with status 5: the session fails and the pair
// is explained in red.
TEST_F(FlashingRun, DeviceStatusFailureEndsWithExitNine) {
  const auto config = sim_config(
      "status.json", {module("4-7", "cv22",
                             ", \"faults\": [{\"kind\": \"status\", \"command\": \"image_header\", "
                             "\"occurrence\": 1, \"status\": 5}]")});
  const auto result = run(config, {"-o", ota_file("cv22")});
  EXPECT_TRUE(result.out.starts_with(kStartOfRun)) << result.out;
  EXPECT_TRUE(
      result.out.ends_with("Error occured during flashing: -22:5\r\n"
                           "\033[31mError returned from device:\033[0m\n"
                           "\033[31mCRC mismatch on received data\033[0m\n"))
      << result.out;
  EXPECT_EQ(result.exit_status, 9);
}

}  // namespace
