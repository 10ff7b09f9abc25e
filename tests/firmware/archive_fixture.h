#pragma once

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/archive.h"
#include "tests/support/temp_directory.h"
#include "tools/kavro_pack.h"

namespace archive_test {

struct JsonFree {
  void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonFree>;

// Image bytes that vary from byte to byte and between seeds, so a wrong offset or a mixed-up
// entry shows up in a comparison.
std::vector<uint8_t> patterned_image(std::size_t size, uint8_t seed);

std::vector<uint8_t> bytes_of(std::string_view text);

// An OTA-plus-boot-chain archive with the seven standard partitions, each image in its own
// entry, and a manifest that tests edit before writing. Entries are written manifest first,
// then the images in partition order, so rootfs (the largest image) is the last entry.
class FirmwareLayout {
 public:
  FirmwareLayout();

  json_object* manifest();                        // the "manifest" object
  json_object* partition(std::string_view name);  // a member of "partitions"; null if none
  void set(std::string_view partition, const char* key, json_object* value);  // takes value
  void erase(std::string_view partition, const char* key);
  void erase_partition(std::string_view name);
  // Adds a partition member naming a new image entry of `size` bytes.
  void add_partition(std::string_view name, const std::string& filename, std::size_t size);
  void add_entry(const std::string& name, std::vector<uint8_t> bytes);

  const std::vector<uint8_t>& image(std::string_view filename) const;
  std::string manifest_text() const;
  // The manifest entry followed by every image entry.
  std::vector<kavro_pack::Entry> entries() const;

 private:
  JsonPtr document_;
  std::vector<kavro_pack::Entry> files_;
};

// Opens archives written into its own temporary folder, with the one-second open pause off,
// and destroys the last one at the end.
class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path write(const std::vector<kavro_pack::Entry>& entries,
                              kavro_pack::Format format = kavro_pack::Format::seven_zip_store,
                              std::string_view name = "firmware.7z");
  int open(const std::filesystem::path& path);
  int open(const std::vector<kavro_pack::Entry>& entries,
           kavro_pack::Format format = kavro_pack::Format::seven_zip_store);

  test_support::TempDirectory folder_;
  kavro_archive_t* archive_ = nullptr;
};

struct ExtractedFile {
  std::vector<uint8_t> bytes;
  std::size_t blocks = 0;
  bool offsets_in_order = true;  // every block started where the previous one ended
};

// Reads the positioned entry block by block until a zero-size block. Fails the test on a
// read error or when the data goes on past `limit` bytes.
ExtractedFile read_to_end(kavro_archive_t** archive, std::size_t limit = 64u << 20);

}  // namespace archive_test
