#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Firmware archives for end-to-end tests: a manifest, partition images and, for base archives,
// ".sign" companions, packed as 7z. Images are small and their bytes depend on a seed, so a
// test can tell which archive a module received its images from.
namespace test_support {

class FirmwareArchive {
 public:
  explicit FirmwareArchive(std::string platform) : platform_(std::move(platform)) {}

  // Bootstrap, bootloader and misc of a boot chain made by the build (a folder holding
  // bst.bin, bld.bin, msc.bin and their manifest.json), with their manifest values.
  FirmwareArchive& add_boot_chain(const std::filesystem::path& folder);
  // Osloader, meta, kernel and rootfs with seeded bytes; the rootfs has `rootfs_size` bytes.
  FirmwareArchive& add_ota_images(uint32_t seed, size_t rootfs_size = 70000);
  // Gives bst.bin and bld.bin ".sign" companions made with `private_key` (PEM). With
  // `corrupt_bootstrap` the bootstrap's signature has one byte changed.
  FirmwareArchive& sign_boot_chain(std::filesystem::path private_key,
                                   bool corrupt_bootstrap = false);

  void write(const std::filesystem::path& output) const;
  // The bytes of the image stored under `filename`; throws when there is none.
  const std::vector<uint8_t>& image(std::string_view filename) const;

 private:
  struct Image {
    std::string partition;  // manifest partition name: "bootstrap", "kernel", ...
    std::string filename;   // archive entry name, also the device's file name in a flash folder
    std::vector<uint8_t> bytes;
    std::string members;  // manifest members besides "filename" and "filesize", as JSON text
  };

  std::string platform_;
  std::vector<Image> images_;
  std::filesystem::path signing_key_;
  bool corrupt_bootstrap_ = false;
};

}  // namespace test_support
