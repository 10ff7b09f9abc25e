#pragma once
// The inputs of a generated archive: its image files and their manifest.json.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "firmware/archive_format.h"

namespace datagen {

// Firmware version the generated archives declare.
inline constexpr const char* GENERATED_FIRMWARE_VERSION = "1.7.0";

// One partition of a generated archive: its identifier (PART_*), its image and the integer
// members written after "filename", "filesize" and "signed", in this order.
struct ManifestPartition {
  int id;
  std::span<const uint8_t> image;
  std::vector<std::pair<std::string, int64_t>> numbers;
};

// Writes each partition's image into `folder`, named by its device name plus ".bin" (bst.bin,
// kna.bin, ...), then folder/manifest.json: {"manifest": {"platform", "firmware_version",
// "partitions"}}, where each partition gets "filename", "filesize" (the image's size), "signed"
// false, its numbers and an "md5" hex digest of the image.
void write_archive_inputs(const std::filesystem::path& folder, const std::string& platform,
                          const std::string& firmware_version,
                          std::span<const ManifestPartition> partitions);

}  // namespace datagen
