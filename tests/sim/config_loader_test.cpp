// The simulator configuration file: every key it knows, and a clear error for everything it
// does not.
#include <gtest/gtest.h>

#include "sim/config_loader.h"
#include "tests/support/temp_directory.h"

namespace {

using sim::ConfigError;
using sim::parse_config;
using Kind = sim::Fault::Kind;

// The message of the ConfigError that parsing `text` throws, or "" when it parses.
std::string error_of(std::string_view text) {
  try {
    parse_config(text);
  } catch (const ConfigError& error) {
    return error.what();
  }
  return "";
}

TEST(ConfigLoader, EveryModuleKey) {
  const auto modules = parse_config(R"({"modules": [
    {"port": "1-4.2", "platform": "s5l", "revision": 1, "flash_dir": "out/a",
     "attach_after_ms": 250, "reenumerate_ms": 10, "flash_capacity": 8589934592,
     "bootloader_size": 154304,
     "bootloader_sha256": "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF",
     "keep_image_bytes": false, "record_traffic": false,
     "timing": {"control_latency_us": 5, "bulk_bytes_per_second": 1000000,
                "flash_bytes_per_second": 2000000}},
    {"port": "1-5", "platform": "s5l", "adc_reading": 3000}
  ]})");
  ASSERT_EQ(modules.size(), 2u);
  const sim::ModuleConfig& first = modules[0];
  EXPECT_EQ(first.port, "1-4.2");
  EXPECT_EQ(first.platform, "s5l");
  EXPECT_EQ(first.revision, 1u);
  EXPECT_FALSE(first.adc_reading.has_value());
  EXPECT_EQ(first.flash_dir, "out/a");
  EXPECT_EQ(first.attach_after_ms, 250u);
  EXPECT_EQ(first.reenumerate_ms, 10u);
  EXPECT_EQ(first.flash_capacity, 8589934592u);
  EXPECT_EQ(first.bootloader_size, 154304u);
  EXPECT_EQ(first.bootloader_sha256.size(), 64u);
  EXPECT_FALSE(first.keep_image_bytes);
  EXPECT_FALSE(first.record_traffic);
  EXPECT_EQ(first.timing.control_latency_us, 5u);
  EXPECT_EQ(first.timing.bulk_bytes_per_second, 1000000u);
  EXPECT_EQ(first.timing.flash_bytes_per_second, 2000000u);
  EXPECT_EQ(modules[1].adc_reading, 3000u);
  EXPECT_EQ(modules[1].revision, 0u);
}

TEST(ConfigLoader, DefaultsForAbsentKeys) {
  const auto modules = parse_config(R"({"modules": [{}]})");
  ASSERT_EQ(modules.size(), 1u);
  EXPECT_EQ(modules[0].port, "1-1");
  EXPECT_EQ(modules[0].platform, "cv22");
  EXPECT_EQ(modules[0].flash_capacity, 4ull << 30);
  EXPECT_EQ(modules[0].bootloader_size, 154304u);
  EXPECT_TRUE(modules[0].faults.empty());
  EXPECT_TRUE(parse_config(R"({"modules": []})").empty());
}

TEST(ConfigLoader, FaultsByNameOrNumber) {
  const auto modules = parse_config(R"({"modules": [{"faults": [
    {"kind": "status", "command": "image_header", "occurrence": 2, "status": 5},
    {"kind": "status", "command": 7, "status": 1},
    {"kind": "bad_signature", "command": "data"},
    {"kind": "hang", "after_control_transfers": 100},
    {"kind": "unplug", "after_image_bytes": 5000000},
    {"kind": "hang", "command": "ptb_write"},
    {"kind": "no_return"},
    {"kind": "short_responses", "piece_size": 4},
    {"kind": "poll_never_ready"},
    {"kind": "adc_never_done"},
    {"kind": "status", "command": "any", "status": 10}
  ]}]})");
  const auto& faults = modules.at(0).faults;
  ASSERT_EQ(faults.size(), 11u);
  EXPECT_EQ(faults[0].kind, Kind::Status);
  EXPECT_EQ(faults[0].command_id, 2u);
  EXPECT_EQ(faults[0].occurrence, 2u);
  EXPECT_EQ(faults[0].status, 5u);
  EXPECT_EQ(faults[1].command_id, 7u);
  EXPECT_EQ(faults[2].kind, Kind::BadSignature);
  EXPECT_EQ(faults[2].command_id, sim::kDataBlock);
  EXPECT_EQ(faults[3].kind, Kind::Hang);
  EXPECT_EQ(faults[3].after_control_transfers, 100u);
  EXPECT_EQ(faults[4].kind, Kind::Unplug);
  EXPECT_EQ(faults[4].after_image_bytes, 5000000u);
  EXPECT_EQ(faults[5].command_id, 5u);
  EXPECT_EQ(faults[6].kind, Kind::NoReturn);
  EXPECT_EQ(faults[7].kind, Kind::ShortResponses);
  EXPECT_EQ(faults[7].piece_size, 4u);
  EXPECT_EQ(faults[8].kind, Kind::PollNeverReady);
  EXPECT_EQ(faults[9].kind, Kind::AdcNeverDone);
  EXPECT_EQ(faults[10].command_id, sim::kAnyBlock);
}

TEST(ConfigLoader, NotJson) {
  EXPECT_EQ(error_of(""), "config: not JSON: unexpected end of text");
  EXPECT_EQ(error_of(R"({"modules": [)"), "config: not JSON: unexpected end of text");
  EXPECT_EQ(error_of(R"({"modules": []} x)"),
            "config: not JSON: text after the end of the document");
  EXPECT_NE(error_of("{modules}").find("config: not JSON: "), std::string::npos);
}

TEST(ConfigLoader, DocumentShape) {
  EXPECT_EQ(error_of("[]"), "config: must be an object with the key \"modules\"");
  EXPECT_EQ(error_of("{}"), "config: missing key \"modules\"");
  EXPECT_EQ(error_of(R"({"modules": {}})"), "modules: must be an array");
  EXPECT_EQ(error_of(R"({"modules": [], "extra": 1})"), "config: unknown key \"extra\"");
  EXPECT_EQ(error_of(R"({"modules": [3]})"), "modules[0]: must be an object");
}

TEST(ConfigLoader, UnknownKeysAnywhere) {
  EXPECT_EQ(error_of(R"({"modules": [{}, {"port": "1-2", "colour": "red"}]})"),
            "modules[1]: unknown key \"colour\"");
  EXPECT_EQ(error_of(R"({"modules": [{"timing": {"latency": 1}}]})"),
            "modules[0].timing: unknown key \"latency\"");
  EXPECT_EQ(error_of(R"({"modules": [{"faults": [{"kind": "hang", "status": 1}]}]})"),
            "modules[0].faults[0]: unknown key \"status\"");
  EXPECT_EQ(error_of(R"({"modules": [{"faults": [{"kind": "no_return", "command": 1}]}]})"),
            "modules[0].faults[0]: unknown key \"command\"");
}

TEST(ConfigLoader, PlatformAndRevision) {
  EXPECT_EQ(error_of(R"({"modules": [{"platform": "cv99"}]})"),
            "modules[0].platform: unknown platform \"cv99\" (known: s5l, cv22, cv25, s6lm, cv28)");
  EXPECT_EQ(error_of(R"({"modules": [{"platform": "SOFTWARE"}]})").substr(0, 36),
            "modules[0].platform: unknown platfor");
  EXPECT_EQ(error_of(R"({"modules": [{"platform": "cv22", "revision": 1}]})"),
            "modules[0].revision: platform \"cv22\" has no revision 1");
  EXPECT_EQ(error_of(R"({"modules": [{"platform": "s5l", "revision": 2}]})"),
            "modules[0].revision: platform \"s5l\" has no revision 2");
  EXPECT_EQ(error_of(R"({"modules": [{"platform": "s5l", "revision": 1, "adc_reading": 1}]})"),
            "modules[0]: give either \"revision\" or \"adc_reading\", not both");
}

TEST(ConfigLoader, ValueTypesAndRanges) {
  EXPECT_EQ(error_of(R"({"modules": [{"port": 1}]})"), "modules[0].port: must be a string");
  EXPECT_EQ(error_of(R"({"modules": [{"port": ""}]})"), "modules[0].port: must not be empty");
  EXPECT_EQ(error_of(R"({"modules": [{"reenumerate_ms": "5"}]})"),
            "modules[0].reenumerate_ms: must be a whole number");
  EXPECT_EQ(error_of(R"({"modules": [{"reenumerate_ms": 1.5}]})"),
            "modules[0].reenumerate_ms: must be a whole number");
  EXPECT_EQ(error_of(R"({"modules": [{"attach_after_ms": -1}]})"),
            "modules[0].attach_after_ms: must not be negative");
  EXPECT_EQ(error_of(R"({"modules": [{"attach_after_ms": 4294967296}]})"),
            "modules[0].attach_after_ms: must be at most 4294967295");
  EXPECT_EQ(error_of(R"({"modules": [{"keep_image_bytes": 1}]})"),
            "modules[0].keep_image_bytes: must be true or false");
  EXPECT_EQ(error_of(R"({"modules": [{"faults": {}}]})"), "modules[0].faults: must be an array");
  EXPECT_EQ(error_of(R"({"modules": [{"timing": []}]})"), "modules[0].timing: must be an object");
  EXPECT_EQ(error_of(R"({"modules": [{"bootloader_size": 154305}]})"),
            "modules[0].bootloader_size: must be a positive multiple of 4");
  EXPECT_EQ(error_of(R"({"modules": [{"bootloader_size": 0}]})"),
            "modules[0].bootloader_size: must be a positive multiple of 4");
  EXPECT_EQ(error_of(R"({"modules": [{"bootloader_sha256": "abcd"}]})"),
            "modules[0].bootloader_sha256: must be 64 hexadecimal digits");
  EXPECT_EQ(error_of(R"({"modules": [{"flash_capacity": 18446744073709551615}]})"), "");
}

TEST(ConfigLoader, FaultErrors) {
  EXPECT_EQ(error_of(R"({"modules": [{"faults": [{}]}]})"),
            "modules[0].faults[0]: missing key \"kind\"");
  EXPECT_EQ(error_of(R"({"modules": [{"faults": [{"kind": "explode"}]}]})"),
            "modules[0].faults[0].kind: unknown fault \"explode\"");
  EXPECT_EQ(error_of(R"({"modules": [{"faults": [{"kind": "status"}]}]})"),
            "modules[0].faults[0]: missing key \"status\"");
  EXPECT_EQ(error_of(R"({"modules": [{"faults": [{"kind": "status", "status": 0}]}]})"),
            "modules[0].faults[0].status: must not be 0 (that is no fault)");
  EXPECT_EQ(
      error_of(
          R"({"modules": [{"faults": [{"kind": "status", "status": 1, "command": "format"}]}]})"),
      "modules[0].faults[0].command: unknown command \"format\"");
  EXPECT_EQ(
      error_of(R"({"modules": [{"faults": [{"kind": "status", "status": 1, "command": 9}]}]})"),
      "modules[0].faults[0].command: unknown command 9");
  EXPECT_EQ(
      error_of(R"({"modules": [{"faults": [{"kind": "short_responses", "piece_size": 0}]}]})"),
      "modules[0].faults[0].piece_size: must be 1 to 16");
  EXPECT_EQ(
      error_of(R"({"modules": [{"faults": [{"kind": "short_responses", "piece_size": 17}]}]})"),
      "modules[0].faults[0].piece_size: must be at most 16");
  EXPECT_EQ(error_of(R"({"modules": [{"faults": [3]}]})"),
            "modules[0].faults[0]: must be an object");
}

TEST(ConfigLoader, PortsAreUnique) {
  EXPECT_EQ(error_of(R"({"modules": [{"port": "1-1"}, {"port": "1-2"}, {"port": "1-1"}]})"),
            "modules[2].port: port \"1-1\" is used by an earlier module");
}

// Reading a file and naming it in errors is shown through kavro-flash-sim's bus (process_bus
// tests); a folder is no file to read.
TEST(ConfigFile, FolderIsNoConfig) {
  test_support::TempDirectory dir;
  EXPECT_THROW(sim::load_config(dir.path()), ConfigError);
}

}  // namespace
