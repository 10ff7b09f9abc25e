#pragma once
// Writing the manifest.json of a generated archive, in the archive format's keys.

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

// One member of the manifest's "partitions" object, describing one image file.
struct ManifestPartition {
  std::string partition;  // partition name: "bootstrap", "kernel", ...
  std::string filename;   // archive entry holding the image
  std::span<const uint8_t> image;
  // Integer members written after "filename", "filesize" and "signed", in this order.
  std::vector<std::pair<std::string, int64_t>> numbers;
};

// The manifest's name of partition `id` (PART_*).
inline std::string partition_name(int id) {
  return std::string(archive_partitions[static_cast<std::size_t>(id)].name);
}

// Writes the manifest JSON: {"manifest": {"platform", "firmware_version", "partitions"}}. Each
// partition gets "filename", "filesize" (the image's size), "signed" false, its numbers and an
// "md5" hex digest of the image.
void write_manifest(const std::filesystem::path& path, const std::string& platform,
                    const std::string& firmware_version,
                    std::span<const ManifestPartition> partitions);

}  // namespace datagen
