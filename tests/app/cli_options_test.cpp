// Command-line behaviour of the executables: options, version, usage text, the start-up key
// checks and their exit codes, checked on the exact bytes written to standard output.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
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

TEST(CommandLineVersion, PrintsVersionLineAndExitsZero) {
  for (const auto& binary : {kFlashSim, kFlash}) {
    const auto result = run_process(binary, {"-V"});
    EXPECT_EQ(result.out, kVersionLine) << binary;
    EXPECT_EQ(result.exit_status, 0) << binary;
  }
}

TEST(CommandLineVersion, PrintsInAutomatedModeToo) {
  const auto result = run_sim({"-g", "-V"});
  EXPECT_EQ(result.out, kVersionLine);
  EXPECT_EQ(result.exit_status, 0);
}

TEST(CommandLineVersion, IgnoresOptionsAfterIt) {
  const auto result = run_sim({"-V", "-h", "-q", "/nonexistent/key.pem"});
  EXPECT_EQ(result.out, kVersionLine);
  EXPECT_EQ(result.exit_status, 0);
}

TEST(CommandLineUsage, HelpPrintsUsageAndExitsTwo) {
  for (const auto& binary : {kFlashSim, kFlash}) {
    const auto result = run_process(binary, {"-h"});
    EXPECT_EQ(result.out, kUsage) << binary;
    EXPECT_EQ(result.exit_status, 2) << binary;
  }
}

TEST(CommandLineUsage, HelpAfterAutomatedModePrintsNothing) {
  const auto result = run_sim({"-g", "-h"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 2);
}

TEST(CommandLineUsage, HelpBeforeAutomatedModePrintsUsage) {
  const auto result = run_sim({"-h", "-g"});
  EXPECT_EQ(result.out, kUsage);
  EXPECT_EQ(result.exit_status, 2);
}

TEST(CommandLineUsage, UnknownOptionPrintsOnlyUsage) {
  const auto result = run_sim({"-z", "-o", "ota.7z"});
  EXPECT_EQ(result.out, kUsage);
  EXPECT_EQ(result.exit_status, 2);
}

TEST(CommandLineUsage, OptionWithoutArgumentPrintsOnlyUsage) {
  const auto result = run_sim({"-b", "base.7z", "-o"});
  EXPECT_EQ(result.out, kUsage);
  EXPECT_EQ(result.exit_status, 2);
}

TEST(CommandLineUsage, UnknownOptionInAutomatedModeIsSilent) {
  const auto result = run_sim({"-g", "-x"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 2);
}

TEST(CommandLineImages, NoImageGivenIsRefused) {
  const auto result = run_sim({"-s", "settings.json"});
  EXPECT_EQ(result.out, "No image file provided\r\n" + kUsage);
  EXPECT_EQ(result.exit_status, 2);
}

TEST(CommandLineImages, NoImageInAutomatedModeIsSilent) {
  const auto result = run_sim({"-g"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 2);
}

// In automated mode the archives are first opened by a session, so start-up goes on to serve
// the protocol; the end of standard input ends the program normally.
TEST(CommandLineImages, BaseImageAloneIsAccepted) {
  const auto result = run_sim({"-g", "-b", "/nonexistent/base.7z"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 0);
}

TEST(CommandLineImages, LaterOptionReplacesEarlierOne) {
  const auto result = run_sim({"-o", "/nonexistent/first.7z", "-o", "/nonexistent/second.7z"});
  EXPECT_EQ(result.out,
            "Checking input files\r\nInvalid OTA file '/nonexistent/second.7z' provided\r\n");
  EXPECT_EQ(result.exit_status, 5);
}

// Parsing stops at the first plain argument: the -q after it is never seen, so no key check is
// made (a lone -q would end with exit 11) and the run goes on to the input files.
TEST(CommandLineImages, PlainArgumentStopsOptionParsing) {
  const auto result =
      run_sim({"-o", "/nonexistent/ota.7z", "plain", "-q", "/nonexistent/private.pem"});
  EXPECT_EQ(result.out,
            "Checking input files\r\nInvalid OTA file '/nonexistent/ota.7z' provided\r\n");
  EXPECT_EQ(result.exit_status, 5);
}

// Key files are made on first use and kept for the rest of the test program: each test may run
// in a process of its own, and only the one that needs the slow 4096-bit key should pay for it.
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
  // the input files, which fail with exit 5.
  static test_support::ProcessResult run_with_keys(const std::string& public_key,
                                                   const std::string& private_key,
                                                   bool automated = false) {
    std::vector<std::string> arguments{"-o",       "/nonexistent/ota.7z", "-p", public_key, "-q",
                                       private_key};
    if (automated) {
      arguments.insert(arguments.begin(), "-g");
    }
    return run_sim(arguments);
  }

  static inline std::unique_ptr<TempDirectory> files_;
};

const std::string kPassedKeyChecks =
    "Checking input files\r\nInvalid OTA file '/nonexistent/ota.7z' provided\r\n";

TEST_F(CommandLineKeys, ValidPairPasses) {
  const auto result = run_with_keys(file("public512.bin"), file("rsa2048.pem"));
  EXPECT_EQ(result.out, kPassedKeyChecks);
  EXPECT_EQ(result.exit_status, 5);
}

TEST_F(CommandLineKeys, PublicKeyAloneIsRefused) {
  const auto result = run_sim({"-o", "ota.7z", "-p", file("public512.bin")});
  EXPECT_EQ(result.out, "Public and private key must be provided together\r\n" + kUsage);
  EXPECT_EQ(result.exit_status, 11);
}

TEST_F(CommandLineKeys, PrivateKeyAloneIsRefused) {
  const auto result = run_sim({"-o", "ota.7z", "-q", file("rsa2048.pem")});
  EXPECT_EQ(result.out, "Public and private key must be provided together\r\n" + kUsage);
  EXPECT_EQ(result.exit_status, 11);
}

TEST_F(CommandLineKeys, LoneKeyInAutomatedModeIsSilent) {
  const auto result = run_sim({"-g", "-o", "ota.7z", "-q", file("rsa2048.pem")});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 11);
}

TEST_F(CommandLineKeys, MissingPrivateKeyFile) {
  const std::string missing = file("missing.pem");
  const auto result = run_with_keys(file("public512.bin"), missing);
  EXPECT_EQ(result.out, "Cannot open private key file '" + missing + "'\r\n");
  EXPECT_EQ(result.exit_status, 2);
}

TEST_F(CommandLineKeys, PrivateKeyFileWithoutPem) {
  const std::string path = file("not-pem.pem");
  const auto result = run_with_keys(file("public512.bin"), path);
  EXPECT_EQ(result.out, "Cannot read valid private key from file '" + path + "'\r\n");
  EXPECT_EQ(result.exit_status, 2);
}

// An encrypted key is refused rather than prompting for a pass phrase nobody may answer.
TEST_F(CommandLineKeys, EncryptedPrivateKeyIsRefusedWithoutPrompting) {
  const std::string path = file("encrypted.pem");
  const auto result = run_with_keys(file("public512.bin"), path);
  EXPECT_EQ(result.out, "Cannot read valid private key from file '" + path + "'\r\n");
  EXPECT_EQ(result.exit_status, 2);
}

TEST_F(CommandLineKeys, PrivateKeyThatIsNotRsa) {
  const auto result = run_with_keys(file("public512.bin"), file("ec.pem"));
  EXPECT_EQ(result.out, "Private key is not an RSA key\r\n");
  EXPECT_EQ(result.exit_status, 12);
}

TEST_F(CommandLineKeys, InconsistentRsaKey) {
  const auto result = run_with_keys(file("public512.bin"), file("inconsistent.pem"));
  EXPECT_EQ(result.out, "RSA check failed on private key\r\n");
  EXPECT_EQ(result.exit_status, 12);
}

// A 4096-bit key makes 512-byte signatures, which do not fit the bootloader's 256-byte field.
TEST_F(CommandLineKeys, PrivateKeyTooLargeForSignatureField) {
  const auto result = run_with_keys(file("public512.bin"), file("rsa4096.pem"));
  EXPECT_EQ(result.out, "Private key is too large: signatures must fit 256 bytes\r\n");
  EXPECT_EQ(result.exit_status, 12);
}

TEST_F(CommandLineKeys, MissingPublicKeyFile) {
  const std::string missing = file("missing.bin");
  const auto result = run_with_keys(missing, file("rsa2048.pem"));
  EXPECT_EQ(result.out, "Cannot open public key file '" + missing + "'\r\n");
  EXPECT_EQ(result.exit_status, 2);
}

TEST_F(CommandLineKeys, PublicKeyMustBeExactly512Bytes) {
  for (const char* name : {"public511.bin", "public513.bin"}) {
    const auto result = run_with_keys(file(name), file("rsa2048.pem"));
    EXPECT_EQ(result.out, "Public key must be exactly 512 bytes\r\n") << name;
    EXPECT_EQ(result.exit_status, 12) << name;
  }
}

TEST_F(CommandLineKeys, KeyFailuresInAutomatedModeAreSilent) {
  EXPECT_EQ(run_with_keys(file("public512.bin"), file("ec.pem"), true).exit_status, 12);
  EXPECT_EQ(run_with_keys(file("public511.bin"), file("rsa2048.pem"), true).exit_status, 12);
  const auto result = run_with_keys(file("public512.bin"), file("missing.pem"), true);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 2);
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
