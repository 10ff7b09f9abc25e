// kavro-flash-sim as a person or a script runs it, as a child process: every way a command line
// ends before a module is touched, one interactive flash checked byte for byte,
// examples/flash-all.sh, and the automation protocol over pipes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/app/fixtures.h"
#include "tests/support/subprocess.h"
#include "tests/support/test_keys.h"

namespace {

using std::chrono::seconds;
using test_support::ChildProcess;
using test_support::run_process;

const std::string kFlashSim = KAVRO_FLASH_SIM_BINARY;
// A module that refuses the first image header with status 5 ("CRC mismatch").
const std::string kRefusesImageHeader =
    R"(, "faults": [{"kind": "status", "command": 2, "status": 5}])";

// The file a command line names as "@name", made on first use from its file name: keys, blobs
// of the size in their name, archives and settings. Names beginning with "missing" stay absent.
std::string fixture_file(const std::string& name) {
  const std::filesystem::path path = fixture::path(name);
  const std::string base = path.filename().string();
  if (std::filesystem::exists(path) || base.starts_with("missing")) {
    return path;
  }
  std::filesystem::create_directories(path.parent_path());
  static const auto rsa = test_support::make_rsa_key(2048);
  if (base == "ota.7z" || base == "cv28.7z") {
    std::filesystem::copy_file(fixture::ota_file(base == "ota.7z" ? "cv22" : "cv28"), path);
  } else if (base == "bad-sign.7z" || base == "xyz.7z") {
    // Signed base archives: one whose bootstrap signature is broken, one for no known platform.
    test_support::FirmwareArchive archive(base == "xyz.7z" ? "xyz" : "cv22");
    archive.add_boot_chain(std::filesystem::path(KAVRO_GENERATED_IMAGES_DIR) / "base2");
    archive.add_ota_images(7).sign_boot_chain(KAVRO_PUBLISHER_PRIVATE_KEY, base != "xyz.7z");
    archive.write(path);
  } else if (base == "xyz.json") {
    fixture::files().write_file(name, R"({"settings": {"platform": "xyz", "partitions": {
        "ota_enabled": false, "kernel_maxsize": 1048576, "rootfs_maxsize": 1048576}}})");
  } else if (base == "unknown-key.json") {
    fixture::files().write_file(name, R"({"settings": {"platform": "cv22", "colour": "blue"}})");
  } else if (base == "rsa.pem") {
    test_support::write_private_key_pem(path, rsa.get());
  } else if (base == "encrypted.pem") {
    test_support::write_encrypted_private_key_pem(path, rsa.get(), "secret");
  } else if (base == "ec.pem" || base == "rsa4096.pem" || base == "inconsistent.pem") {
    const auto key = base == "ec.pem"        ? test_support::make_ec_key()
                     : base == "rsa4096.pem" ? test_support::make_rsa_key(4096)
                                             : test_support::make_inconsistent_rsa_copy(rsa.get());
    test_support::write_private_key_pem(path, key.get());
  } else if (base.starts_with("pub")) {
    fixture::files().write_file(name, std::string(std::stoul(base.substr(3)), 'k'));
  } else {
    fixture::files().write_file(name, "not what it should be\n");
  }
  return path;
}

// The first line that is not a progress note of the input checks, with "@" for the folder of the
// fixture files.
std::string first_message(std::string_view out) {
  while (out.starts_with("Checking input files\r\n") ||
         out.starts_with("Signature verification passed")) {
    out.remove_prefix(out.find('\n') + 1);
  }
  std::string line(out.substr(0, out.find_first_of("\r\n")));
  const std::string folder = fixture::path("");
  if (const size_t at = line.find(folder); at != std::string::npos) {
    line.replace(at, folder.size(), "@");
  }
  return line;
}

struct CommandLine {
  std::string arguments;  // "@name" stands for the fixture file of that name
  int exit_status;
  const char* message;  // the first line of standard output; automated mode prints nothing
};

// Key pairs that pass their checks lead on to the OTA archive, which is missing: exit 5.
TEST(CommandLine, EndsBeforeAnyModuleIsTouched) {
  const std::string long_folder = std::string(12, 'f') + "/" + std::string(250, 'l');
  const CommandLine cases[] = {
      {"-V", 0, "kavro-flash: version 1.7.0"},
      {"-h", 2, "Usage:"},
      {"-g -h", 2, ""},
      {"-s @xyz.json", 2, "No image file provided"},
      // In automated mode only sessions open the archives; the end of the input ends the run.
      {"-g -b @missing.7z", 0, ""},
      {"-o @ota.7z -p @pub512", 11, "Public and private key must be provided together"},
      {"-o @missing.7z -p @pub512 -q @" + long_folder + "/rsa.pem", 5,
       "Invalid OTA file '@missing.7z' provided"},
      {"-o @ota.7z -p @pub512 -q @missing.pem", 2, "Cannot open private key file '@missing.pem'"},
      {"-o @ota.7z -p @pub512 -q @bad.pem", 2,
       "Cannot read valid private key from file '@bad.pem'"},
      // Refused rather than prompting for a pass phrase nobody may be there to answer.
      {"-o @ota.7z -p @pub512 -q @encrypted.pem", 2,
       "Cannot read valid private key from file '@encrypted.pem'"},
      {"-o @ota.7z -p @pub512 -q @ec.pem", 12, "Private key is not an RSA key"},
      {"-o @ota.7z -p @pub512 -q @inconsistent.pem", 12, "RSA check failed on private key"},
      // Its signatures would not fit the bootloader's 256-byte field.
      {"-o @ota.7z -p @pub512 -q @rsa4096.pem", 12,
       "Private key is too large: signatures must fit 256 bytes"},
      {"-o @ota.7z -p @missing.bin -q @rsa.pem", 2, "Cannot open public key file '@missing.bin'"},
      {"-o @ota.7z -p @pub511 -q @rsa.pem", 12, "Public key must be exactly 512 bytes"},
      {"-o @bad.7z", 5, "Invalid OTA file '@bad.7z' provided"},
      {"-b @bad.7z -o @ota.7z", 5, "Invalid firmware file '@bad.7z' provided"},
      {"-b @bad-sign.7z -o @ota.7z", 5, "Signature verification failed for bst.bin: 33554570"},
      // No base archive is built in for cv28.
      {"-o @cv28.7z", 5, "Unable to construct full firmware file for flashing"},
      {"-o @ota.7z -s @bad.json", 6, "Parsing settings json file '@bad.json' failed"},
      {"-b @xyz.7z -s @xyz.json", 7, "No matching platform found"},
  };
  for (const auto& test : cases) {
    std::vector<std::string> arguments;
    std::istringstream words(test.arguments);
    for (std::string word; words >> word;) {
      arguments.push_back(word.starts_with('@') ? fixture_file(word.substr(1)) : word);
    }
    const auto result = run_process(kFlashSim, arguments);
    EXPECT_EQ(first_message(result.out), test.message) << test.arguments;
    EXPECT_EQ(result.exit_status, test.exit_status) << test.arguments;
  }
  EXPECT_EQ(run_process(KAVRO_FLASH_BINARY, {"-V"}).out, "kavro-flash: version 1.7.0\r\n");
}

// The cv22 module arrives late, in slot 1 behind a cv25 module; only it is flashed, from an
// archive behind a path far beyond 260 characters. The whole output is checked, progress too;
// the settings file's warning goes to standard error.
TEST(CommandLine, FlashesTheModuleOfTheFirmwarePlatform) {
  const auto archive =
      fixture_file(std::string(150, 'p') + "/" + std::string(150, 'q') + "/ota.7z");
  const auto config = fixture::sim_config(
      "flash.json", {fixture::module("3-3", "cv25"),
                     fixture::module("3-4", "cv22", R"(, "attach_after_ms": 1500)")});
  const auto result =
      run_process(kFlashSim, {"-o", archive, "-s", fixture_file("unknown-key.json")},
                  {{"KAVRO_SIM_CONFIG", config}});
  std::string bootloader_progress;
  for (int percent = 0; percent < 100; ++percent) {
    bootloader_progress += " " + std::to_string(percent) + "% done\r";
  }
  EXPECT_EQ(result.out,
            "Checking input files\r\nWaiting for device to connect\r\nFound connected device\r\n"
            "Begin flashing process\r\nSoM HW Version: 0\nFirmware size is: 274472 bytes\n"
            "Sending ADS commands\nSending flash bootloader\n" +
                bootloader_progress +
                "Jump to flash bootloader\nWaiting for device to come back online\n"
                "Device is back up in software mode\nSending partition details\n"
                "Sending bootstrap\n 1% done \rSending bootloader\n 62% done \rSending osloader\n"
                " 65% done \rSending misc\n 65% done \rSending meta\n 67% done \rSending kernel\n"
                " 74% done \rErasing rootfs\nSending rootfs\n 100% done \rSending device ID\n"
                "Writing PTB\nFlashing completed successfully\r\n");
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(result.err.starts_with("settings: colour is not a known key, ignored\n"));
  for (const char* name : {"bda.bin", "mta.bin", "kna.bin", "rfa.bin"}) {
    EXPECT_EQ(fixture::read_file(fixture::flash_dir("3-4") + "/" + name),
              fixture::ota("cv22").image(name))
        << name;
  }
}

// Every hardware-mode module is flashed and reported on a line of its own.
TEST(CommandLine, FlashAllExample) {
  const auto config = fixture::sim_config(
      "example.json",
      {fixture::module("6-1", "cv22"), fixture::module("6-2", "cv22", kRefusesImageHeader)});
  const auto result = run_process(
      "/bin/bash", {KAVRO_FLASH_ALL_SCRIPT, "-o", fixture::ota_file("cv22")},
      {{"KAVRO_FLASH", kFlashSim}, {"KAVRO_SIM_CONFIG", config}, {"KAVRO_POLL_SECONDS", "0.1"}});
  EXPECT_EQ(result.out, "6-1: done\n6-2: failed (error -22, sub error 5)\n");
  EXPECT_EQ(result.exit_status, 1) << result.err;
}

struct Step {
  std::string request;
  std::string response;  // the lines expected next; none for a request that is ignored
  bool poll = false;     // ask again until the response begins with `response`
};

// Sends each step's request to kavro-flash-sim -g and compares the response lines that follow.
// Diagnostic lines, which do not begin with "[", are skipped; session threads print them too.
void converse(ChildProcess& flash, const std::vector<Step>& steps) {
  for (const auto& step : steps) {
    const auto deadline = std::chrono::steady_clock::now() + seconds(60);
    std::string response;
    do {
      ASSERT_TRUE(flash.write(step.request + "\n")) << step.request;
      response.clear();
      auto lines = step.poll ? 1 : std::count(step.response.begin(), step.response.end(), '\n');
      while (lines > 0 && std::chrono::steady_clock::now() < deadline) {
        const std::string line = flash.read_line(seconds(60)).value_or("[none]\n");
        response += line.starts_with("[") ? line : "";
        lines -= line.starts_with("[") ? 1 : 0;
      }
    } while (step.poll && !response.starts_with(step.response) &&
             std::chrono::steady_clock::now() < deadline);
    ASSERT_EQ(step.poll ? response.substr(0, step.response.size()) : response, step.response)
        << step.request;
  }
}

// The test library preloaded into kavro-flash-sim, with the settings `more` for it.
test_support::EnvironmentOverrides preloaded(test_support::EnvironmentOverrides more) {
  const char* sanitizer_options = std::getenv("ASAN_OPTIONS");
  more.emplace_back("LD_PRELOAD", KAVRO_TEST_PRELOAD);
  more.emplace_back("ASAN_OPTIONS", std::string(sanitizer_options ? sanitizer_options : "") +
                                        ":verify_asan_link_order=0");
  return more;
}

// Slots in the order of the configuration: three cv22 modules (one that fails the first image
// header with status 5, one slow enough to be caught in the bootloader download), then s5l,
// cv25, s6lm and cv28. The parsing of request lines has a table of its own.
TEST(Protocol, EveryCommandAndRefusal) {
  const auto slow = R"(, "timing": {"control_latency_us": 60})";
  const auto config = fixture::sim_config(
      "protocol.json",
      {fixture::module("1-1", "cv22"), fixture::module("1-2", "cv22", kRefusesImageHeader),
       fixture::module("1-3", "cv22", slow), fixture::module("1-4", "s5l"),
       fixture::module("1-5", "cv25"), fixture::module("1-6", "s6lm"),
       fixture::module("1-7", "cv28")});
  const auto private_key = fixture_file("vanishing/rsa.pem");
  ChildProcess flash(kFlashSim,
                     {"-g", "-o", fixture_file("ota.7z"), "-p", fixture_file("pub512"), "-q",
                      private_key, "-s", fixture_file("unknown-key.json")},
                     {{"KAVRO_SIM_CONFIG", config}});
  // The very first answer lists every module attached at start.
  converse(flash, {{"[1 1]", "[1 1] 7 0 1 2 3 4 5 6\r\n"}});
  // The keys are checked at start; one that has gone since makes a session start fail.
  std::filesystem::remove(private_key);
  converse(flash, {
                      {"[2 1] 2", "[2 1] 3 0 1 2\r\n"},
                      {"[2 1] 9", "[2 1] 7 0 1 2 3 4 5 6\r\n"},
                      {"[3 2] 0", "[3 2] 2\r\n"},
                      {"[3 2] 6", "[3 255] 2\r\n"},
                      {"[4 8] 6", "[4 8] 1-7\r\n"},
                      {"[4 8] 63", "[4 255] 4\r\n"},
                      {"[5 3] 0", "[5 3] 0 0\r\n"},
                      {"[5 4] 0", "[5 4] 6 -1\r\n"},
                      {"[5 7] 0", "[5 7] 0 0\r\n"},
                      {"[5 7] 40", "[5 255] 3\r\n"},
                      {"[6 6] 0", "[6 255] 6 -20\r\n"},
                      {"[7 3]", "[7 255] 7\r\n"},
                      {"[7 2] 64", "[7 255] 2\r\n"},
                      {"[7 4] -1", "[7 255] 2\r\n"},
                      {"[7 8] 4294967296", "[7 255] 2\r\n"},
                      {"[8 5] 0", "[8 255] 1\r\n"},
                      // The station's addition: a module without a serial number, a free slot.
                      {"[8 9] 0", "[8 9]\r\n"},
                      {"[8 9] 63", "[8 255] 4\r\n"},
                      {"[8 4294967297] 0", "[8 255] 1\r\n"},
                      {"[4294967296 1]", ""},
                      {"[-1 1]", ""},
                      {"[9 3] 0", "[9 3] 0 0\r\n"},
                  });
  std::filesystem::copy_file(fixture_file("rsa.pem"), private_key);
  converse(flash,
           {
               {"[10 6] 0", "[10 6]\r\n"},
               {"[11 6] 0", "[11 255] 5\r\n"},
               {"[12 6] 1", "[12 6]\r\n"},
               {"[13 6] 2", "[13 6]\r\n"},
               {"[14 3] 2", "[14 3] 3 ", true},
               // Closing a session that has not ended aborts it; the module stays in hardware mode.
               {"[15 4] 2", "[15 255] 3\r\n[15 4]\r\n"},
               {"[16 7] 2", "[16 7] 0 0\r\n"},
               {"[17 3] 0", "[17 3] 6 100\r\n", true},
               {"[18 7] 0", "[18 7] 0 0\r\n"},
               {"[18 6] 0", "[18 255] 5\r\n"},
               {"[18 4] 0", "[18 4]\r\n"},
               // Flashed, the module has left for its new firmware.
               {"[19 6] 0", "[19 255] 3\r\n"},
               {"[20 3] 1", "[20 3] 7 0\r\n", true},
               {"[21 7] 1", "[21 7] -22 5\r\n"},
               {"[21 4] 1", "[21 4]\r\n"},
               {"[22 6] 2", "[22 6]\r\n"},
               {"[23 3] 2", "[23 3] 3 ", true},
           });
  // The end of the input stops the running session and the program, as "Q" would.
  flash.close_input();
  const auto end = flash.finish(seconds(120));
  EXPECT_EQ(end.out, "");
  EXPECT_EQ(end.exit_status, 0) << end.err;
  // Once at start, on standard error: standard output carries the protocol only.
  EXPECT_TRUE(end.err.starts_with("settings: colour is not a known key, ignored\n")) << end.err;
}

// A thread that cannot be started at any point of the start-up ends the program with the exit
// status of what could not start, never a hang or an abort. The request handler starts before
// the listener, so that it can still be stopped when the listener fails.
TEST(Protocol, FailedThreadStartEndsCleanly) {
  std::vector<int> statuses;
  for (int failing = 1; statuses.empty() || statuses.back() != 0; ++failing) {
    ASSERT_LT(failing, 20);
    ChildProcess flash(kFlashSim, {"-g", "-o", "ota.7z"},
                       preloaded({{"KAVRO_FAIL_THREAD_START", std::to_string(failing)}}));
    flash.write("[1 3] 0\n");
    if (flash.read_line(seconds(60)) == "[1 3] 0 0\r\n") {
      flash.close_input();
    }
    statuses.push_back(flash.finish(seconds(60)).exit_status);
  }
  // The simulator's event thread, the device manager's two, the handler, the listener, none.
  EXPECT_EQ(statuses, (std::vector<int>{2, 3, 3, 1, 1, 0}));
}

// A device-list response goes out in pieces while a thread of the program keeps printing
// diagnostic lines, as session threads do: no response may be broken up.
TEST(Protocol, DeviceListResponseStaysWholeBesideDiagnostics) {
  std::vector<std::string> modules;
  std::string listed = " 64";
  for (int slot = 0; slot < 64; ++slot) {
    modules.push_back(fixture::module("7-" + std::to_string(slot), "cv22"));
    listed += " " + std::to_string(slot);
  }
  std::vector<Step> requests{{"[0 1]", "[0 1]" + listed + "\r\n", true}};
  for (int tag = 1; tag <= 500; ++tag) {
    requests.push_back(
        {"[" + std::to_string(tag) + " 1]", "[" + std::to_string(tag) + " 1]" + listed + "\r\n"});
  }
  ChildProcess flash(kFlashSim, {"-g", "-o", "ota.7z"},
                     preloaded({{"KAVRO_PRINT_DIAGNOSTICS", "1"},
                                {"KAVRO_SIM_CONFIG", fixture::sim_config("busy.json", modules)}}));
  converse(flash, requests);
}

}  // namespace
