// The image files and manifest.json of a generated archive, with an MD5 of each image for a
// reader's eye.

#include "data/gen/manifest_writer.h"

#include <json-c/json.h>
#include <openssl/evp.h>

#include <array>
#include <stdexcept>
#include <string_view>

#include "common/c_handle.h"
#include "data/gen/byte_image.h"

namespace datagen {

namespace {

using JsonPtr = CHandle<json_object, json_object_put>;

std::string md5_hex(std::span<const uint8_t> data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 digest failed");
  }
  constexpr std::string_view HEX = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += HEX[digest[i] >> 4];
    text += HEX[digest[i] & 0x0F];
  }
  return text;
}

// json_object_object_add takes over the reference of the value it is given.
void add_member(json_object* object, const std::string& key, json_object* value) {
  if (value == nullptr || json_object_object_add(object, key.c_str(), value) != 0) {
    json_object_put(value);
    throw std::runtime_error("cannot build manifest member " + key);
  }
}

// bst.bin, bld.bin, ...: the device name says which image a file holds.
std::string image_file_name(int id) {
  return std::string(archive_partitions[static_cast<std::size_t>(id)].device_name) + ".bin";
}

json_object* partition_object(const ManifestPartition& partition) {
  JsonPtr object(json_object_new_object());
  add_member(object.get(), PARTITION_KEY_FILENAME,
             json_object_new_string(image_file_name(partition.id).c_str()));
  add_member(object.get(), PARTITION_KEY_FILESIZE,
             json_object_new_int64(static_cast<int64_t>(partition.image.size())));
  add_member(object.get(), PARTITION_KEY_SIGNED, json_object_new_boolean(0));
  for (const auto& [key, value] : partition.numbers) {
    add_member(object.get(), key, json_object_new_int64(value));
  }
  add_member(object.get(), "md5", json_object_new_string(md5_hex(partition.image).c_str()));
  return object.release();
}

}  // namespace

void write_archive_inputs(const std::filesystem::path& folder, const std::string& platform,
                          const std::string& firmware_version,
                          std::span<const ManifestPartition> partitions) {
  JsonPtr partition_list(json_object_new_object());
  for (const auto& partition : partitions) {
    write_file(folder / image_file_name(partition.id), partition.image);
    add_member(partition_list.get(),
               std::string(archive_partitions[static_cast<std::size_t>(partition.id)].name),
               partition_object(partition));
  }
  JsonPtr body(json_object_new_object());
  add_member(body.get(), MANIFEST_KEY_PLATFORM, json_object_new_string(platform.c_str()));
  add_member(body.get(), MANIFEST_KEY_FIRMWARE_VERSION,
             json_object_new_string(firmware_version.c_str()));
  add_member(body.get(), MANIFEST_KEY_PARTITIONS, partition_list.release());
  JsonPtr root(json_object_new_object());
  add_member(root.get(), MANIFEST_KEY_ROOT, body.release());

  const std::string_view text = json_object_to_json_string_ext(
      root.get(), JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE);
  std::string with_newline(text);
  with_newline += '\n';
  write_file(folder / "manifest.json",
             std::span(reinterpret_cast<const uint8_t*>(with_newline.data()), with_newline.size()));
}

}  // namespace datagen
