#include "tests/support/firmware_archives.h"

#include <json-c/json.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "tools/kavro_pack.h"

namespace test_support {
namespace {

struct JsonPut {
  void operator()(json_object* object) const { json_object_put(object); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream input(path, std::ios::binary);
  if (!input) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

// The manifest members of one partition of a generated boot chain, except the ones that
// describe the file itself (those are rewritten) and the checksum nothing reads.
std::vector<std::pair<std::string, std::string>> kept_members(json_object* partition) {
  std::vector<std::pair<std::string, std::string>> members;
  json_object_object_foreach(partition, key, value) {
    const std::string_view name(key);
    if (name != "filename" && name != "filesize" && name != "md5") {
      members.emplace_back(name, json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN));
    }
  }
  return members;
}

}  // namespace

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

FirmwareArchive& FirmwareArchive::add_boot_chain(const std::filesystem::path& folder) {
  const std::vector<uint8_t> text = read_file(folder / "manifest.json");
  Json root(json_tokener_parse(std::string(text.begin(), text.end()).c_str()));
  json_object* manifest = nullptr;
  json_object* partitions = nullptr;
  if (!root || !json_object_object_get_ex(root.get(), "manifest", &manifest) ||
      !json_object_object_get_ex(manifest, "partitions", &partitions)) {
    throw std::runtime_error("no partitions in " + (folder / "manifest.json").string());
  }
  for (const char* name : {"bootstrap", "bootloader", "misc"}) {
    json_object* partition = nullptr;
    json_object* filename = nullptr;
    if (!json_object_object_get_ex(partitions, name, &partition) ||
        !json_object_object_get_ex(partition, "filename", &filename)) {
      throw std::runtime_error(std::string("no ") + name + " in " + folder.string());
    }
    const std::string file = json_object_get_string(filename);
    images_.push_back({name, file, read_file(folder / file), kept_members(partition)});
  }
  return *this;
}

FirmwareArchive& FirmwareArchive::add_ota_images(uint32_t seed, size_t rootfs_size) {
  images_.push_back(
      {"osloader", "bda.bin", seeded_bytes(9000, seed), {{"load_address", "131072"}}});
  images_.push_back({"meta", "mta.bin", seeded_bytes(4096, seed), {}});
  images_.push_back(
      {"kernel", "kna.bin", seeded_bytes(20000, seed), {{"load_address", "2129920"}}});
  images_.push_back({"rootfs", "rfa.bin", seeded_bytes(rootfs_size, seed), {}});
  return *this;
}

FirmwareArchive& FirmwareArchive::sign_boot_chain(std::filesystem::path private_key,
                                                  bool corrupt_bootstrap) {
  signing_key_ = std::move(private_key);
  corrupt_bootstrap_ = corrupt_bootstrap;
  return *this;
}

std::string FirmwareArchive::manifest_text() const {
  std::string partitions;
  for (const auto& image : images_) {
    partitions += (partitions.empty() ? "" : ",") + std::string("\"") + image.partition +
                  "\":{\"filename\":\"" + image.filename +
                  "\",\"filesize\":" + std::to_string(image.bytes.size());
    for (const auto& [key, value] : image.members) {
      partitions += ",\"" + key + "\":" + value;
    }
    partitions += "}";
  }
  return "{\"manifest\":{\"platform\":\"" + platform_ +
         "\",\"firmware_version\":\"1.7.0\",\"partitions\":{" + partitions + "}}}";
}

void FirmwareArchive::write(const std::filesystem::path& output) const {
  std::vector<kavro_pack::Entry> entries;
  const std::string manifest = manifest_text();
  entries.push_back({std::string(kavro_pack::MANIFEST_ENTRY),
                     std::vector<uint8_t>(manifest.begin(), manifest.end())});
  for (const auto& image : images_) {
    entries.push_back({image.filename, image.bytes});
    const bool boot_image = image.partition == "bootstrap" || image.partition == "bootloader";
    if (!signing_key_.empty() && boot_image) {
      std::vector<uint8_t> signature = kavro_pack::sign_bytes(image.bytes, signing_key_);
      if (corrupt_bootstrap_ && image.partition == "bootstrap") {
        signature[signature.size() / 2] ^= 0x01;
      }
      entries.push_back(
          {image.filename + std::string(kavro_pack::SIGNATURE_SUFFIX), std::move(signature)});
    }
  }
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
