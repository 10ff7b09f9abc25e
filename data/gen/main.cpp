// kavro-data-gen: writes the placeholder images the build embeds or packs into archives.
//
//   kavro-data-gen flash-bld <output file>
//   kavro-data-gen base <slot 1..5> <output folder>
//   kavro-data-gen example-ota <output folder>
//   kavro-data-gen ota <output folder> <kernel bytes> <rootfs bytes>

#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "data/gen/base_images.h"
#include "data/gen/byte_image.h"
#include "data/gen/flash_bld_image.h"
#include "data/gen/ota_images.h"

namespace {

constexpr std::string_view USAGE =
    "usage: kavro-data-gen flash-bld <file> | base <slot 1..5> <folder> | example-ota <folder> | "
    "ota <folder> <kernel bytes> <rootfs bytes>\n";

int run(const std::vector<std::string_view>& args) {
  if (args.size() == 2 && args[0] == "flash-bld") {
    datagen::write_file(std::filesystem::path(args[1]), datagen::make_flash_bld_image());
    return 0;
  }
  if (args.size() == 3 && args[0] == "base") {
    const std::filesystem::path folder(args[2]);
    std::filesystem::create_directories(folder);
    datagen::write_base_images(std::stoi(std::string(args[1])), folder);
    return 0;
  }
  if (args.size() == 2 && args[0] == "example-ota") {
    const std::filesystem::path folder(args[1]);
    std::filesystem::create_directories(folder);
    datagen::write_example_ota_images(folder);
    return 0;
  }
  if (args.size() == 4 && args[0] == "ota") {
    const std::filesystem::path folder(args[1]);
    std::filesystem::create_directories(folder);
    datagen::write_ota_images(folder, std::stoul(std::string(args[2])),
                              std::stoul(std::string(args[3])));
    return 0;
  }
  std::cerr << USAGE;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string_view>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << "kavro-data-gen: " << error.what() << '\n';
    return 1;
  }
}
