// Flashing settings: built-in defaults per platform and JSON settings files. One table of files
// refused with their code, one of settings loaded with every value read from them.

#include "firmware/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/temp_directory.h"

namespace {

// The "partitions" object of a file, with `custom` as its "custom_partitions" when given.
std::string partitions(const std::string& custom = "") {
  return R"("partitions": {"ota_enabled": true, "kernel_maxsize": 1000, "rootfs_maxsize": 2000)" +
         (custom.empty() ? "" : ", \"custom_partitions\": " + custom) + "}";
}

std::string file(const std::string& settings) {
  return R"({"settings": {)" + settings + "}}";
}

// A cv22 file whose partitions list `custom`.
std::string custom(const std::string& list) {
  return file(R"("platform": "cv22", )" + partitions(list));
}

// `count` custom partitions p0, p1, ... of 1 byte each, p0 with the twin p0_b when `twin`.
std::string listed(int count, bool twin, const std::string& after = "") {
  std::string list = twin ? R"([{"name": "p0", "maxsize": 1, "ota_alternative": "p0_b"})"
                          : R"([{"name": "p0", "maxsize": 1})";
  for (int i = 1; i < count; ++i) {
    list += R"(, {"name": "p)" + std::to_string(i) + R"(", "maxsize": 1})";
  }
  return list + after + "]";
}

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kavro_settings_init(&settings_), 0); }
  void TearDown() override { kavro_settings_destroy(&settings_); }

  int parse(const std::string& text, std::vector<std::string>* warnings = nullptr) {
    return kavro_settings_parse_json_file(&settings_, folder_.write_file("s.json", text).c_str(),
                                          warnings);
  }

  // Platform, OTA flag, kernel and rootfs limits, the custom partitions as name:maxsize:flags and
  // the clocks idsp/core/cortex/dram.
  std::string summary() {
    std::string text = std::string(kavro_settings_get_platform(&settings_)) + " " +
                       std::to_string(kavro_settings_get_ota_enabled(&settings_)) + " " +
                       std::to_string(kavro_settings_get_kernel_maxsize(&settings_)) + " " +
                       std::to_string(kavro_settings_get_rootfs_maxsize(&settings_)) + " [";
    for (uint32_t i = 0; i < kavro_settings_get_custom_part_count(&settings_); ++i) {
      const char* name = kavro_settings_get_custom_name(&settings_, static_cast<int32_t>(i));
      text += std::string(name, strnlen(name, 8)) + ":" +
              std::to_string(kavro_settings_get_custom_maxsize(&settings_, static_cast<int>(i))) +
              ":" + std::to_string(settings_->custom[i].flags) + " ";
    }
    return text + "] " + std::to_string(kavro_settings_get_idsp_mhz(&settings_)) + "/" +
           std::to_string(kavro_settings_get_core_mhz(&settings_)) + "/" +
           std::to_string(kavro_settings_get_cortex_mhz(&settings_)) + "/" +
           std::to_string(kavro_settings_get_dram_mhz(&settings_));
  }

  test_support::TempDirectory folder_;
  kavro_settings* settings_ = nullptr;
};

// Rows run one after the other on one record, so a value left over from an earlier row shows. A row
// that is not a JSON document names a platform for the built-in defaults.
TEST_F(Settings, LoadedValues) {
  const std::string largest = file(R"("platform": "cv25")");
  const std::string eight = " p1:1:0 p2:1:0 p3:1:0 p4:1:0 p5:1:0 p6:1:0 p7:1:0 ] 0/0/0/0";
  const std::pair<std::string, std::string> rows[] = {
      {"software", "software 0 0 0 [] 0/0/0/0"},
      {"s5l", "s5l 1 16777216 536870912 [] 0/0/0/0"},
      {"cv22", "cv22 1 16777216 268435456 [] 0/0/0/0"},
      {"cv25", "cv25 1 16777216 786432000 [] 0/0/0/0"},
      {"s6lm", "s6lm 1 16777216 786432000 [] 0/0/0/0"},
      {"cv28", "cv28 1 16777216 367001600 [] 0/0/0/0"},
      {file(R"("platform": "cv22", "colour": "blue", "clocks": {"idsp_mhz": 600,
          "core_mhz": "504", "cortex_mhz": 1008, "dram_mhz": 1800})"),
       "cv22 1 16777216 268435456 [] 600/504/1008/1800"},
      {largest + std::string(0x20000 - largest.size(), ' '),
       "cv25 1 16777216 786432000 [] 0/0/0/0"},
      // The platform field keeps its terminator; null reads as the empty text.
      {file(R"("platform": ")" + std::string(70, 'p') + "\", " + partitions()),
       std::string(63, 'p') + " 1 1000 2000 [] 0/0/0/0"},
      {file(R"("platform": null, "partitions": {"ota_enabled": null, "kernel_maxsize": "4096",
          "rootfs_maxsize": 8589934592})"),
       " 0 4096 8589934592 [] 0/0/0/0"},
      {custom(R"([{"name": "a", "maxsize": 5, "flags": 3, "ota_alternative": "a2"},
          {"name": "b", "maxsize": 6, "flags": -7, "ota_alternative": "b2"},
          {"name": "c", "maxsize": 7}])"),
       "cv22 1 1000 2000 [a:5:3 b:6:-7 c:7:0 a2:5:3 b2:6:-7 ] 0/0/0/0"},
      {custom("[]"), "cv22 1 1000 2000 [] 0/0/0/0"},
      // Names of 8 characters or more fill the field without a terminator.
      {custom(R"([{"name": "abcdefghij", "maxsize": 1, "ota_alternative": "ABCDEFGHIJ"}])"),
       "cv22 1 1000 2000 [abcdefgh:1:0 ABCDEFGH:1:0 ] 0/0/0/0"},
      // Elements after the eighth are not read. A twin that fills a listed empty entry does not
      // grow the count past 8.
      {custom(listed(8, false, R"(, {"broken": true})")), "cv22 1 1000 2000 [p0:1:0" + eight},
      {custom(listed(7, true, R"(, {"name": "", "maxsize": 0})")),
       "cv22 1 1000 2000 [p0:1:0 p1:1:0 p2:1:0 p3:1:0 p4:1:0 p5:1:0 p6:1:0 p0_b:1:0 ] 0/0/0/0"},
      {"cv28", "cv28 1 16777216 367001600 [] 0/0/0/0"},
  };
  for (const auto& [input, values] : rows) {
    ASSERT_EQ(input.starts_with("{") ? parse(input)
                                     : kavro_settings_load_defaults(&settings_, input.c_str()),
              0)
        << input;
    EXPECT_EQ(summary(), values) << input;
  }
}

// One warning for each value not read as written and each key not known; the values stay as
// json-c converts them.
TEST_F(Settings, WarningsOfValuesNotReadAsWritten) {
  const std::pair<std::string, std::string> rows[] = {
      {file(R"("platform": "cv22", "partitions": {"ota_enabled": "false", "kernel_maxsize": "16M",
          "rootfs_maxsize": 1.5}, "clocks": {"dramm_mhz": 1, "core_mhz": -1}}, "clock": {)"),
       "clock beside \"settings\" is not read, ignored\npartitions.ota_enabled is the text "
       "\"false\", read as true\npartitions.kernel_maxsize is the text \"16M\", read as 16\n"
       "partitions.rootfs_maxsize is the number 1.5, read as 1\nclocks.dramm_mhz is not a known "
       "key, ignored\nclocks.core_mhz is the number -1, read as 4294967295\n"},
      {custom(listed(7, false, R"(, {"name": "abcdefghij", "maxsize": "1", "flags": 1.0}, {})")),
       "partitions.custom_partitions lists 9 partitions; those after the 8th are ignored\n"
       "partitions.custom_partitions[7].name is the text \"abcdefghij\", read as \"abcdefgh\"\n"},
      // No defaults for h22: the partitions given are taken.
      {file(R"("platform": "h22", "clocks": [1800], )" + partitions()),
       "clocks is an array, read as an empty object\n"},
  };
  for (const auto& [text, warnings] : rows) {
    std::vector<std::string> lines;
    EXPECT_EQ(parse(text, &lines), 0) << text;
    std::string joined;
    for (const std::string& line : lines) {
      joined += line.substr(line.starts_with("settings: ") ? 10 : 0) + "\n";
    }
    EXPECT_EQ(joined, warnings) << text;
  }
  EXPECT_EQ(summary(), "h22 1 1000 2000 [] 0/0/0/0");
}

TEST_F(Settings, RefusedFiles) {
  const std::string ok = file(R"("platform": "cv22")");
  const std::pair<std::string, int> rows[] = {
      {"", SETTINGS_BAD_FILE_SIZE},
      {ok + std::string(SETTINGS_MAX_FILE_SIZE - ok.size() + 1, ' '), SETTINGS_BAD_FILE_SIZE},
      {"settings", SETTINGS_BAD_JSON},
      {R"({"platform": "cv22"})", SETTINGS_NO_SETTINGS_OBJECT},
      {file(R"("partitions": {})"), SETTINGS_NO_PLATFORM},
      {file(R"("platform": "h22")"),
       SETTINGS_INVALID_PARAMETER},  // no built-in defaults to fall back on
      {file(R"("platform": "cv22", "partitions": {})"), SETTINGS_NO_OTA_ENABLED},
      {file(R"("platform": "cv22", "partitions": {"ota_enabled": 1, "rootfs_maxsize": 1})"),
       SETTINGS_NO_KERNEL_MAXSIZE},
      {file(R"("platform": "cv22", "partitions": {"ota_enabled": 1, "kernel_maxsize": -1})"),
       SETTINGS_NO_KERNEL_MAXSIZE},
      {file(R"("platform": "cv22", "partitions": {"ota_enabled": 1, "kernel_maxsize": 1})"),
       SETTINGS_NO_ROOTFS_MAXSIZE},
      {custom(R"({"name": "app", "maxsize": 1})"), SETTINGS_BAD_CUSTOM_PARTITION},
      {custom(R"([{"maxsize": 1}])"), SETTINGS_BAD_CUSTOM_PARTITION},
      {custom(R"([{"name": "a", "maxsize": -1}])"), SETTINGS_BAD_CUSTOM_PARTITION},
      // The twin's name is taken, or no entry is left for it.
      {custom(R"([{"name": "a", "maxsize": 1, "ota_alternative": "a"}])"),
       SETTINGS_BAD_OTA_ALTERNATIVE},
      {custom(listed(8, true)), SETTINGS_BAD_OTA_ALTERNATIVE},
  };
  for (const auto& [text, code] : rows) {
    EXPECT_EQ(parse(text), code) << text.substr(0, 200);
  }
  kavro_settings* none = nullptr;
  EXPECT_EQ(kavro_settings_parse_json_file(&settings_, folder_.file("absent").c_str()),
            SETTINGS_OPEN_FAILED);
  EXPECT_EQ(kavro_settings_parse_json_file(&settings_, folder_.path().c_str()),
            SETTINGS_BAD_FILE_SIZE);
  EXPECT_EQ(kavro_settings_parse_json_file(&settings_, nullptr), SETTINGS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_settings_parse_json_file(&none, "s.json"), SETTINGS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_settings_parse_json_file(nullptr, "s.json"), SETTINGS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, "cv22-lite"), SETTINGS_NOT_FOUND);
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, ""), SETTINGS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, nullptr), SETTINGS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_settings_load_defaults(&none, "cv22"), SETTINGS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_settings_load_defaults(nullptr, "cv22"), SETTINGS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_settings_init(nullptr), SETTINGS_INVALID_PARAMETER);
  kavro_settings_destroy(nullptr);
  kavro_settings_destroy(&none);
  EXPECT_EQ(kavro_settings_get_custom_name(&settings_, -1), nullptr);
  EXPECT_EQ(kavro_settings_get_custom_name(&settings_, 8), nullptr);
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, -1), UINT64_MAX);
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 8), UINT64_MAX);
}

}  // namespace
