#include "tests/tools/pack_fixture.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pack_test {
namespace {

std::string patterned(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 13) ^ (i >> 7) ^ static_cast<std::size_t>(seed));
  }
  return bytes;
}

}  // namespace

std::string boot_chain_manifest() {
  return R"({
  "manifest": {
    "platform": "cv22",
    "firmware_version": "1.7.0",
    "partitions": {
      "bootstrap": {"filename": "bst.bin", "filesize": 4096, "signed": false,
                    "required_fixed_size": 4096, "coremhz_offset": 2188, "idspmhz_offset": 2192,
                    "drammhz_offset": 2200, "cortexmhz_offset": 2184, "bld_size_offset": 3196,
                    "bld_load_addr_offset": 3188},
      "bootloader": {"filename": "bld.bin", "filesize": 9000, "signed": false,
                     "load_address": 0, "public_key_offset": 5000},
      "misc": {"filename": "msc.bin", "filesize": 48, "signed": false}
    }
  }
}
)";
}

BootChain::BootChain(const test_support::TempDirectory& folder)
    : manifest(folder.write_file("images/manifest.json", boot_chain_manifest())),
      bootstrap(folder.write_file("images/bst.bin", patterned(4096, 1))),
      bootloader(folder.write_file("images/bld.bin", patterned(9000, 2))),
      misc(folder.write_file("images/msc.bin", patterned(48, 3))) {}

void BootChain::edit_manifest(std::string_view from, std::string_view to) const {
  std::string text = read_file(manifest);
  const auto at = text.find(from);
  if (at == std::string::npos) {
    throw std::logic_error("the manifest holds no " + std::string(from));
  }
  text.replace(at, from.size(), to);
  std::ofstream(manifest, std::ios::binary | std::ios::trunc) << text;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream input(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

std::vector<std::string> folder_listing(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace pack_test
