#include "tests/app/fixture_files.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

namespace fixture {

test_support::TempDirectory& files() {
  static test_support::TempDirectory directory;
  return directory;
}

std::string path(const std::string& name) {
  return files().file(name);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream input(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

const test_support::FirmwareArchive& ota(const std::string& platform, uint32_t seed) {
  static std::map<std::string, std::unique_ptr<test_support::FirmwareArchive>> made;
  auto& archive = made[platform];
  if (!archive) {
    archive = std::make_unique<test_support::FirmwareArchive>(platform);
    archive->add_ota_images(seed);
    archive->write(path("ota-" + platform + ".7z"));
  }
  return *archive;
}

std::string ota_file(const std::string& platform, uint32_t seed) {
  ota(platform, seed);
  return path("ota-" + platform + ".7z");
}

std::string base_file(const std::string& name, const std::string& platform, bool with_ota_images,
                      bool corrupt_signature) {
  const std::string output = path(name);
  if (!std::filesystem::exists(output)) {
    test_support::FirmwareArchive archive(platform);
    archive.add_boot_chain(std::filesystem::path(KAVRO_GENERATED_IMAGES_DIR) / "base2");
    if (with_ota_images) {
      archive.add_ota_images(7);
    }
    archive.sign_boot_chain(KAVRO_PUBLISHER_PRIVATE_KEY, corrupt_signature).write(output);
  }
  return output;
}

std::string flash_dir(const std::string& port) {
  return path("flash/" + port);
}

std::string module(const std::string& port, const std::string& platform,
                   const std::string& extra_members) {
  return "{\"port\": \"" + port + "\", \"platform\": \"" + platform + "\", \"flash_dir\": \"" +
         flash_dir(port) + "\"" + extra_members + "}";
}

std::string sim_config(const std::string& name, const std::vector<std::string>& modules) {
  std::string text = "{\"modules\": [";
  for (size_t i = 0; i < modules.size(); ++i) {
    text += (i == 0 ? "" : ", ") + modules[i];
  }
  return files().write_file(name, text + "]}");
}

}  // namespace fixture
