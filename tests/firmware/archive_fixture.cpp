#include "tests/firmware/archive_fixture.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace archive_test {
namespace {

struct StandardImage {
  const char* partition;
  const char* filename;
  std::size_t size;
};

// Sizes chosen so that the kernel and rootfs span several blocks of the archive reader.
constexpr StandardImage STANDARD_IMAGES[] = {
    {"bootstrap", "bst.bin", 4096}, {"bootloader", "bld.bin", 8192}, {"osloader", "bda.bin", 1000},
    {"meta", "mta.bin", 64},        {"misc", "msc.bin", 48},         {"kernel", "kna.bin", 70000},
    {"rootfs", "rfa.bin", 300000},
};

json_object* object_member(json_object* object, std::string_view key) {
  json_object* value = nullptr;
  json_object_object_get_ex(object, std::string(key).c_str(), &value);
  return value;
}

void add_int(json_object* object, const char* key, int64_t value) {
  json_object_object_add(object, key, json_object_new_int64(value));
}

}  // namespace

std::vector<uint8_t> patterned_image(std::size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8) ^ (seed * 77u));
  }
  return bytes;
}

std::vector<uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

FirmwareLayout::FirmwareLayout() : document_(json_object_new_object()) {
  json_object* manifest = json_object_new_object();
  json_object_object_add(document_.get(), "manifest", manifest);
  json_object_object_add(manifest, "platform", json_object_new_string("cv22"));
  json_object_object_add(manifest, "firmware_version", json_object_new_string("2.0.1"));
  json_object_object_add(manifest, "partitions", json_object_new_object());
  for (const auto& image : STANDARD_IMAGES) {
    add_partition(image.partition, image.filename, image.size);
  }
  json_object* bootstrap = partition("bootstrap");
  add_int(bootstrap, "bld_size_offset", 3196);
  add_int(bootstrap, "bld_load_addr_offset", 3188);
  add_int(bootstrap, "coremhz_offset", 2188);
  add_int(bootstrap, "idspmhz_offset", 2192);
  add_int(bootstrap, "drammhz_offset", 2200);
  add_int(bootstrap, "cortexmhz_offset", 2184);
  add_int(bootstrap, "required_fixed_size", 4096);
  add_int(partition("bootloader"), "public_key_offset", 4100);
  add_int(partition("osloader"), "load_address", 0x80000);
  add_int(partition("kernel"), "load_address", 0x1000000);
}

json_object* FirmwareLayout::manifest() {
  return object_member(document_.get(), "manifest");
}

json_object* FirmwareLayout::partition(std::string_view name) {
  return object_member(object_member(manifest(), "partitions"), name);
}

void FirmwareLayout::set(std::string_view partition_name, const char* key, json_object* value) {
  json_object_object_add(partition(partition_name), key, value);
}

void FirmwareLayout::erase(std::string_view partition_name, const char* key) {
  json_object_object_del(partition(partition_name), key);
}

void FirmwareLayout::erase_partition(std::string_view name) {
  json_object_object_del(object_member(manifest(), "partitions"), std::string(name).c_str());
}

void FirmwareLayout::add_partition(std::string_view name, const std::string& filename,
                                   std::size_t size) {
  json_object* member = json_object_new_object();
  json_object_object_add(member, "filename", json_object_new_string(filename.c_str()));
  add_int(member, "filesize", static_cast<int64_t>(size));
  json_object_object_add(object_member(manifest(), "partitions"), std::string(name).c_str(),
                         member);
  add_entry(filename, patterned_image(size, static_cast<uint8_t>(files_.size() + 1)));
}

void FirmwareLayout::add_entry(const std::string& name, std::vector<uint8_t> bytes) {
  files_.push_back({name, std::move(bytes)});
}

const std::vector<uint8_t>& FirmwareLayout::image(std::string_view filename) const {
  const auto file = std::find_if(files_.begin(), files_.end(), [&](const kavro_pack::Entry& entry) {
    return entry.name == filename;
  });
  if (file == files_.end()) {
    throw std::logic_error("no image " + std::string(filename));
  }
  return std::get<std::vector<uint8_t>>(file->content);
}

std::string FirmwareLayout::manifest_text() const {
  return json_object_to_json_string_ext(document_.get(), JSON_C_TO_STRING_PRETTY);
}

std::vector<kavro_pack::Entry> FirmwareLayout::entries() const {
  std::vector<kavro_pack::Entry> all{{"manifest", bytes_of(manifest_text())}};
  all.insert(all.end(), files_.begin(), files_.end());
  return all;
}

void ArchiveTest::SetUp() {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
}

void ArchiveTest::TearDown() {
  kavro_archive_destroy(&archive_);
}

std::filesystem::path ArchiveTest::write(const std::vector<kavro_pack::Entry>& entries,
                                         kavro_pack::Format format, std::string_view name) {
  const std::filesystem::path path = folder_.path() / name;
  kavro_pack::write_archive(entries, path, format);
  return path;
}

int ArchiveTest::open(const std::filesystem::path& path) {
  kavro_archive_destroy(&archive_);
  return kavro_archive_init(&archive_, path.c_str());
}

int ArchiveTest::open(const std::vector<kavro_pack::Entry>& entries, kavro_pack::Format format) {
  return open(write(entries, format));
}

ExtractedFile read_to_end(kavro_archive_t** archive, std::size_t limit) {
  ExtractedFile file;
  for (;;) {
    const void* block = nullptr;
    std::size_t size = 0;
    int64_t offset = -1;
    const int result = kavro_archive_extract_block(archive, &block, &size, &offset);
    if (result != 0) {
      ADD_FAILURE() << "block read failed with " << result;
      return file;
    }
    if (size == 0) {
      return file;
    }
    if (offset != static_cast<int64_t>(file.bytes.size())) {
      file.offsets_in_order = false;
    }
    const auto* bytes = static_cast<const uint8_t*>(block);
    file.bytes.insert(file.bytes.end(), bytes, bytes + size);
    ++file.blocks;
    if (file.bytes.size() > limit) {
      ADD_FAILURE() << "the entry's data goes on past " << limit << " bytes";
      return file;
    }
  }
}

}  // namespace archive_test
