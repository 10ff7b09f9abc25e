#pragma once

// What the firmware tests share: patterned image bytes, a standard firmware archive that tests vary
// through its manifest text, and reading a positioned entry back.

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/archive.h"
#include "tests/support/temp_directory.h"
#include "tools/kavro_pack.h"

namespace firmware_test {

using kavro_pack::Entry;
using kavro_pack::Format;

// Bytes that differ from their neighbours and between seeds, so a wrong offset or a mixed-up entry
// shows up in a comparison.
inline std::vector<uint8_t> pattern(std::size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8) ^ (seed * 77u));
  }
  return bytes;
}

inline std::vector<uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

// A cv22 boot chain and OTA set, each image in its own entry after the manifest, in partition
// order; the kernel and rootfs span several blocks of the archive reader.
inline constexpr std::string_view STANDARD_MANIFEST = R"({"manifest": {
  "platform": "cv22", "firmware_version": "2.0.1", "partitions": {
  "bootstrap": {"filename": "bst.bin", "filesize": 4096, "required_fixed_size": 4096,
    "bld_size_offset": 3196, "bld_load_addr_offset": 3188, "coremhz_offset": 2188,
    "idspmhz_offset": 2192, "drammhz_offset": 2200, "cortexmhz_offset": 2184},
  "bootloader": {"filename": "bld.bin", "filesize": 8192, "load_address": 16909060,
    "public_key_offset": 4100},
  "osloader": {"filename": "bda.bin", "filesize": 1000, "load_address": 524288},
  "meta": {"filename": "mta.bin", "filesize": 64},
  "misc": {"filename": "msc.bin", "filesize": 48},
  "kernel": {"filename": "kna.bin", "filesize": 70000, "load_address": 16777216},
  "rootfs": {"filename": "rfa.bin", "filesize": 300000}}}})";

inline constexpr std::pair<const char*, std::size_t> STANDARD_IMAGES[] = {
    {"bst.bin", 4096}, {"bld.bin", 8192},  {"bda.bin", 1000},  {"mta.bin", 64},
    {"msc.bin", 48},   {"kna.bin", 70000}, {"rfa.bin", 300000}};

// The bytes of the standard image stored as `name`.
inline std::vector<uint8_t> standard_image(std::string_view name) {
  for (unsigned i = 0; i < std::size(STANDARD_IMAGES); ++i) {
    if (STANDARD_IMAGES[i].first == name) {
      return pattern(STANDARD_IMAGES[i].second, i + 1);
    }
  }
  throw std::out_of_range(std::string(name));
}

using ManifestEdits = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// The standard entries; each edit replaces the first occurrence of a text in the manifest.
inline std::vector<Entry> standard_entries(ManifestEdits edits = {}) {
  std::string manifest(STANDARD_MANIFEST);
  for (const auto& [from, to] : edits) {
    manifest.replace(manifest.find(from), from.size(), to);
  }
  std::vector<Entry> entries{{"manifest", bytes_of(manifest)}};
  for (const auto& [name, size] : STANDARD_IMAGES) {
    entries.push_back({name, standard_image(name)});
  }
  return entries;
}

// The positioned entry's data, read block by block up to the empty block that ends it. Each block
// must start where the previous one ended.
inline std::vector<uint8_t> read_entry(kavro_archive_t** archive) {
  std::vector<uint8_t> bytes;
  for (;;) {
    const void* block = nullptr;
    std::size_t size = 0;
    int64_t offset = -1;
    const int result = kavro_archive_extract_block(archive, &block, &size, &offset);
    if (result != 0 || size == 0) {
      EXPECT_EQ(result, 0);
      return bytes;
    }
    EXPECT_EQ(offset, static_cast<int64_t>(bytes.size()));
    const auto* data = static_cast<const uint8_t*>(block);
    bytes.insert(bytes.end(), data, data + size);
  }
}

// Opens archives written into its own temporary folder, without the one-second open pause.
class ArchiveFiles : public ::testing::Test {
 protected:
  void SetUp() override { kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0)); }
  void TearDown() override { kavro_archive_destroy(&archive_); }

  std::string write(const std::vector<Entry>& entries, Format format = Format::seven_zip_store) {
    const std::string path = folder_.file("firmware.7z");
    kavro_pack::write_archive(entries, path, format);
    return path;
  }
  int open(const std::vector<Entry>& entries, Format format = Format::seven_zip_store) {
    kavro_archive_destroy(&archive_);
    return kavro_archive_init(&archive_, write(entries, format).c_str());
  }

  test_support::TempDirectory folder_;
  kavro_archive_t* archive_ = nullptr;
};

}  // namespace firmware_test
