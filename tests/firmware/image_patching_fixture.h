#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "firmware/archive.h"
#include "firmware/settings.h"
#include "tests/support/temp_directory.h"

namespace param_update_test {

struct ArchiveFree {
  void operator()(kavro_archive_t* archive) const { kavro_archive_destroy(&archive); }
};
using ArchivePtr = std::unique_ptr<kavro_archive_t, ArchiveFree>;

struct SettingsFree {
  void operator()(kavro_settings* settings) const { kavro_settings_destroy(&settings); }
};
using SettingsPtr = std::unique_ptr<kavro_settings, SettingsFree>;

// The base archive a test patches against. Defaults follow the cv22 layout; a value set to
// std::nullopt is left out of the manifest.
struct BaseArchiveSpec {
  std::string platform = "cv22";
  bool with_bootstrap = true;
  std::optional<int64_t> bld_size_offset = 3196;
  std::optional<int64_t> bld_load_addr_offset = 3188;
  std::optional<int64_t> coremhz_offset = 2188;
  std::optional<int64_t> idspmhz_offset = 2192;
  std::optional<int64_t> drammhz_offset = 2200;
  std::optional<int64_t> cortexmhz_offset = 2184;
  bool with_bootloader = true;
  std::size_t bootloader_size = 8192;
  std::optional<int64_t> load_address = 0x01020304;
  std::optional<int64_t> public_key_offset = 4100;
};

inline constexpr std::size_t BOOTSTRAP_SIZE = 4096;

// Image bytes that differ from their neighbours, so an unintended write shows up.
std::vector<uint8_t> patterned_image(std::size_t size, uint8_t seed);

// Writes the spec's archive (manifest, bst.bin, bld.bin) into `folder` and opens it. The
// bootstrap and bootloader images are patterned_image(…, 1) and patterned_image(…, 2).
ArchivePtr open_base_archive(const test_support::TempDirectory& folder,
                             const BaseArchiveSpec& spec);

SettingsPtr make_settings(uint32_t core_mhz, uint32_t idsp_mhz, uint32_t dram_mhz,
                          uint32_t cortex_mhz);

// A 512-byte secure-boot key whose bytes all differ from the patterned images.
std::vector<uint8_t> test_public_key();

// Patches `image` of `partition` as the session does: one call per piece, the pieces ending
// at each of `cuts` (ascending offsets inside the image) and at the image end. Returns the
// first non-zero result, or 0.
int patch_in_pieces(kavro_archive_t* archive, kavro_settings* settings, uint32_t hw_version,
                    int partition, const uint8_t* public_key, std::vector<uint8_t>& image,
                    const std::vector<std::size_t>& cuts);

uint32_t load_le32(const std::vector<uint8_t>& image, std::size_t offset);

}  // namespace param_update_test
