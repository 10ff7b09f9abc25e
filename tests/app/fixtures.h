#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/support/firmware_archives.h"
#include "tests/support/temp_directory.h"

// Files the tests of kavro-flash-sim share, made on first use and kept in one temporary folder
// for the rest of the test program: OTA archives and simulator configurations.
namespace fixture {

inline test_support::TempDirectory& files() {
  static test_support::TempDirectory directory;
  return directory;
}

inline std::string path(const std::string& name) {
  return files().file(name);
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream input(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

// The OTA archive for `platform`, written to ota_file(platform).
inline const test_support::FirmwareArchive& ota(const std::string& platform) {
  static std::map<std::string, test_support::FirmwareArchive> made;
  const auto [entry, added] = made.try_emplace(platform, platform);
  if (added) {
    entry->second.add_ota_images(1).write(path("ota-" + platform + ".7z"));
  }
  return entry->second;
}

inline std::string ota_file(const std::string& platform) {
  ota(platform);
  return path("ota-" + platform + ".7z");
}

inline std::string flash_dir(const std::string& port) {
  return path("flash/" + port);
}

// A module of a simulator configuration, keeping its flash in flash_dir(port).
inline std::string module(const std::string& port, const std::string& platform,
                          const std::string& extra_members = "") {
  return "{\"port\": \"" + port + "\", \"platform\": \"" + platform + "\", \"flash_dir\": \"" +
         flash_dir(port) + "\"" + extra_members + "}";
}

inline std::string sim_config(const std::string& name, const std::vector<std::string>& modules) {
  std::string text;
  for (const auto& module : modules) {
    text += (text.empty() ? "" : ", ") + module;
  }
  return files().write_file(name, "{\"modules\": [" + text + "]}");
}

}  // namespace fixture
