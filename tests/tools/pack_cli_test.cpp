// kavro-pack as a publisher runs it: one table of command lines with their exit status and error
// output, and a build -> verify -> list round trip.

#include <gmock/gmock.h>

#include <filesystem>
#include <sstream>

#include "tests/support/subprocess.h"
#include "tests/support/temp_directory.h"
#include "tests/support/test_keys.h"
#include "tools/kavro_pack.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using Bytes = std::vector<uint8_t>;

constexpr const char* MANIFEST = R"({"manifest": {"platform": "cv22", "firmware_version": "1.7.0",
  "partitions": {"bootstrap": {"filename": "bst.bin", "filesize": 4096, "coremhz_offset": 8,
    "idspmhz_offset": 12, "drammhz_offset": 16, "cortexmhz_offset": 4, "bld_size_offset": 24,
    "bld_load_addr_offset": 20},
  "bootloader": {"filename": "bld.bin", "filesize": 257024, "public_key_offset": 5000},
  "misc": {"filename": "msc.bin", "filesize": 48}}}}
)";

// A folder with the manifest, its three images, a file called "manifest", the publisher's key pair
// (key.pem, pub.pem) and private keys kavro-pack refuses.
class PackCli : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.write_file("bst.bin", std::string(4096, 'b'));
    folder_.write_file("bld.bin", std::string(257024, 'l'));
    folder_.write_file("msc.bin", std::string(48, 'm'));
    folder_.write_file("manifest", "{}");
    folder_.write_file("bst.bin.sign", std::string(512, 's'));
    std::filesystem::create_directory(folder_.file("dir"));
    std::filesystem::copy_file(KAVRO_TEST_PUBLISHER_PRIVATE_KEY, folder_.file("key.pem"));
    std::filesystem::copy_file(KAVRO_TEST_PUBLISHER_PUBLIC_KEY, folder_.file("pub.pem"));
    const auto rsa = test_support::make_rsa_key(2048);
    test_support::write_private_key_pem(folder_.file("rsa2048.pem"), rsa.get());
    test_support::write_encrypted_private_key_pem(folder_.file("locked.pem"), rsa.get(), "pw");
    test_support::write_private_key_pem(folder_.file("ec.pem"), test_support::make_ec_key().get());
  }

  // Runs kavro-pack with the words of `command_line`; "%name" stands for a file of the folder.
  test_support::ProcessResult run(const std::string& command_line) {
    std::vector<std::string> arguments;
    std::istringstream words(command_line);
    for (std::string word; words >> word;) {
      arguments.push_back(word.starts_with("%") ? folder_.file(word.substr(1)) : word);
    }
    return test_support::run_process(KAVRO_PACK_EXECUTABLE, arguments);
  }

  test_support::TempDirectory folder_;
};

struct Row {
  std::string command_line;
  int exit_status;
  std::string message;  // found in the error output, after "kavro-pack: "
  std::string manifest_from = "", manifest_to = "";  // an edit of the manifest before the run
};

TEST_F(PackCli, CommandLines) {
  const std::string build = "build -m %m.json -o %out.7z %bst.bin %bld.bin %msc.bin ";
  const Row rows[] = {
      {"", 2, "no command given"},
      {"pack", 2, "unknown command pack"},
      {"build -o o a", 2, "-m is required"},
      {"build -m m -m n -o o a", 2, "-m is given twice"},
      {"build a -m", 2, "-m needs a value"},
      {"build -m m -o o --fast a", 2, "unknown option --fast"},
      {"build -m m -o o --format rar a", 2, "unknown format rar (7z, 7z-store or zip)"},
      {"build -m m -o o --sign a,,b a", 2, "empty name in --sign a,,b"},
      {"build -m m -o o", 2, "no files to pack"},
      {"verify -k k a.7z b.7z", 2, "exactly one archive is needed"},
      {build + "--format 7z-store", 0, ""},
      {build + "--format zip", 0, ""},
      {build + "%absent.bin", 1, "not a readable file: "},
      {build + "%bst.bin", 1, "two files are named bst.bin"},
      {build + "%manifest", 1, "a file may not be called \"manifest\": "},
      {build + "--sign bst.bin", 2, "--sign-key and --sign go together"},
      {build + "%bst.bin.sign --sign-key %key.pem --sign bst.bin", 1, "a file bst.bin.sign is"},
      {build + "--sign-key %absent.pem --sign bst.bin", 1, "cannot read key file "},
      {build + "--sign-key %key.pem --sign bst.bin,x.bin", 1, "cannot sign x.bin: it is not among"},
      {build + "--sign-key %key.pem --sign bst.bin,bst.bin", 1, "bst.bin is named twice in --sign"},
      {build + "--sign-key %rsa2048.pem --sign bst.bin", 1, "rsa2048.pem is a 2048-bit key;"},
      {build + "--sign-key %ec.pem --sign bst.bin", 1, "ec.pem is not an RSA key"},
      {build + "--sign-key %locked.pem --sign bst.bin", 1, "locked.pem holds no unencrypted"},
      {"build -m %absent.json -o %out.7z %bst.bin", 1, "cannot read "},
      {"build -m %m.json -o %no/out.7z %bst.bin %bld.bin %msc.bin", 1, "cannot write "},
      {"build -m %m.json -o %dir %bst.bin %bld.bin %msc.bin", 1, "cannot write "},
      {"build -m %m.json -o /dev/null %bst.bin %bld.bin %msc.bin", 1,
       "cannot write /dev/null: not a regular file"},
      {build, 1, "size mismatch: manifest gives bst.bin \"filesize\" 4000, the", "4096", "4000"},
      {build, 1,
       "m.json is not valid JSON: object value separator ',' expected at line 2, column 3",
       "\"1.7.0\",", "\"1.7.0\""},
      {build, 1,
       "m.json is not valid JSON: the JSON text ends before its value is complete at line 7, "
       "column 1",
       "}}}}", "}}"},
      {build, 1, "m.json is not valid JSON: text follows the JSON value at line 6, column 54",
       "}}}}", "}}}} x"},
      {build, 1, "platform \"CV22\" is none of s5l, cv22, cv25, s6lm and cv28, so kavro-flash",
       "cv22", "CV22"},
      {build, 1, "manifest: the top level needs a \"manifest\"", "\"manifest\"", "\"x\""},
      {build, 1, "manifest: \"manifest\" needs \"platform\" (a string)", "\"cv22\"", "null"},
      {build, 1, "manifest: unknown partition \"miscellaneous\"", "\"misc\"", "\"miscellaneous\""},
      {build, 1, "partition \"misc\" is not an object", "\"misc\": {", "\"misc\": 1, \"x\": {"},
      {build, 1, "msc.bin is not named by the manifest", "msc.bin\"", "other.bin\""},
      {build, 1, "partition \"bootstrap\" needs \"cortexmhz_offset\"", "\"cortexmhz", "\"c"},
      {build, 1, "partition \"bootloader\" needs \"public_key_offset\"", "\"public_", "\"x"},
      {build, 1, "partition \"kernel\" needs a non-zero", "\"misc\"", "\"kernel\""},
      {build, 1, "needs a non-zero", "\"misc\": {", "\"kernel\": {\"load_address\": 0, "},
      {"verify -k %pub.pem %absent.7z", 1, "cannot open archive "},
      {"verify -k %key.pem %bst.bin", 1, "key.pem is a private key; verify needs the public key"},
      {"list %bst.bin", 1, "cannot open archive "},
  };
  for (const Row& row : rows) {
    std::string manifest = MANIFEST;
    manifest.replace(manifest.find(row.manifest_from), row.manifest_from.size(), row.manifest_to);
    folder_.write_file("m.json", manifest);
    std::filesystem::remove(folder_.file("out.7z"));
    const auto result = run(row.command_line);
    EXPECT_EQ(result.exit_status, row.exit_status) << row.command_line << "\n" << result.err;
    EXPECT_THAT(result.err, StartsWith(row.exit_status == 0 ? "" : "kavro-pack: "));
    EXPECT_THAT(result.err, HasSubstr(row.message)) << row.command_line;
    // One line for a success, nothing for a failure.
    EXPECT_EQ(result.out,
              row.exit_status != 0
                  ? ""
                  : "wrote " + folder_.file("out.7z") + ": 4 entries, " +
                        std::to_string(std::filesystem::file_size(folder_.file("out.7z"))) +
                        " bytes\n");
    // Only a build that succeeds leaves a file behind, its output; a refused one not even a
    // temporary file.
    const auto files = std::distance(std::filesystem::directory_iterator(folder_.path()), {});
    EXPECT_EQ(files, 12 + (row.exit_status == 0)) << row.command_line;
  }
  EXPECT_THAT(run("--help").out, StartsWith("Usage:\n  kavro-pack build -m MANIFEST.json"));
}

// kavro-pack writes the manifest and the companions first, then the images in flash order. An
// archive packed by another tool in name order puts the bootloader and both companions on a
// 256 KiB boundary of the solid stream (257024 + 512 + 4096 + 512 bytes) before the manifest:
// listing reads through them, because libarchive 3.6 loses its place when it skips them
// ("Truncated 7-Zip file body").
TEST_F(PackCli, BuildVerifyListRoundTrip) {
  folder_.write_file("m.json", MANIFEST);
  const auto built =
      run("build -m %m.json -o %out.7z --format 7z --sign-key %key.pem --sign "
          "bst.bin,bld.bin %bst.bin %bld.bin %msc.bin");
  ASSERT_EQ(built.exit_status, 0) << built.err;
  const auto verified = run("verify -k %pub.pem %out.7z");
  EXPECT_EQ(verified.exit_status, 0);
  EXPECT_EQ(verified.out, "OK bst.bin.sign\nOK bld.bin.sign\n");
  const std::string values =
      "platform: cv22\nfirmware_version: 1.7.0\npartitions:\n  bootstrap:\n    filename: bst.bin\n"
      "    filesize: 4096\n    coremhz_offset: 8\n    idspmhz_offset: 12\n    drammhz_offset: 16\n"
      "    cortexmhz_offset: 4\n    bld_size_offset: 24\n    bld_load_addr_offset: 20\n"
      "  bootloader:\n    filename: bld.bin\n    filesize: 257024\n    public_key_offset: 5000\n"
      "  misc:\n    filename: msc.bin\n    filesize: 48\nentries:\n";
  const auto listed = run("list %out.7z");
  EXPECT_EQ(listed.exit_status, 0) << listed.err;
  EXPECT_EQ(listed.out,
            values +
                "  manifest 424\n  bst.bin.sign 512\n  bld.bin.sign 512\n  bst.bin 4096\n"
                "  bld.bin 257024\n  msc.bin 48\n");
  const std::vector<kavro_pack::Entry> by_name{
      {"bld.bin", folder_.file("bld.bin")},          {"bld.bin.sign", Bytes(512)},
      {"bst.bin", folder_.file("bst.bin")},          {"bst.bin.sign", Bytes(512)},
      {"manifest", Bytes(MANIFEST, MANIFEST + 424)}, {"msc.bin", folder_.file("msc.bin")}};
  kavro_pack::write_archive(by_name, folder_.file("by-name.7z"), kavro_pack::Format::seven_zip);
  EXPECT_EQ(run("list %by-name.7z").out,
            values +
                "  bld.bin 257024\n  bld.bin.sign 512\n  bst.bin 4096\n  bst.bin.sign 512\n"
                "  manifest 424\n  msc.bin 48\n");
  // Companions that do not match, have the wrong size or lack their file; archives without a valid
  // manifest or without companions.
  const Bytes signature = kavro_pack::sign_bytes(Bytes(5), folder_.file("key.pem"));
  // The first entry of a name is the one checked.
  const std::vector<kavro_pack::Entry> bad{{"a", Bytes{1}},         {"a.sign", signature},
                                           {"a", Bytes{3}},         {"b", Bytes{2}},
                                           {"b.sign", Bytes{1, 2}}, {"c.sign", signature}};
  kavro_pack::write_archive(bad, folder_.file("bad.zip"), kavro_pack::Format::zip);
  const std::vector<kavro_pack::Entry> manifests{
      {"manifest", Bytes{}}, {"manifest", Bytes{'['}}, {"manifest", Bytes{'{'}}};
  kavro_pack::write_archive(manifests, folder_.file("bad.7z"), kavro_pack::Format::seven_zip);
  const auto checked = run("verify -k %pub.pem %bad.zip");
  EXPECT_EQ(checked.exit_status, 1);
  EXPECT_EQ(checked.out,
            "FAILED a.sign: signature does not match a\n"
            "FAILED b.sign: signature is not 512 bytes long\n"
            "FAILED c.sign: no entry named c\n");
  EXPECT_THAT(run("list %bad.7z").err, HasSubstr("bad.7z is not valid\n"));
  EXPECT_THAT(run("list %bad.zip").err, HasSubstr("bad.zip has no manifest\n"));
  EXPECT_THAT(run("verify -k %pub.pem %bad.7z").err, HasSubstr("bad.7z has no .sign companions\n"));
}

}  // namespace
