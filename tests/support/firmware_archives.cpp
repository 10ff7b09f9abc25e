#include "tests/support/firmware_archives.h"

#include <json-c/json.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "tools/kavro_pack.h"

namespace test_support {
namespace {

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream input(path, std::ios::binary);
  if (!input) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

// Bytes that differ for every (size, seed) pair.
std::vector<uint8_t> seeded_bytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + static_cast<uint32_t>(size) + 1;
  for (auto& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state);
  }
  return bytes;
}

}  // namespace

FirmwareArchive& FirmwareArchive::add_boot_chain(const std::filesystem::path& folder) {
  const std::vector<uint8_t> text = read_file(folder / "manifest.json");
  std::unique_ptr<json_object, int (*)(json_object*)> root(
      json_tokener_parse(std::string(text.begin(), text.end()).c_str()), json_object_put);
  for (const char* name : {"bootstrap", "bootloader", "misc"}) {
    json_object* partition = json_object_object_get(
        json_object_object_get(json_object_object_get(root.get(), "manifest"), "partitions"), name);
    const char* file = json_object_get_string(json_object_object_get(partition, "filename"));
    if (file == nullptr) {
      throw std::runtime_error(std::string("no ") + name + " in " + folder.string());
    }
    // The members that describe the file itself are rewritten; the md5 digest nothing reads.
    std::string members;
    json_object_object_foreach(partition, key, value) {
      const std::string_view member(key);
      if (member != "filename" && member != "filesize" && member != "md5") {
        members += ",\"" + std::string(member) +
                   "\":" + json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN);
      }
    }
    images_.push_back({name, file, read_file(folder / file), members});
  }
  return *this;
}

FirmwareArchive& FirmwareArchive::add_ota_images(uint32_t seed, size_t rootfs_size) {
  images_.push_back({"osloader", "bda.bin", seeded_bytes(9000, seed), ",\"load_address\":131072"});
  images_.push_back({"meta", "mta.bin", seeded_bytes(4096, seed), ""});
  images_.push_back({"kernel", "kna.bin", seeded_bytes(20000, seed), ",\"load_address\":2129920"});
  images_.push_back({"rootfs", "rfa.bin", seeded_bytes(rootfs_size, seed), ""});
  return *this;
}

FirmwareArchive& FirmwareArchive::sign_boot_chain(std::filesystem::path private_key,
                                                  bool corrupt_bootstrap) {
  signing_key_ = std::move(private_key);
  corrupt_bootstrap_ = corrupt_bootstrap;
  return *this;
}

void FirmwareArchive::write(const std::filesystem::path& output) const {
  std::string partitions;
  std::vector<kavro_pack::Entry> entries(1);
  for (const auto& image : images_) {
    partitions += (partitions.empty() ? "\"" : ",\"") + image.partition + "\":{\"filename\":\"" +
                  image.filename + "\",\"filesize\":" + std::to_string(image.bytes.size()) +
                  image.members + "}";
    entries.push_back({image.filename, image.bytes});
    if (!signing_key_.empty() &&
        (image.partition == "bootstrap" || image.partition == "bootloader")) {
      std::vector<uint8_t> signature = kavro_pack::sign_bytes(image.bytes, signing_key_);
      signature[signature.size() / 2] ^= corrupt_bootstrap_ && image.partition == "bootstrap";
      entries.push_back({image.filename + ".sign", std::move(signature)});
    }
  }
  const std::string manifest = "{\"manifest\":{\"platform\":\"" + platform_ +
                               "\",\"firmware_version\":\"1.7.0\",\"partitions\":{" + partitions +
                               "}}}";
  entries.front() = {"manifest", std::vector<uint8_t>(manifest.begin(), manifest.end())};
  kavro_pack::write_archive(entries, output, kavro_pack::Format::seven_zip);
}

const std::vector<uint8_t>& FirmwareArchive::image(std::string_view filename) const {
  for (const auto& image : images_) {
    if (image.filename == filename) {
      return image.bytes;
    }
  }
  throw std::out_of_range("no image " + std::string(filename));
}

}  // namespace test_support
