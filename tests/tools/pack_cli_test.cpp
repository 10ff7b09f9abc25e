// kavro-pack as a publisher runs it: one table of command lines with their exit
// status and output, and a build -> verify -> list round trip.

#include <gmock/gmock.h>

#include <filesystem>
#include <sstream>

#include "tests/support/subprocess.h"
#include "tests/support/temp_directory.h"
#include "tests/support/test_keys.h"
#include "tools/kavro_pack.h"

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* MANIFEST =
    R"({"manifest": {"platform": "cv22", "firmware_version": "1.7.0",
  "partitions": {"bootstrap": {"filename": "bst.bin", "filesize": 4096, "coremhz_offset": 8,
    "idspmhz_offset": 12, "drammhz_offset": 16, "cortexmhz_offset": 4, "bld_size_offset": 24,
    "bld_load_addr_offset": 20},
  "bootloader": {"filename": "bld.bin", "filesize": 257024, "public_key_offset": 5000},
  "misc": {"filename": "msc.bin", "filesize": 48, "signed": false}}}}
)";

class PackCli : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.write_file("m.json", MANIFEST);
    folder_.write_file("bst.bin", std::string(4096, 'b'));
    folder_.write_file("bld.bin", std::string(257024, 'l'));
    folder_.write_file("msc.bin", std::string(48, 'm'));
    const auto rsa = test_support::make_rsa_key(2048);
    test_support::write_private_key_pem(folder_.file("rsa2048.pem"), rsa.get());
    test_support::write_encrypted_private_key_pem(folder_.file("locked.pem"), rsa.get(), "pw");
    test_support::write_private_key_pem(folder_.file("ec.pem"), test_support::make_ec_key().get());
    folder_.write_file("manifest", "{}");
  }

  // Runs kavro-pack with the words of `command_line`; "%name" stands for a file
  // of the folder,
  // "%key" and "%pub" for the publisher's key pair.
  test_support::ProcessResult run(const std::string& command_line) {
    std::vector<std::string> arguments;
    std::istringstream words(command_line);
    for (std::string word; words >> word;) {
      if (word == "%key" || word == "%pub") {
        word = word == "%key" ? KAVRO_TEST_PUBLISHER_PRIVATE_KEY : KAVRO_TEST_PUBLISHER_PUBLIC_KEY;
      } else if (word.starts_with("%")) {
        word = folder_.file(word.substr(1));
      }
      arguments.push_back(word);
    }
    return test_support::run_process(KAVRO_PACK_EXECUTABLE, arguments);
  }

  std::ptrdiff_t folder_size() const {
    return std::distance(std::filesystem::directory_iterator(folder_.path()), {});
  }

  test_support::TempDirectory folder_;
};

constexpr const char* BUILD = "build -m %m.json -o %out.7z %bst.bin %bld.bin %msc.bin ";
constexpr const char* SIGNED = "--sign-key %key --sign bst.bin,bld.bin ";

struct Row {
  std::string command_line;
  std::string manifest_from,
      manifest_to;  // an edit of the manifest before the run
  int exit_status;
  std::string message;  // the start of the first line on standard error, after
                        // "kavro-pack: "
};

TEST_F(PackCli, CommandLines) {
  const std::string build = BUILD;
  const Row rows[] = {
      {"", "", "", 2, "no command given"},
      {"pack", "", "", 2, "unknown command pack"},
      {"build -o o a", "", "", 2, "-m is required"},
      {"build -m m -m n -o o a", "", "", 2, "-m is given twice"},
      {"build a -m", "", "", 2, "-m needs a value"},
      {"build -m m -o o --fast a", "", "", 2, "unknown option --fast"},
      {"build -m m -o o --format rar a", "", "", 2, "unknown format rar (7z, 7z-store or zip)"},
      {"build -m m -o o --sign a,,b a", "", "", 2, "empty name in --sign a,,b"},
      {"build -m m -o o", "", "", 2, "no files to pack"},
      {"verify -k k a.7z b.7z", "", "", 2, "exactly one archive is needed"},
      {build + "--format 7z-store", "", "", 0, ""},
      {build + "--format zip", "", "", 0, ""},
      {build + "%absent.bin", "", "", 1, "not a readable file: "},
      {build + "%bst.bin", "", "", 1, "two files are named bst.bin"},
      {build + "%manifest", "", "", 1, "a file may not be called \"manifest\": "},
      {build + "--sign bst.bin", "", "", 1, "--sign-key and --sign go together"},
      {build + "--sign-key %key --sign bst.bin,x.bin", "", "", 1, "cannot sign x.bin: it is not"},
      {build + "--sign-key %key --sign bst.bin,bst.bin", "", "", 1, "bst.bin is named twice"},
      {build + "--sign-key %rsa2048.pem --sign bst.bin", "", "", 1, "/rsa2048.pem is a 2048-bit"},
      {build + "--sign-key %ec.pem --sign bst.bin", "", "", 1, "/ec.pem is not an RSA key"},
      {build + "--sign-key %locked.pem --sign bst.bin", "", "", 1, "/locked.pem holds no unenc"},
      {build + "--sign-key %pub --sign bst.bin", "", "", 1, "/publisher-public.pem holds no"},
      {"build -m %absent.json -o %out.7z %bst.bin", "", "", 1, "cannot read "},
      {"build -m %m.json -o %no/out.7z %bst.bin %bld.bin %msc.bin", "", "", 1, "cannot write "},
      {build, "4096", "4000", 1, "size mismatch: manifest gives bst.bin \"filesize\" 4000, the"},
      {build, "\"1.7.0\",", "\"1.7.0\"", 1, "/m.json is not valid JSON: "},
      {build, "}}}}", "}}}} x", 1, "/m.json is not valid JSON: text follows the JSON value"},
      {build, "\"manifest\"", "\"other\"", 1, "manifest: the top level needs a \"manifest\" o"},
      {build, "\"cv22\"", "null", 1, "manifest: \"manifest\" needs \"platform\" (a string)"},
      {build, "\"misc\"", "\"miscellaneous\"", 1, "manifest: unknown partition \"misc"},
      {build, "\"misc\": {", "\"misc\": 1, \"x\": {", 1, "manifest: partition \"misc\" is no"},
      {build, "msc.bin\"", "other.bin\"", 1, "manifest: partition \"misc\" names other.bin, wh"},
      {build, "\"cortexmhz_offset\"", "\"c\"", 1, "manifest: partition \"bootstrap\" needs \"co"},
      {build, "\"public_key", "\"key", 1, "manifest: partition \"bootloader\" needs \"public_"},
      {build, "\"misc\"", "\"kernel\"", 1, "manifest: partition \"kernel\" needs a non-zero"},
      {"verify -k %pub %absent.7z", "", "", 1, "cannot open archive "},
      {"verify -k %key %bst.bin", "", "", 1, "/publisher-private.pem holds no PEM public key"},
      {"list %bst.bin", "", "", 1, "cannot open archive "},
  };
  for (const Row& row : rows) {
    std::string manifest = MANIFEST;
    if (!row.manifest_from.empty()) {
      manifest.replace(manifest.find(row.manifest_from), row.manifest_from.size(), row.manifest_to);
    }
    folder_.write_file("m.json", manifest);
    std::filesystem::remove(folder_.file("out.7z"));
    const auto result = run(row.command_line);
    EXPECT_EQ(result.exit_status, row.exit_status) << row.command_line << "\n" << result.err;
    if (row.exit_status == 0) {
      EXPECT_EQ(result.err, "") << row.command_line;
    } else {
      EXPECT_THAT(result.err, AllOf(StartsWith("kavro-pack: "), HasSubstr(row.message)));
    }
    // Only a build that succeeds leaves a file behind: its output.
    EXPECT_EQ(folder_size(), 8 + (row.exit_status == 0)) << row.command_line;
  }
  EXPECT_THAT(run("--help").out, StartsWith("Usage:\n  kavro-pack build -m MANIFEST.json"));
}

// The bootloader and both companions end on a 256 KiB boundary of the solid
// stream (257024 + 512 + 4096 + 512 bytes): listing the manifest after them
// must read through them rather than skip them, which libarchive 3.6 gets wrong
// ("Truncated 7-Zip file body").
TEST_F(PackCli, BuildVerifyListRoundTrip) {
  const auto built = run(std::string(BUILD) + SIGNED);
  ASSERT_EQ(built.exit_status, 0) << built.err;
  EXPECT_EQ(built.out + built.err, "");
  const auto verified = run("verify -k %pub %out.7z");
  EXPECT_EQ(verified.exit_status, 0);
  EXPECT_EQ(verified.out, "OK bld.bin.sign\nOK bst.bin.sign\n");
  const auto listed = run("list %out.7z");
  EXPECT_EQ(listed.exit_status, 0) << listed.err;
  EXPECT_EQ(listed.out,
            "platform: cv22\nfirmware_version: 1.7.0\npartitions:\n  bootstrap:\n"
            "    filename: bst.bin\n    filesize: 4096\n    coremhz_offset: 8\n"
            "    idspmhz_offset: 12\n    drammhz_offset: 16\n    cortexmhz_offset: "
            "4\n"
            "    bld_size_offset: 24\n    bld_load_addr_offset: 20\n  bootloader:\n"
            "    filename: bld.bin\n    filesize: 257024\n    public_key_offset: "
            "5000\n"
            "  misc:\n    filename: msc.bin\n    filesize: 48\n    signed: "
            "false\nentries:\n"
            "  bld.bin 257024\n  bld.bin.sign 512\n  bst.bin 4096\n  bst.bin.sign "
            "512\n"
            "  manifest " +
                std::to_string(std::string(MANIFEST).size()) + "\n  msc.bin 48\n");
  // Companions that do not match, have the wrong size or lack their file.
  const auto signature =
      kavro_pack::sign_bytes(std::vector<uint8_t>(5), KAVRO_TEST_PUBLISHER_PRIVATE_KEY);
  kavro_pack::write_archive(
      std::vector<kavro_pack::Entry>{
          {"a", std::vector<uint8_t>{1}}, {"a.sign", signature}, {"b", std::vector<uint8_t>{2}}, {"b.sign", std::vector<uint8_t>{1, 2}}, {"c.sign", signature}},
      folder_.file("bad.zip"), kavro_pack::Format::zip);
  const auto checked = run("verify -k %pub %bad.zip");
  EXPECT_EQ(checked.exit_status, 1);
  EXPECT_EQ(checked.out,
            "FAILED a.sign: signature does not match a\nFAILED b.sign: signature is "
            "not 512 bytes long\nFAILED c.sign: no entry named c\n");
  kavro_pack::write_archive(std::vector<kavro_pack::Entry>{{"manifest", std::vector<uint8_t>{'['}}},
                            folder_.file("bad.7z"), kavro_pack::Format::seven_zip);
  EXPECT_EQ(run("list %bad.7z").err,
            "kavro-pack: the manifest of " + folder_.file("bad.7z") + " is not valid\n");
  EXPECT_EQ(run("list %bad.zip").err,
            "kavro-pack: " + folder_.file("bad.zip") + " has no manifest\n");
  EXPECT_EQ(run("verify -k %pub %bad.7z").err,
            "kavro-pack: " + folder_.file("bad.7z") + " has no .sign companions\n");
}

}  // namespace
