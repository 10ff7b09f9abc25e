// The generated images of the example OTA archive and of the benchmark's archives.

#include "data/gen/ota_images.h"

#include <span>
#include <string_view>
#include <vector>

#include "data/gen/byte_image.h"
#include "data/gen/content_fill.h"
#include "data/gen/manifest_writer.h"
#include "data/gen/pseudo_random.h"

namespace datagen {

namespace {

constexpr std::size_t OSLOADER_SIZE = 256 * 1024;
constexpr std::size_t META_SIZE = 4096;
constexpr std::size_t KERNEL_SIZE = 5 * 1024 * 1024 + 12345 * 4;
// Not a multiple of the transfer block size, so the last rootfs block is a short one.
constexpr std::size_t ROOTFS_SIZE = 28 * 1024 * 1024 + 1234;
constexpr int64_t OSLOADER_LOAD_ADDRESS = 0x00020000;
constexpr int64_t KERNEL_LOAD_ADDRESS = 0x00208000;

ByteImage make_code_image(std::size_t size, std::string_view tag, uint64_t seed) {
  ByteImage image(size, 0);
  PseudoRandom random(seed);
  fill_code(image, random);
  put_text(image, 0, tag);
  return image;
}

ByteImage make_meta_image() {
  ByteImage image(META_SIZE, 0);
  PseudoRandom random(0x4D7A'0001ULL);
  fill_text(std::span(image).subspan(64, 1024), random);
  put_text(image, 0, "KAVRO-META cv22");
  return image;
}

ByteImage make_rootfs_image(std::size_t size) {
  ByteImage image(size, 0);
  PseudoRandom random(0x52F5'0001ULL);
  fill_file_system(image, random);
  put_text(image, 0, "KAVRO-ROOTFS cv22");
  return image;
}

}  // namespace

void write_ota_images(const std::filesystem::path& folder, std::size_t kernel_size,
                      std::size_t rootfs_size) {
  const ByteImage osloader = make_code_image(OSLOADER_SIZE, "KAVRO-OSLOADER cv22", 0xBDA0'0001);
  const ByteImage meta = make_meta_image();
  const ByteImage kernel = make_code_image(kernel_size, "KAVRO-KERNEL cv22", 0x4B4E'0001);
  const ByteImage rootfs = make_rootfs_image(rootfs_size);
  const std::vector<ManifestPartition> partitions = {
      {PART_OSLOADER, osloader, {{PARTITION_KEY_LOAD_ADDRESS, OSLOADER_LOAD_ADDRESS}}},
      {PART_META, meta, {}},
      {PART_KERNEL, kernel, {{PARTITION_KEY_LOAD_ADDRESS, KERNEL_LOAD_ADDRESS}}},
      {PART_ROOTFS, rootfs, {}},
  };
  write_archive_inputs(folder, "cv22", GENERATED_FIRMWARE_VERSION, partitions);
}

void write_example_ota_images(const std::filesystem::path& folder) {
  write_ota_images(folder, KERNEL_SIZE, ROOTFS_SIZE);
}

}  // namespace datagen
