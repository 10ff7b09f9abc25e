// Why an input or a module was refused: the line kavro-flash adds on standard error after each
// refusal of the interactive run. Archives broken as a publisher might break them are made with
// kavro-pack's library; kavro-pack's own refusals have their table in tests/tools.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/fixtures.h"
#include "tests/support/subprocess.h"
#include "tests/support/test_keys.h"
#include "tools/kavro_pack.h"

namespace {

using fixture::module;
using fixture::sim_config;

// An archive holding exactly `entries` (name, text), as a broken publisher might make it.
std::string archive(const std::string& name,
                    const std::vector<std::pair<std::string, std::string>>& entries) {
  std::vector<kavro_pack::Entry> contents;
  for (const auto& [entry, text] : entries) {
    contents.push_back({entry, std::vector<uint8_t>(text.begin(), text.end())});
  }
  const std::string path = fixture::path(name);
  kavro_pack::write_archive(contents, path, kavro_pack::Format::seven_zip);
  return path;
}

std::string manifest(const std::string& partitions) {
  return R"({"manifest": {"platform": "cv22", "firmware_version": "1", "partitions": {)" +
         partitions + "}}}";
}

struct Row {
  std::string program;
  std::vector<std::string> arguments;
  std::string config;  // KAVRO_SIM_CONFIG; empty for the simulator's default module
  int exit_status;
  std::string err;  // what standard error must contain
};

TEST(RefusalCause, EachRefusalSaysWhy) {
  const std::string flash = KAVRO_FLASH_SIM_BINARY;
  auto& files = fixture::files();
  const std::string text = files.write_file("text.7z", "just text\n");
  const std::string empty = files.write_file("empty.7z", "");
  const std::string ota = fixture::ota_file("cv22");
  const std::string meta = R"("meta": {"filename": "mta.bin", "filesize": 4})";
  const std::string private_key = files.file("key.pem");
  test_support::write_private_key_pem(private_key, test_support::make_rsa_key(2048).get());
  const std::string late_cv22 = sim_config(
      "late.json", {module("7-1", "s5l"), module("7-2", "cv22", R"(, "attach_after_ms": 500)")});
  const std::string unplugging = sim_config(
      "unplug.json",
      {module("7-3", "cv22", R"(, "faults": [{"kind": "unplug", "after_image_bytes": 20000}])")});

  const std::vector<Row> rows{
      {flash, {"-o", "/nonexistent/ota.7z"}, "", 5, "  reason: the file does not exist\n"},
      {flash, {"-o", files.path().string()}, "", 5, "  reason: it is a folder, not a file\n"},
      {flash, {"-o", empty}, "", 5, "  reason: the file is empty\n"},
      {flash, {"-o", text}, "", 5, "not an archive libarchive can read: Unrecognized archive"},
      {flash,
       {"-o", archive("no-manifest.7z", {{"mta.bin", "meta"}})},
       "",
       5,
       "reason: the archive holds no non-empty entry named \"manifest\"\n"},
      {flash,
       {"-o", archive("bad-json.7z", {{"manifest", "{\"manifest\": x}"}})},
       "",
       5,
       "reason: the manifest is not JSON: unexpected character at line 1, column 14 (byte 13)"},
      {flash,
       {"-o", archive("lost-file.7z", {{"manifest", manifest(meta)}})},
       "",
       5,
       "reason: the manifest's meta partition names mta.bin, which the archive does not hold\n"},
      {flash,
       {"-o", fixture::ota_file("xyz")},
       "",
       5,
       "reason: the firmware is for platform \"xyz\", which is none of s5l, cv22, cv25, s6lm "
       "and cv28\n"},
      {flash,
       {"-o", fixture::ota_file("cv28")},
       "",
       5,
       "reason: no base archive is built in for platform \"cv28\"; give one with -b\n"},
      {flash,
       {"-o", ota, "-s", files.write_file("broken.json", "{\"settings\" ")},
       "",
       6,
       "reason: not JSON: the JSON text ends before its value is complete at line 1, column 13 "
       "(byte 12)\n"},
      {flash, {"-o", ota, "-s", "/nonexistent/s.json"}, "", 6, "the file does not exist\n"},
      {flash,
       {"-o", ota, "-q", private_key, "-p", files.write_file("short.bin", "k")},
       "",
       12,
       "reason: the file has 1 bytes\n"},
      {flash,
       {"-o", ota, "-q", files.write_file("public.pem", "-----BEGIN PUBLIC KEY-----\n"), "-p",
        text},
       "",
       2,
       "reason: it holds a public key; -q needs the private key"},
      {flash,
       {"-o", archive("only-meta.7z", {{"manifest", manifest(meta)}, {"mta.bin", "meta"}})},
       "",
       9,
       "reason: partitions missing from the archive: osloader, kernel, rootfs\n"},
      {flash,
       {"-o", ota},
       late_cv22,
       0,
       "s5l module at 7-1 ignored: the firmware is for cv22\nTaking the cv22 module at 7-2\n"},
      {flash, {"-o", ota}, unplugging, 9, "reason: the module went away"},
  };
  for (const auto& row : rows) {
    const auto result =
        test_support::run_process(row.program, row.arguments, {{"KAVRO_SIM_CONFIG", row.config}});
    const std::string what = row.arguments.front() + " " + row.arguments.back();
    EXPECT_EQ(result.exit_status, row.exit_status) << what << "\n" << result.err;
    EXPECT_NE(result.err.find(row.err), std::string::npos) << what << "\n" << result.err;
  }
}

}  // namespace
