#pragma once
// The generated OTA images.

#include <cstddef>
#include <filesystem>

namespace datagen {

// Writes the images of the example cv22 OTA archive into `folder`: bda.bin (osloader),
// mta.bin (meta), kna.bin (kernel), rfa.bin (rootfs, about 28 MiB) and manifest.json.
void write_example_ota_images(const std::filesystem::path& folder);

// The same partitions with a kernel and a rootfs of the given sizes (the benchmark's archives).
void write_ota_images(const std::filesystem::path& folder, std::size_t kernel_size,
                      std::size_t rootfs_size);

}  // namespace datagen
