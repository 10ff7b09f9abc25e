// Every code of the archive, settings and bring-up script modules: its number and its exact text,
// which scripts match. A renumbered code or a changed text fails its row.

#include <gtest/gtest.h>

#include "firmware/archive.h"
#include "firmware/bringup_script.h"
#include "firmware/settings.h"

namespace {

struct CodeRow {
  int code;
  int number;
  const char* text;
};

void expect_rows(const char* (*error_string)(int), std::initializer_list<CodeRow> rows,
                 std::initializer_list<int> unknown) {
  for (const CodeRow& row : rows) {
    EXPECT_EQ(row.code, row.number) << row.text;
    EXPECT_STREQ(error_string(row.code), row.text) << row.number;
  }
  for (const int code : unknown) {
    EXPECT_STREQ(error_string(code), "Unknown error") << code;
  }
}

TEST(ErrorTexts, Archive) {
  expect_rows(
      kavro_archive_error_string,
      {
          {ARCHIVE_ERR_INVALID_PARAMETERS, -1, "Invalid parameters specified"},
          {ARCHIVE_ERR_NO_MEMORY, -2, "Insufficient memory available"},
          {ARCHIVE_ERR_OPEN, -3, "Could not open archive file"},
          {ARCHIVE_ERR_EXTRACT, -4, "Failed to extract data from archive"},
          {ARCHIVE_ERR_NO_MANIFEST, -5, "No manifest found in archive"},
          {ARCHIVE_ERR_MULTIPLE_MANIFESTS, -6, "Multiple manifests found in archive"},
          {ARCHIVE_ERR_MANIFEST_PARSE, -7, "Failed to parse manifest file"},
          {ARCHIVE_ERR_MISSING_PLATFORM, -8, "Missing platform parameter in manifest"},
          {ARCHIVE_ERR_MISSING_FIRMWARE_VERSION, -9,
           "Missing firmware_version parameter in manifest"},
          {ARCHIVE_ERR_MISSING_PARTITIONS, -10, "Missing partitions list in manifest"},
          {ARCHIVE_ERR_INVALID_BOOTSTRAP, -11, "Invalid bootstrap entry in manifest"},
          {ARCHIVE_ERR_INVALID_BOOTLOADER, -12, "Invalid bootloader entry in manifest"},
          {ARCHIVE_ERR_INVALID_OSLOADER, -13, "Invalid osloader entry in manifest"},
          {ARCHIVE_ERR_INVALID_META, -14, "Invalid meta entry in manifest"},
          {ARCHIVE_ERR_INVALID_MISC, -15, "Invalid misc entry in manifest"},
          {ARCHIVE_ERR_INVALID_KERNEL, -16, "Invalid kernel entry in manifest"},
          {ARCHIVE_ERR_INVALID_ROOTFS, -17, "Invalid rootfs entry in manifest"},
          {ARCHIVE_ERR_INVALID_CUSTOM_A, -18, "Invalid custom_a entry in manifest"},
          {ARCHIVE_ERR_INVALID_CUSTOM_B, -19, "Invalid custom_b entry in manifest"},
          {ARCHIVE_ERR_INVALID_CUSTOM_C, -20, "Invalid custom_c entry in manifest"},
          {ARCHIVE_ERR_INVALID_CUSTOM_D, -21, "Invalid custom_d entry in manifest"},
          {ARCHIVE_ERR_INVALID_CUSTOM_E, -22, "Invalid custom_e entry in manifest"},
          {ARCHIVE_ERR_INVALID_CUSTOM_F, -23, "Invalid custom_f entry in manifest"},
          {ARCHIVE_ERR_INVALID_CUSTOM_G, -24, "Invalid custom_g entry in manifest"},
          {ARCHIVE_ERR_INVALID_CUSTOM_H, -25, "Invalid custom_h entry in manifest"},
          {ARCHIVE_ERR_PARTITION_NOT_FOUND, -26, "Partition file not found or invalid in archive"},
          {ARCHIVE_ERR_UNKNOWN_PARAMETER, -27, "Unknown partition parameter requested"},
          {ARCHIVE_ERR_PLATFORM, -28, "Invalid platform or platform mismatch in archive"},
          {ARCHIVE_ERR_SIGNATURE, -29, "Signature check failed"},
      },
      {0, 1, -30});
}

TEST(ErrorTexts, Settings) {
  expect_rows(
      kavro_settings_error_string,
      {
          {SETTINGS_INVALID_PARAMETER, -1, "Invalid parameters specified"},
          {SETTINGS_NO_MEMORY, -2, "Insufficient memory available"},
          {SETTINGS_OPEN_FAILED, -3, "Could not open settings file"},
          {SETTINGS_BAD_FILE_SIZE, -4, "Invalid settings file size"},
          {SETTINGS_READ_FAILED, -5, "Could not read settings file data"},
          {SETTINGS_BAD_JSON, -6, "Invalid json in settings file"},
          {SETTINGS_NO_SETTINGS_OBJECT, -7, "Missing settings object in json data"},
          {SETTINGS_NO_PLATFORM, -8, "Missing platform parameter in json data"},
          {SETTINGS_NO_OTA_ENABLED, -10, "Missing ota_enabled parameter in json data"},
          {SETTINGS_NO_KERNEL_MAXSIZE, -11, "Missing kernel_maxsize parameter in json data"},
          {SETTINGS_NO_ROOTFS_MAXSIZE, -12, "Missing rootfs_maxsize parameter in json data"},
          {SETTINGS_BAD_CUSTOM_PARTITION, -13, "Invalid custom partition found in json data"},
          {SETTINGS_NOT_FOUND, -14, "Not found"},
          {SETTINGS_BAD_OTA_ALTERNATIVE, -15, "Invalid custom OTA alternative partition"},
      },
      {0, -9, -16});
}

TEST(ErrorTexts, BringupScript) {
  expect_rows(kavro_ads_error_string,
              {
                  {ADS_INVALID_PARAMETER, -1, "Invalid parameters specified"},
                  {ADS_NO_MEMORY, -2, "Insufficient memory available"},
                  {ADS_NOT_FOUND, -3, "Not found"},
                  // Neither reaches a user as words: a session reports the number.
                  {ADS_PARSE_FAILED, -4, "Unknown error"},
                  {ADS_END_OF_SCRIPT, -5, "Unknown error"},
              },
              {0, -6});
}

}  // namespace
