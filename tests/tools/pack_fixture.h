#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_directory.h"

namespace pack_test {

// Keys made at configure time: the publisher's RSA-4096 pair and an RSA-2048 pair, whose
// signatures are too short for a companion.
inline const std::string PUBLISHER_PRIVATE_KEY = KAVRO_TEST_PUBLISHER_PRIVATE_KEY;
inline const std::string PUBLISHER_PUBLIC_KEY = KAVRO_TEST_PUBLISHER_PUBLIC_KEY;
inline const std::string SHORT_PRIVATE_KEY = KAVRO_TEST_SHORT_PRIVATE_KEY;
inline const std::string SHORT_PUBLIC_KEY = KAVRO_TEST_SHORT_PUBLIC_KEY;

// A boot chain written into a folder: bst.bin (4096 bytes), bld.bin (9000), msc.bin (48) and
// manifest.json describing them.
struct BootChain {
  explicit BootChain(const test_support::TempDirectory& folder);

  // Rewrites manifest.json with the first occurrence of `from` replaced by `to`.
  void edit_manifest(std::string_view from, std::string_view to) const;
  std::vector<std::filesystem::path> images() const { return {bootstrap, bootloader, misc}; }

  std::string manifest;
  std::string bootstrap;
  std::string bootloader;
  std::string misc;
};

// The manifest text BootChain writes.
std::string boot_chain_manifest();

std::string read_file(const std::filesystem::path& path);

// The names of everything in `folder`, sorted, so a test can see that a failure left nothing.
std::vector<std::string> folder_listing(const std::filesystem::path& folder);

}  // namespace pack_test
