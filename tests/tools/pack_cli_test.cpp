// kavro-pack as a publisher runs it: exit codes, exact output, and bad command lines and inputs
// refused without leaving an output file behind.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/subprocess.h"
#include "tests/support/temp_directory.h"
#include "tests/tools/pack_fixture.h"

namespace {

using pack_test::BootChain;
using pack_test::PUBLISHER_PRIVATE_KEY;
using pack_test::PUBLISHER_PUBLIC_KEY;
using pack_test::SHORT_PRIVATE_KEY;
using pack_test::SHORT_PUBLIC_KEY;
using test_support::ProcessResult;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

ProcessResult kavro_pack_run(const std::vector<std::string>& arguments) {
  return test_support::run_process(KAVRO_PACK_EXECUTABLE, arguments);
}

class PackCliTest : public ::testing::Test {
 protected:
  std::vector<std::string> build_arguments() const {
    return {"build",
            "-m",
            chain_.manifest,
            "-o",
            output_,
            "--sign-key",
            PUBLISHER_PRIVATE_KEY,
            "--sign",
            "bst.bin,bld.bin",
            chain_.bootstrap,
            chain_.bootloader,
            chain_.misc};
  }

  // A failing build: exit 1, one error line naming the problem, and no output file.
  void expect_build_fails(const std::vector<std::string>& arguments, const std::string& message) {
    const auto result = kavro_pack_run(arguments);
    EXPECT_EQ(result.exit_status, EXIT_FAILED);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "kavro-pack: " + message + "\n");
    EXPECT_FALSE(std::filesystem::exists(output_));
    EXPECT_EQ(pack_test::folder_listing(folder_.path()), std::vector<std::string>{"images"});
  }

  test_support::TempDirectory folder_;
  BootChain chain_{folder_};
  std::string output_ = folder_.file("firmware.7z");
};

TEST_F(PackCliTest, BuildVerifyListRoundTrip) {
  const auto built = kavro_pack_run(build_arguments());
  ASSERT_EQ(built.exit_status, 0) << built.err;
  EXPECT_EQ(built.out, "");
  EXPECT_EQ(built.err, "");

  const auto verified = kavro_pack_run({"verify", "-k", PUBLISHER_PUBLIC_KEY, output_});
  EXPECT_EQ(verified.exit_status, 0);
  EXPECT_EQ(verified.out, "OK bld.bin.sign\nOK bst.bin.sign\n");
  EXPECT_EQ(verified.err, "");

  const auto listed = kavro_pack_run({"list", output_});
  EXPECT_EQ(listed.exit_status, 0);
  EXPECT_EQ(listed.err, "");
  EXPECT_EQ(listed.out,
            "platform: cv22\n"
            "firmware_version: 1.7.0\n"
            "partitions:\n"
            "  bootstrap:\n"
            "    filename: bst.bin\n"
            "    filesize: 4096\n"
            "    signed: false\n"
            "    required_fixed_size: 4096\n"
            "    coremhz_offset: 2188\n"
            "    idspmhz_offset: 2192\n"
            "    drammhz_offset: 2200\n"
            "    cortexmhz_offset: 2184\n"
            "    bld_size_offset: 3196\n"
            "    bld_load_addr_offset: 3188\n"
            "  bootloader:\n"
            "    filename: bld.bin\n"
            "    filesize: 9000\n"
            "    signed: false\n"
            "    load_address: 0\n"
            "    public_key_offset: 5000\n"
            "  misc:\n"
            "    filename: msc.bin\n"
            "    filesize: 48\n"
            "    signed: false\n"
            "entries:\n"
            "  bld.bin 9000\n"
            "  bld.bin.sign 512\n"
            "  bst.bin 4096\n"
            "  bst.bin.sign 512\n"
            "  manifest " +
                std::to_string(pack_test::boot_chain_manifest().size()) +
                "\n"
                "  msc.bin 48\n");
}

TEST_F(PackCliTest, EveryFormatBuilds) {
  for (const char* format : {"7z", "7z-store", "zip"}) {
    auto arguments = build_arguments();
    arguments.insert(arguments.begin() + 1, {"--format", format});
    const auto built = kavro_pack_run(arguments);
    EXPECT_EQ(built.exit_status, 0) << format << ": " << built.err;
    EXPECT_EQ(kavro_pack_run({"verify", "-k", PUBLISHER_PUBLIC_KEY, output_}).exit_status, 0)
        << format;
  }
}

TEST_F(PackCliTest, VerifyWithAnotherKeyFails) {
  ASSERT_EQ(kavro_pack_run(build_arguments()).exit_status, 0);
  const auto result = kavro_pack_run({"verify", "-k", SHORT_PUBLIC_KEY, output_});
  EXPECT_EQ(result.exit_status, EXIT_FAILED);
  EXPECT_EQ(result.out,
            "FAILED bld.bin.sign: signature does not match bld.bin\n"
            "FAILED bst.bin.sign: signature does not match bst.bin\n");
}

TEST_F(PackCliTest, VerifyWithoutCompanionsFails) {
  const auto built = kavro_pack_run({"build", "-m", chain_.manifest, "-o", output_,
                                     chain_.bootstrap, chain_.bootloader, chain_.misc});
  ASSERT_EQ(built.exit_status, 0) << built.err;
  const auto result = kavro_pack_run({"verify", "-k", PUBLISHER_PUBLIC_KEY, output_});
  EXPECT_EQ(result.exit_status, EXIT_FAILED);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "kavro-pack: " + output_ + " has no .sign companions\n");
}

TEST_F(PackCliTest, ListOfArchiveWithoutManifestFails) {
  const auto result = kavro_pack_run({"list", chain_.bootstrap});
  EXPECT_EQ(result.exit_status, EXIT_FAILED);
  EXPECT_THAT(result.err, StartsWith("kavro-pack: "));
}

TEST_F(PackCliTest, MissingArchiveFails) {
  const auto listed = kavro_pack_run({"list", folder_.file("absent.7z")});
  EXPECT_EQ(listed.exit_status, EXIT_FAILED);
  EXPECT_THAT(listed.err, StartsWith("kavro-pack: cannot open archive "));
  const auto verified =
      kavro_pack_run({"verify", "-k", PUBLISHER_PUBLIC_KEY, folder_.file("absent.7z")});
  EXPECT_EQ(verified.exit_status, EXIT_FAILED);
  EXPECT_THAT(verified.err, StartsWith("kavro-pack: cannot open archive "));
}

TEST_F(PackCliTest, BuildWithMissingFile) {
  auto arguments = build_arguments();
  arguments.push_back(folder_.file("images/absent.bin"));
  expect_build_fails(arguments, "not a readable file: " + folder_.file("images/absent.bin"));
}

TEST_F(PackCliTest, BuildWithSizeMismatch) {
  chain_.edit_manifest("\"filesize\": 4096", "\"filesize\": 4000");
  expect_build_fails(build_arguments(),
                     "size mismatch: manifest gives bst.bin \"filesize\" 4000, the file has 4096 "
                     "bytes");
}

TEST_F(PackCliTest, BuildWithKeyGivingShortSignatures) {
  auto arguments = build_arguments();
  arguments[6] = SHORT_PRIVATE_KEY;
  expect_build_fails(
      arguments, SHORT_PRIVATE_KEY + " is a 2048-bit key; signatures must be 512 bytes (RSA-4096)");
}

TEST_F(PackCliTest, BuildIntoMissingFolder) {
  auto arguments = build_arguments();
  const std::string unwritable = folder_.file("nowhere/firmware.7z");
  arguments[4] = unwritable;
  const auto result = kavro_pack_run(arguments);
  EXPECT_EQ(result.exit_status, EXIT_FAILED);
  EXPECT_EQ(result.err, "kavro-pack: cannot write " + unwritable + ": No such file or directory\n");
}

TEST(PackCliUsage, HelpPrintsUsage) {
  const auto result = kavro_pack_run({"--help"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_THAT(result.out, StartsWith("Usage:\n  kavro-pack build -m MANIFEST.json -o OUTPUT"));
  EXPECT_THAT(result.out, HasSubstr("  kavro-pack verify -k PUBLIC.pem ARCHIVE\n"));
  EXPECT_THAT(result.out, HasSubstr("  kavro-pack list ARCHIVE\n"));
  EXPECT_EQ(result.err, "");
}

struct UsageFault {
  const char* name;
  std::vector<std::string> arguments;
  const char* message;
};

class PackCliUsageFault : public ::testing::TestWithParam<UsageFault> {};

TEST_P(PackCliUsageFault, ExitsWithUsage) {
  const auto result = kavro_pack_run(GetParam().arguments);
  EXPECT_EQ(result.exit_status, EXIT_USAGE);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err,
              StartsWith(std::string("kavro-pack: ") + GetParam().message + "\nUsage:\n"));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, PackCliUsageFault,
    ::testing::Values(
        UsageFault{"NoCommand", {}, "no command given"},
        UsageFault{"UnknownCommand", {"pack"}, "unknown command pack"},
        UsageFault{"NoManifest", {"build", "-o", "out.7z", "a.bin"}, "-m is required"},
        UsageFault{"NoOutput", {"build", "-m", "m.json", "a.bin"}, "-o is required"},
        UsageFault{"NoFiles", {"build", "-m", "m.json", "-o", "out.7z"}, "no files to pack"},
        UsageFault{"OptionTwice",
                   {"build", "-m", "m.json", "-m", "n.json", "-o", "o", "a"},
                   "-m is given twice"},
        UsageFault{"OptionWithoutValue", {"build", "a.bin", "-m"}, "-m needs a value"},
        UsageFault{"UnknownOption",
                   {"build", "-m", "m.json", "-o", "o", "--fast", "a"},
                   "unknown option --fast"},
        UsageFault{"UnknownFormat",
                   {"build", "-m", "m", "-o", "o", "--format", "rar", "a"},
                   "unknown format rar (7z, 7z-store or zip)"},
        UsageFault{"EmptySignName",
                   {"build", "-m", "m", "-o", "o", "--sign", "a,,b", "a"},
                   "empty name in --sign a,,b"},
        UsageFault{"VerifyWithoutKey", {"verify", "a.7z"}, "-k is required"},
        UsageFault{"VerifyTwoArchives",
                   {"verify", "-k", "k.pem", "a.7z", "b.7z"},
                   "exactly one archive is needed"},
        UsageFault{"ListNothing", {"list"}, "exactly one archive is needed"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
