#pragma once

#include <filesystem>

namespace datagen {

// Writes the images of the example cv22 OTA archive into `folder`: bda.bin (osloader),
// mta.bin (meta), kna.bin (kernel), rfa.bin (rootfs, about 28 MiB) and manifest.json.
void write_example_ota_images(const std::filesystem::path& folder);

}  // namespace datagen
