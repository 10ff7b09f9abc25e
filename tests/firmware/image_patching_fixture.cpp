#include "tests/firmware/image_patching_fixture.h"

#include <stdexcept>
#include <string_view>

#include "firmware/image_patching.h"
#include "tools/kavro_pack.h"

namespace param_update_test {

namespace {

void add_number(std::string& json, std::string_view key, const std::optional<int64_t>& value) {
  if (value) {
    json += ",\"" + std::string(key) + "\":" + std::to_string(*value);
  }
}

std::string manifest_text(const BaseArchiveSpec& spec) {
  std::string partitions;
  if (spec.with_bootstrap) {
    std::string bootstrap =
        "\"bootstrap\":{\"filename\":\"bst.bin\",\"filesize\":" + std::to_string(BOOTSTRAP_SIZE);
    add_number(bootstrap, "bld_size_offset", spec.bld_size_offset);
    add_number(bootstrap, "bld_load_addr_offset", spec.bld_load_addr_offset);
    add_number(bootstrap, "coremhz_offset", spec.coremhz_offset);
    add_number(bootstrap, "idspmhz_offset", spec.idspmhz_offset);
    add_number(bootstrap, "drammhz_offset", spec.drammhz_offset);
    add_number(bootstrap, "cortexmhz_offset", spec.cortexmhz_offset);
    partitions += bootstrap + "}";
  }
  if (spec.with_bootloader) {
    std::string bootloader = "\"bootloader\":{\"filename\":\"bld.bin\",\"filesize\":" +
                             std::to_string(spec.bootloader_size);
    add_number(bootloader, "load_address", spec.load_address);
    add_number(bootloader, "public_key_offset", spec.public_key_offset);
    partitions += (partitions.empty() ? "" : ",") + bootloader + "}";
  }
  return "{\"manifest\":{\"platform\":\"" + spec.platform +
         "\",\"firmware_version\":\"1.7.0\",\"partitions\":{" + partitions + "}}}";
}

}  // namespace

std::vector<uint8_t> patterned_image(std::size_t size, uint8_t seed) {
  std::vector<uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i) {
    image[i] = static_cast<uint8_t>(i * 7 + seed);
  }
  return image;
}

ArchivePtr open_base_archive(const test_support::TempDirectory& folder,
                             const BaseArchiveSpec& spec) {
  const std::string text = manifest_text(spec);
  const std::vector<kavro_pack::Entry> entries = {
      {"bld.bin", patterned_image(spec.bootloader_size, 2)},
      {"bst.bin", patterned_image(BOOTSTRAP_SIZE, 1)},
      {"manifest", std::vector<uint8_t>(text.begin(), text.end())},
  };
  const std::filesystem::path path = folder.path() / "base.7z";
  kavro_pack::write_archive(entries, path, kavro_pack::Format::seven_zip_store);
  kavro_archive_t* archive = nullptr;
  const int result = kavro_archive_init(&archive, path.c_str());
  if (result != 0) {
    throw std::runtime_error("test archive does not open: " +
                             std::string(kavro_archive_error_string(result)));
  }
  return ArchivePtr(archive);
}

SettingsPtr make_settings(uint32_t core_mhz, uint32_t idsp_mhz, uint32_t dram_mhz,
                          uint32_t cortex_mhz) {
  kavro_settings* settings = nullptr;
  if (kavro_settings_init(&settings) != 0) {
    throw std::runtime_error("settings record cannot be made");
  }
  settings->core_mhz = core_mhz;
  settings->idsp_mhz = idsp_mhz;
  settings->dram_mhz = dram_mhz;
  settings->cortex_mhz = cortex_mhz;
  return SettingsPtr(settings);
}

std::vector<uint8_t> test_public_key() {
  std::vector<uint8_t> key(SECURE_BOOT_KEY_SIZE);
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint8_t>(0xA5 ^ (i * 13));
  }
  return key;
}

int patch_in_pieces(kavro_archive_t* archive, kavro_settings* settings, uint32_t hw_version,
                    int partition, const uint8_t* public_key, std::vector<uint8_t>& image,
                    const std::vector<std::size_t>& cuts) {
  std::size_t start = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(image.size());
  for (const std::size_t end : ends) {
    const int result = kavro_param_update_firmware_block(
        archive, settings, hw_version, partition, public_key, static_cast<int64_t>(start),
        image.data() + start, static_cast<int64_t>(end - start));
    if (result != 0) {
      return result;
    }
    start = end;
  }
  return 0;
}

uint32_t load_le32(const std::vector<uint8_t>& image, std::size_t offset) {
  return static_cast<uint32_t>(image.at(offset)) |
         static_cast<uint32_t>(image.at(offset + 1)) << 8 |
         static_cast<uint32_t>(image.at(offset + 2)) << 16 |
         static_cast<uint32_t>(image.at(offset + 3)) << 24;
}

}  // namespace param_update_test
