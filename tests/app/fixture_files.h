#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/firmware_archives.h"
#include "tests/support/temp_directory.h"

// Files the front-end tests share: firmware archives, settings and simulator configurations,
// made on first use and kept in one temporary directory for the rest of the test program.
namespace fixture {

test_support::TempDirectory& files();
std::string path(const std::string& name);
std::vector<uint8_t> read_file(const std::string& path);

// An OTA archive for `platform` whose images are made from `seed`; one archive per platform.
const test_support::FirmwareArchive& ota(const std::string& platform, uint32_t seed = 1);
std::string ota_file(const std::string& platform, uint32_t seed = 1);

// A base archive made from the build's cv22 boot chain with `platform` in its manifest and
// signed with the publisher key; optionally with OTA images too, or with a broken bootstrap
// signature.
std::string base_file(const std::string& name, const std::string& platform, bool with_ota_images,
                      bool corrupt_signature = false);

// Module entries for a simulator configuration. The module keeps its flash in flash_dir(port).
std::string module(const std::string& port, const std::string& platform,
                   const std::string& extra_members = "");
std::string flash_dir(const std::string& port);
std::string sim_config(const std::string& name, const std::vector<std::string>& modules);

}  // namespace fixture
