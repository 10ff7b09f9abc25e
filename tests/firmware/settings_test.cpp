#include "firmware/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

namespace fs = std::filesystem;

class SettingsRecord : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kavro_settings_init(&settings_), 0); }
  void TearDown() override {
    kavro_settings_destroy(&settings_);
    fs::remove_all(directory_);
  }

  // Writes `text` to a file of this test and parses it into the record.
  int parse(std::string_view text) {
    return kavro_settings_parse_json_file(&settings_, write(text).c_str());
  }

  std::string write(std::string_view text) {
    fs::create_directories(directory_);
    const fs::path path = directory_ / ("settings" + std::to_string(++files_) + ".json");
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  std::string_view custom_name(int index) {
    const char* name = kavro_settings_get_custom_name(&settings_, index);
    return {name, strnlen(name, 8)};
  }

  kavro_settings* settings_ = nullptr;
  const fs::path directory_ = fs::path(::testing::TempDir()) /
                              ("kavro_settings_" + std::to_string(getpid()) + "_" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
  int files_ = 0;
};

constexpr std::string_view cv22_partitions =
    R"("partitions": {"ota_enabled": true, "kernel_maxsize": 1000, "rootfs_maxsize": 2000)";

// A settings file for `platform` whose "partitions" object holds the three sizes plus `extra`.
std::string with_partitions(std::string_view extra, std::string_view platform = "cv22") {
  return std::string(R"({"settings": {"platform": ")") + std::string(platform) + "\", " +
         std::string(cv22_partitions) + std::string(extra) + "}}}";
}

std::string with_custom(std::string_view list) {
  return with_partitions(std::string(R"(, "custom_partitions": )") + std::string(list));
}

// ---------------------------------------------------------------------------------------------
// Record lifecycle and built-in defaults

TEST(SettingsLifecycle, InitRejectsNullAddressAndDestroyIsNullSafe) {
  EXPECT_EQ(kavro_settings_init(nullptr), -1);
  kavro_settings_destroy(nullptr);
  kavro_settings* settings = nullptr;
  kavro_settings_destroy(&settings);
  ASSERT_EQ(kavro_settings_init(&settings), 0);
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings), 0u);
  kavro_settings_destroy(&settings);
  EXPECT_EQ(settings, nullptr);
  kavro_settings_destroy(&settings);
}

TEST_F(SettingsRecord, DefaultsForCv25) {
  ASSERT_EQ(kavro_settings_load_defaults(&settings_, "cv25"), 0);
  EXPECT_STREQ(kavro_settings_get_platform(&settings_), "cv25");
  EXPECT_EQ(kavro_settings_get_ota_enabled(&settings_), 1u);
  EXPECT_EQ(kavro_settings_get_kernel_maxsize(&settings_), 16777216u);
  EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), 786432000u);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_idsp_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_core_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_cortex_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_dram_mhz(&settings_), 0u);
}

TEST_F(SettingsRecord, DefaultsOfEveryPlatform) {
  struct Row {
    const char* platform;
    uint32_t ota;
    uint64_t kernel, rootfs;
  };
  const Row rows[] = {{"software", 0, 0, 0},
                      {"s5l", 1, 0x01000000, 0x20000000},
                      {"cv22", 1, 0x01000000, 0x10000000},
                      {"cv25", 1, 0x01000000, 0x2EE00000},
                      {"s6lm", 1, 0x01000000, 0x2EE00000},
                      {"cv28", 1, 0x01000000, 0x15E00000}};
  for (const Row& row : rows) {
    ASSERT_EQ(kavro_settings_load_defaults(&settings_, row.platform), 0) << row.platform;
    EXPECT_STREQ(kavro_settings_get_platform(&settings_), row.platform);
    EXPECT_EQ(kavro_settings_get_ota_enabled(&settings_), row.ota) << row.platform;
    EXPECT_EQ(kavro_settings_get_kernel_maxsize(&settings_), row.kernel) << row.platform;
    EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), row.rootfs) << row.platform;
  }
}

TEST_F(SettingsRecord, DefaultsNeedAnExactLowerCaseName) {
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, "CV25"), -14);
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, "SOFTWARE"), -14);
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, "cv22-lite"), -14);
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, "cv2"), -14);
}

TEST_F(SettingsRecord, DefaultsRejectBadArguments) {
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, ""), -1);
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, nullptr), -1);
  EXPECT_EQ(kavro_settings_load_defaults(nullptr, "cv22"), -1);
  kavro_settings* none = nullptr;
  EXPECT_EQ(kavro_settings_load_defaults(&none, "cv22"), -1);
}

TEST_F(SettingsRecord, UnknownPlatformLeavesTheRecordUnchanged) {
  ASSERT_EQ(kavro_settings_load_defaults(&settings_, "cv28"), 0);
  EXPECT_EQ(kavro_settings_load_defaults(&settings_, "cv99"), -14);
  EXPECT_STREQ(kavro_settings_get_platform(&settings_), "cv28");
  EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), 0x15E00000u);
}

TEST_F(SettingsRecord, DefaultsReplaceEverythingAFileSet) {
  ASSERT_EQ(parse(R"({"settings": {"platform": "cv22", "clocks": {"core_mhz": 504},
      "partitions": {"ota_enabled": false, "kernel_maxsize": 5, "rootfs_maxsize": 6,
      "custom_partitions": [{"name": "app", "maxsize": 7}]}}})"),
            0);
  ASSERT_EQ(kavro_settings_load_defaults(&settings_, "s5l"), 0);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 0u);
  EXPECT_EQ(custom_name(0), "");
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 0), 0u);
  EXPECT_EQ(kavro_settings_get_core_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), 0x20000000u);
}

TEST_F(SettingsRecord, CustomGettersCheckOnlyTheIndexRange) {
  ASSERT_EQ(kavro_settings_load_defaults(&settings_, "cv22"), 0);
  EXPECT_EQ(kavro_settings_get_custom_name(&settings_, 8), nullptr);
  EXPECT_EQ(kavro_settings_get_custom_name(&settings_, -1), nullptr);
  EXPECT_NE(kavro_settings_get_custom_name(&settings_, 7), nullptr);
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, -1), 0xFFFFFFFFFFFFFFFFu);
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 8), 0xFFFFFFFFFFFFFFFFu);
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 7), 0u);
}

TEST(SettingsErrorString, EveryCode) {
  const std::pair<int, const char*> messages[] = {
      {-1, "Invalid parameters specified"},
      {-2, "Insufficient memory available"},
      {-3, "Could not open settings file"},
      {-4, "Invalid settings file size"},
      {-5, "Could not read settings file data"},
      {-6, "Invalid json in settings file"},
      {-7, "Missing settings object in json data"},
      {-8, "Missing platform parameter in json data"},
      {-9, "Unknown error"},
      {-10, "Missing ota_enabled parameter in json data"},
      {-11, "Missing kernel_maxsize parameter in json data"},
      {-12, "Missing rootfs_maxsize parameter in json data"},
      {-13, "Invalid custom partition found in json data"},
      {-14, "Not found"},
      {-15, "Invalid custom OTA alternative partition"},
      {-16, "Unknown error"},
      {0, "Unknown error"},
      {1, "Unknown error"},
  };
  for (const auto& [code, message] : messages) {
    EXPECT_STREQ(kavro_settings_error_string(code), message) << code;
  }
}

// ---------------------------------------------------------------------------------------------
// Reading the file

TEST_F(SettingsRecord, FileArgumentsAreChecked) {
  const std::string path = write(R"({"settings": {"platform": "cv22"}})");
  EXPECT_EQ(kavro_settings_parse_json_file(nullptr, path.c_str()), -1);
  EXPECT_EQ(kavro_settings_parse_json_file(&settings_, nullptr), -1);
  kavro_settings* none = nullptr;
  EXPECT_EQ(kavro_settings_parse_json_file(&none, path.c_str()), -1);
}

TEST_F(SettingsRecord, MissingFileCannotBeOpened) {
  EXPECT_EQ(kavro_settings_parse_json_file(&settings_, (directory_ / "absent.json").c_str()), -3);
}

TEST_F(SettingsRecord, FileSizeLimits) {
  EXPECT_EQ(parse(""), -4);
  const std::string document = R"({"settings": {"platform": "cv22"}})";
  std::string largest = document + std::string(0x20000 - document.size(), ' ');
  EXPECT_EQ(parse(largest), 0);
  EXPECT_EQ(parse(largest + " "), -4);
}

TEST_F(SettingsRecord, DirectoryIsNotASettingsFile) {
  fs::create_directories(directory_);
  EXPECT_EQ(kavro_settings_parse_json_file(&settings_, directory_.c_str()), -4);
}

TEST_F(SettingsRecord, DocumentFaults) {
  const std::pair<std::string, int> cases[] = {
      {"settings", -6},
      {R"({"settings": {"platform": "cv22")", -6},
      {std::string("\0{}", 3), -6},
      {R"({"platform": "cv22"})", -7},
      {R"([{"settings": {"platform": "cv22"}}])", -7},
      {"42", -7},
      {R"({"settings": {"partitions": {}}})", -8},
      {R"({"settings": "cv22"})", -8},
      {R"({"settings": {"Platform": "cv22"}})", -8},
  };
  for (const auto& [text, code] : cases) {
    EXPECT_EQ(parse(text), code) << text;
  }
}

TEST_F(SettingsRecord, PlatformOnlyTakesTheDefaults) {
  ASSERT_EQ(parse(R"({"settings": {"platform": "cv22"}})"), 0);
  EXPECT_STREQ(kavro_settings_get_platform(&settings_), "cv22");
  EXPECT_EQ(kavro_settings_get_ota_enabled(&settings_), 1u);
  EXPECT_EQ(kavro_settings_get_kernel_maxsize(&settings_), 16777216u);
  EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), 268435456u);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_idsp_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_dram_mhz(&settings_), 0u);
}

TEST_F(SettingsRecord, UnknownPlatformNeedsPartitions) {
  EXPECT_EQ(parse(R"({"settings": {"platform": "h22"}})"), -1);
  ASSERT_EQ(parse(with_partitions("", "h22")), 0);
  EXPECT_STREQ(kavro_settings_get_platform(&settings_), "h22");
  EXPECT_EQ(kavro_settings_get_kernel_maxsize(&settings_), 1000u);
  EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), 2000u);
}

TEST_F(SettingsRecord, OverlongPlatformKeepsItsTerminator) {
  const std::string name(100, 'p');
  ASSERT_EQ(parse(with_partitions("", name)), 0);
  EXPECT_EQ(std::string(kavro_settings_get_platform(&settings_)), std::string(63, 'p'));
}

TEST_F(SettingsRecord, UnknownKeysAreIgnored) {
  ASSERT_EQ(parse(R"({"version": 3, "settings": {"platform": "cv25", "colour": "blue"}})"), 0);
  EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), 786432000u);
}

// Each required key in turn; a negative size counts as missing.
TEST_F(SettingsRecord, PartitionsFaults) {
  const std::pair<const char*, int> cases[] = {
      {"{}", -10},
      {"[]", -10},
      {R"({"ota_enabled": true, "rootfs_maxsize": 1})", -11},
      {R"({"ota_enabled": true, "kernel_maxsize": -1, "rootfs_maxsize": 1})", -11},
      {R"({"ota_enabled": true, "kernel_maxsize": 1})", -12},
      {R"({"ota_enabled": true, "kernel_maxsize": 1, "rootfs_maxsize": -5})", -12},
  };
  for (const auto& [partitions, code] : cases) {
    EXPECT_EQ(parse(std::string(R"({"settings": {"platform": "cv22", "partitions": )") +
                    partitions + "}}"),
              code)
        << partitions;
  }
}

TEST_F(SettingsRecord, ScalarsFollowJsonConversions) {
  ASSERT_EQ(parse(R"({"settings": {"platform": "cv22", "partitions": {"ota_enabled": null,
      "kernel_maxsize": "4096", "rootfs_maxsize": 8589934592}}})"),
            0);
  EXPECT_EQ(kavro_settings_get_ota_enabled(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_kernel_maxsize(&settings_), 4096u);
  EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), 8589934592u);
  ASSERT_EQ(parse(with_partitions("", "")), 0);
  EXPECT_STREQ(kavro_settings_get_platform(&settings_), "");
  ASSERT_EQ(parse(R"({"settings": {"platform": null, )" + std::string(cv22_partitions) + "}}}"), 0);
  EXPECT_STREQ(kavro_settings_get_platform(&settings_), "");
}

// ---------------------------------------------------------------------------------------------
// Custom partitions and their OTA twins

TEST_F(SettingsRecord, CustomPartitionWithTwin) {
  ASSERT_EQ(
      parse(with_custom(
          R"([{"name": "app", "maxsize": 1048576, "flags": 3, "ota_alternative": "app_b"}])")),
      0);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 2u);
  EXPECT_EQ(custom_name(0), "app");
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 0), 1048576u);
  EXPECT_EQ(custom_name(1), "app_b");
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 1), 1048576u);
  EXPECT_EQ(settings_->custom[1].flags, 3);
  EXPECT_EQ(settings_->custom[1].ota_alternative[0], '\0');
  EXPECT_EQ(custom_name(2), "");
}

TEST_F(SettingsRecord, ListedPartitionsWithoutTwins) {
  ASSERT_EQ(parse(with_custom(
                R"([{"name": "a", "maxsize": 1}, {"name": "b", "maxsize": 2, "flags": -7}])")),
            0);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 2u);
  EXPECT_EQ(settings_->custom[0].flags, 0);
  EXPECT_EQ(settings_->custom[1].flags, -7);
  EXPECT_EQ(custom_name(1), "b");
}

TEST_F(SettingsRecord, TwinsComeAfterAllListedPartitions) {
  ASSERT_EQ(parse(with_custom(R"([{"name": "a", "maxsize": 1, "ota_alternative": "a2"},
      {"name": "b", "maxsize": 2, "ota_alternative": "b2"}, {"name": "c", "maxsize": 3}])")),
            0);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 5u);
  EXPECT_EQ(custom_name(3), "a2");
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 3), 1u);
  EXPECT_EQ(custom_name(4), "b2");
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 4), 2u);
}

TEST_F(SettingsRecord, CustomPartitionFaults) {
  std::string eight_listed = R"([{"name": "p0", "maxsize": 1, "ota_alternative": "p0_b"})";
  for (int i = 1; i < 8; ++i) {
    eight_listed += R"(, {"name": "p)" + std::to_string(i) + R"(", "maxsize": 1})";
  }
  const std::pair<std::string, int> cases[] = {
      {R"([{"name": "app"}])", -13},
      {R"([{"maxsize": 1}])", -13},
      {R"([{"name": "app", "maxsize": -1}])", -13},
      {R"([{"name": "a", "maxsize": 1}, 5])", -13},
      {R"({"name": "app", "maxsize": 1})", -13},
      {"null", -13},
      // The twin's name is taken by another partition, by the entry itself, or by an earlier
      // twin; or no entry is left for it.
      {R"([{"name": "a", "maxsize": 1, "ota_alternative": "b"}, {"name": "b", "maxsize": 2}])",
       -15},
      {R"([{"name": "app", "maxsize": 1, "ota_alternative": "app"}])", -15},
      {R"([{"name": "a", "maxsize": 1, "ota_alternative": "x"},
          {"name": "b", "maxsize": 1, "ota_alternative": "x"}])",
       -15},
      {eight_listed + "]", -15},
  };
  for (const auto& [list, code] : cases) {
    EXPECT_EQ(parse(with_custom(list)), code) << list;
  }
}

TEST_F(SettingsRecord, TwinFillsAListedEmptyEntryWithoutOverflowingTheCount) {
  std::string list = R"([{"name": "p0", "maxsize": 9, "ota_alternative": "p0_b"})";
  for (int i = 1; i < 7; ++i) {
    list += R"(, {"name": "p)" + std::to_string(i) + R"(", "maxsize": 1})";
  }
  ASSERT_EQ(parse(with_custom(list + R"(, {"name": "", "maxsize": 0}])")), 0);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 8u);
  EXPECT_EQ(custom_name(7), "p0_b");
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 7), 9u);
}

TEST_F(SettingsRecord, ElementsAfterTheEighthAreIgnored) {
  std::string list = "[";
  for (int i = 0; i < 8; ++i) {
    list +=
        R"({"name": "p)" + std::to_string(i) + R"(", "maxsize": )" + std::to_string(i + 1) + "}, ";
  }
  ASSERT_EQ(parse(with_custom(list + R"({"broken": true}])")), 0);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 8u);
  EXPECT_EQ(custom_name(7), "p7");
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 7), 8u);
}

TEST_F(SettingsRecord, EmptyCustomList) {
  ASSERT_EQ(parse(with_custom("[]")), 0);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 0u);
}

TEST_F(SettingsRecord, LongNamesFillTheFieldWithoutTerminator) {
  ASSERT_EQ(parse(with_custom(
                R"([{"name": "abcdefghij", "maxsize": 1, "ota_alternative": "ABCDEFGHIJ"}])")),
            0);
  const char* name = kavro_settings_get_custom_name(&settings_, 0);
  EXPECT_EQ(std::string_view(name, 8), "abcdefgh");
  EXPECT_EQ(std::memcmp(settings_->custom[0].ota_alternative, "ABCDEFGH", 8), 0);
  EXPECT_EQ(std::string_view(kavro_settings_get_custom_name(&settings_, 1), 8), "ABCDEFGH");
  ASSERT_EQ(parse(with_custom(R"([{"name": "exactly8", "maxsize": 1}])")), 0);
  EXPECT_EQ(std::memcmp(kavro_settings_get_custom_name(&settings_, 0), "exactly8", 8), 0);
}

// ---------------------------------------------------------------------------------------------
// Clocks and the record as a whole

TEST_F(SettingsRecord, OnlyDramClockGiven) {
  ASSERT_EQ(parse(R"({"settings": {"platform": "cv22", "clocks": {"dram_mhz": 1800}}})"), 0);
  EXPECT_EQ(kavro_settings_get_idsp_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_core_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_cortex_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_dram_mhz(&settings_), 1800u);
}

TEST_F(SettingsRecord, AllClocks) {
  ASSERT_EQ(parse(R"({"settings": {"platform": "cv22", "clocks": {"idsp_mhz": 600,
      "core_mhz": "504", "cortex_mhz": 1008, "dram_mhz": 1800}}})"),
            0);
  EXPECT_EQ(kavro_settings_get_idsp_mhz(&settings_), 600u);
  EXPECT_EQ(kavro_settings_get_core_mhz(&settings_), 504u);
  EXPECT_EQ(kavro_settings_get_cortex_mhz(&settings_), 1008u);
  EXPECT_EQ(kavro_settings_get_dram_mhz(&settings_), 1800u);
}

TEST_F(SettingsRecord, ClocksThatAreNotAnObjectAreUnset) {
  ASSERT_EQ(parse(R"({"settings": {"platform": "cv22", "clocks": [1800]}})"), 0);
  EXPECT_EQ(kavro_settings_get_dram_mhz(&settings_), 0u);
}

TEST_F(SettingsRecord, RecordDependsOnTheLastFileAlone) {
  ASSERT_EQ(parse(with_partitions(
                R"(, "custom_partitions": [{"name": "a", "maxsize": 1, "ota_alternative": "b"}]},
                "clocks": {"idsp_mhz": 1, "core_mhz": 2, "cortex_mhz": 3, "dram_mhz": 4)")),
            0);
  ASSERT_EQ(kavro_settings_get_custom_part_count(&settings_), 2u);
  ASSERT_EQ(kavro_settings_get_cortex_mhz(&settings_), 3u);
  ASSERT_EQ(parse(R"({"settings": {"platform": "cv28"}})"), 0);
  EXPECT_EQ(kavro_settings_get_custom_part_count(&settings_), 0u);
  EXPECT_EQ(custom_name(0), "");
  EXPECT_EQ(custom_name(1), "");
  EXPECT_EQ(kavro_settings_get_custom_maxsize(&settings_, 1), 0u);
  EXPECT_EQ(kavro_settings_get_idsp_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_core_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_cortex_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_dram_mhz(&settings_), 0u);
  EXPECT_EQ(kavro_settings_get_rootfs_maxsize(&settings_), 0x15E00000u);
}

}  // namespace
