// Command-line behaviour of the executables: options, version, usage text, the start-up key
// checks and their exit codes, checked on the exact bytes written to standard output.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/subprocess.h"
#include "tests/support/temp_directory.h"
#include "tests/support/test_keys.h"

namespace {

using test_support::run_process;
using test_support::TempDirectory;

const std::string kVersionLine = "kavro-flash: version 1.7.0\r\n";

const std::string kUsage =
    "Usage:\r\n"
    "\r\n"
    "kavro-flash\r\n"
    "    -a <ads-file>: Use an external ADS file instead of the built-in platform ADS files "
    "(optional)\r\n"
    "    -b <base-image>: The signed custom base bootloader 7z image (optional)\r\n"
    "    -o <ota-image>: The OTA 7z image to flash with. This must be specified\r\n"
    "    -s <settings-file>: Specify the settings json file for configuring the device. "
    "(optional)\r\n"
    "    -p <public-key>: Specify the public key to use for secure boot (optional)\r\n"
    "    -q <private-key>: Specify the private key to use for secure boot (optional)\r\n"
    "    -f: Force move the old calibration partitions to new layout. DO NOT use unless "
    "confident\r\n"
    "    -g: Enable automated mode. For use by scripts, no logging will be printed\r\n"
    "    -V: Print version\r\n"
    "\r\n"
    "\r\n";

const std::string kFlashSim = KAVRO_FLASH_SIM_BINARY;
const std::string kFlash = KAVRO_FLASH_BINARY;

test_support::ProcessResult run_sim(const std::vector<std::string>& arguments) {
  return run_process(kFlashSim, arguments);
}

TEST(CommandLine, VersionAndUsageOnBothExecutables) {
  for (const auto& binary : {kFlashSim, kFlash}) {
    const auto version = run_process(binary, {"-V"});
    EXPECT_EQ(version.out, kVersionLine) << binary;
    EXPECT_EQ(version.exit_status, 0) << binary;
    const auto usage = run_process(binary, {"-h"});
    EXPECT_EQ(usage.out, kUsage) << binary;
    EXPECT_EQ(usage.exit_status, 2) << binary;
  }
}

// Options are handled in order, so the mode in force when a message is printed decides whether
// it shows. Archive paths that do not exist let a command line that passes every start-up check
// show it by the input-file message and exit 5; in automated mode the archives are opened by
// sessions only, and the end of standard input ends the program normally.
TEST(CommandLine, OptionHandling) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string out;
    int exit_status;
  };
  const Case cases[] = {
      {"version in automated mode", {"-g", "-V"}, kVersionLine, 0},
      {"options after -V are ignored", {"-V", "-h", "-q", "/nonexistent/key.pem"}, kVersionLine, 0},
      {"-h after -g prints nothing", {"-g", "-h"}, "", 2},
      {"-h before -g prints the usage", {"-h", "-g"}, kUsage, 2},
      {"unknown option", {"-z", "-o", "ota.7z"}, kUsage, 2},
      {"option without its argument", {"-b", "base.7z", "-o"}, kUsage, 2},
      {"unknown option in automated mode", {"-g", "-x"}, "", 2},
      {"no image", {"-s", "settings.json"}, "No image file provided\r\n" + kUsage, 2},
      {"no image in automated mode", {"-g"}, "", 2},
      {"base image alone", {"-g", "-b", "/nonexistent/base.7z"}, "", 0},
      {"later option replaces earlier one",
       {"-o", "/nonexistent/first.7z", "-o", "/nonexistent/second.7z"},
       "Checking input files\r\nInvalid OTA file '/nonexistent/second.7z' provided\r\n",
       5},
      // Parsing stops at the first plain argument: the -q after it is never seen, so no key
      // check is made (a lone -q would end with exit 11).
      {"plain argument stops option parsing",
       {"-o", "/nonexistent/ota.7z", "plain", "-q", "/nonexistent/private.pem"},
       "Checking input files\r\nInvalid OTA file '/nonexistent/ota.7z' provided\r\n",
       5},
  };
  for (const auto& test : cases) {
    const auto result = run_sim(test.arguments);
    EXPECT_EQ(result.out, test.out) << test.name;
    EXPECT_EQ(result.exit_status, test.exit_status) << test.name;
  }
}

// Key files are made on first use and kept for the rest of the test program.
class CommandLineKeys : public testing::Test {
 protected:
  static void TearDownTestSuite() { files_.reset(); }

  static std::string file(const std::string& name) {
    if (!files_) {
      files_ = std::make_unique<TempDirectory>();
    }
    const std::string path = files_->file(name);
    if (!std::filesystem::exists(path)) {
      make_fixture(name, path);
    }
    return path;
  }

  static EVP_PKEY* rsa_key() {
    static const auto key = test_support::make_rsa_key(2048);
    return key.get();
  }

  static void make_fixture(const std::string& name, const std::string& path) {
    if (name == "rsa2048.pem") {
      test_support::write_private_key_pem(path, rsa_key());
    } else if (name == "encrypted.pem") {
      test_support::write_encrypted_private_key_pem(path, rsa_key(), "secret");
    } else if (name == "inconsistent.pem") {
      test_support::write_private_key_pem(
          path, test_support::make_inconsistent_rsa_copy(rsa_key()).get());
    } else if (name == "rsa4096.pem") {
      test_support::write_private_key_pem(path, test_support::make_rsa_key(4096).get());
    } else if (name == "ec.pem") {
      test_support::write_private_key_pem(path, test_support::make_ec_key().get());
    } else if (name == "not-pem.pem") {
      files_->write_file(name, "this is not a PEM file\n");
    } else if (name.starts_with("public") && name.ends_with(".bin")) {
      const size_t size = std::stoul(name.substr(6));
      files_->write_file(name, std::string(size, '\x5a'));
    }
  }

  // Runs with an OTA path that does not exist: a key pair that passes the checks leads on to
  // the input files, which fail with exit 5. An empty key path leaves its option out.
  static test_support::ProcessResult run_with_keys(const std::string& public_key,
                                                   const std::string& private_key,
                                                   bool automated = false) {
    std::vector<std::string> arguments{"-o", "/nonexistent/ota.7z"};
    if (automated) {
      arguments.insert(arguments.begin(), "-g");
    }
    for (const auto& [option, path] : {std::pair{"-p", public_key}, {"-q", private_key}}) {
      if (!path.empty()) {
        arguments.insert(arguments.end(), {option, path});
      }
    }
    return run_sim(arguments);
  }

  static inline std::unique_ptr<TempDirectory> files_;
};

const std::string kPassedKeyChecks =
    "Checking input files\r\nInvalid OTA file '/nonexistent/ota.7z' provided\r\n";

// Every outcome of the key checks. Fixture names: "public<size>.bin" holds that many bytes;
// "missing.*" does not exist. In a message, "<public>" and "<private>" stand for the paths.
TEST_F(CommandLineKeys, KeyPairChecks) {
  struct Case {
    const char* public_key;
    const char* private_key;
    bool automated;
    std::string out;
    int exit_status;
  };
  const std::string lone_key = "Public and private key must be provided together\r\n" + kUsage;
  const Case cases[] = {
      {"public512.bin", "rsa2048.pem", false, kPassedKeyChecks, 5},
      {"public512.bin", "", false, lone_key, 11},
      {"", "rsa2048.pem", false, lone_key, 11},
      {"", "rsa2048.pem", true, "", 11},
      {"public512.bin", "missing.pem", false, "Cannot open private key file '<private>'\r\n", 2},
      {"public512.bin", "missing.pem", true, "", 2},
      {"public512.bin", "not-pem.pem", false,
       "Cannot read valid private key from file '<private>'\r\n", 2},
      // An encrypted key is refused rather than prompting for a pass phrase nobody may answer.
      {"public512.bin", "encrypted.pem", false,
       "Cannot read valid private key from file '<private>'\r\n", 2},
      {"public512.bin", "ec.pem", false, "Private key is not an RSA key\r\n", 12},
      {"public512.bin", "ec.pem", true, "", 12},
      {"public512.bin", "inconsistent.pem", false, "RSA check failed on private key\r\n", 12},
      // A 4096-bit key makes 512-byte signatures, which do not fit the bootloader's 256-byte
      // field.
      {"public512.bin", "rsa4096.pem", false,
       "Private key is too large: signatures must fit 256 bytes\r\n", 12},
      {"missing.bin", "rsa2048.pem", false, "Cannot open public key file '<public>'\r\n", 2},
      {"public511.bin", "rsa2048.pem", false, "Public key must be exactly 512 bytes\r\n", 12},
      {"public513.bin", "rsa2048.pem", false, "Public key must be exactly 512 bytes\r\n", 12},
      {"public511.bin", "rsa2048.pem", true, "", 12},
  };
  for (const auto& test : cases) {
    const std::string public_key = *test.public_key ? file(test.public_key) : "";
    const std::string private_key = *test.private_key ? file(test.private_key) : "";
    std::string out = test.out;
    for (const auto& [placeholder, path] :
         {std::pair{"<public>", public_key}, {"<private>", private_key}}) {
      if (const auto at = out.find(placeholder); at != std::string::npos) {
        out.replace(at, std::string_view(placeholder).size(), path);
      }
    }
    const auto result = run_with_keys(public_key, private_key, test.automated);
    EXPECT_EQ(result.out, out) << test.public_key << " " << test.private_key << " "
                               << test.automated;
    EXPECT_EQ(result.exit_status, test.exit_status)
        << test.public_key << " " << test.private_key << " " << test.automated;
  }
}

// Paths are passed on whole, however long: a key behind a path far beyond 260 characters is
// found and checked, and messages name the full path.
TEST_F(CommandLineKeys, LongPathsAreKeptWhole) {
  std::string folder;
  for (int level = 0; level < 12; ++level) {
    folder += "a-rather-long-folder-name-" + std::to_string(level) + "/";
  }
  ASSERT_GT(folder.size(), 300u);
  file("rsa2048.pem");
  const std::string private_key = files_->write_file(folder + "private.pem", "");
  test_support::write_private_key_pem(private_key, rsa_key());
  const std::string public_key = files_->write_file(folder + "public.bin", std::string(512, 'k'));
  EXPECT_EQ(run_with_keys(public_key, private_key).out, kPassedKeyChecks);

  const std::string missing = files_->file(folder + "missing.pem");
  EXPECT_EQ(run_with_keys(public_key, missing).out,
            "Cannot open private key file '" + missing + "'\r\n");
}

}  // namespace
