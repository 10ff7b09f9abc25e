// Opening firmware archives: listing the entries, reading and checking the manifest, and the
// archive record's lifetime.

#include <json-c/json.h>

#include <atomic>
#include <climits>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/c_handle.h"
#include "common/products.h"
#include "data/embedded.h"
#include "firmware/archive.h"
#include "firmware/archive_record.h"
#include "firmware/json_keys.h"

namespace {

constexpr int BASE_SLOT_COUNT = 10;
constexpr int FIRST_BASE_SLOT = 1;
constexpr int LAST_BASE_SLOT = 5;

// Each open pauses this long first; the product never changes it.
std::atomic<std::chrono::milliseconds::rep> open_delay_ms{1000};

// The built-in base archives by product row: slots 1 to 5 hold the five archives, the others
// are empty. A function-local constant, so concurrent first use by several sessions is safe.
const std::array<std::span<const uint8_t>, BASE_SLOT_COUNT>& base_entries() {
  static const auto table = [] {
    std::array<std::span<const uint8_t>, BASE_SLOT_COUNT> slots{};
    for (int slot = FIRST_BASE_SLOT; slot <= LAST_BASE_SLOT; ++slot) {
      slots[slot] = embedded::base_archive(slot);
    }
    return slots;
  }();
  return table;
}

using json_handle = CHandle<json_object, json_object_put>;
using tokener_handle = CHandle<json_tokener, json_tokener_free>;

// A manifest text that is JSON null counts as absent: its text form "null" is never a usable
// platform, version or file name.
int get_manifest_text(json_object* object, const char* key, std::string& value,
                      std::size_t max_length = std::string::npos) {
  std::string_view text;
  if (j_get_string(object, key, json_null_text::absent, text) != 0) {
    return JSON_KEY_ABSENT;
  }
  value = text.substr(0, max_length);
  return 0;
}

// Where each of PARTITION_KEYS_BOOTSTRAP_OFFSETS goes, in the same order.
constexpr std::array<int32_t kavro_archive_file_t::*, PARTITION_KEYS_BOOTSTRAP_OFFSETS.size()>
    BOOTSTRAP_OFFSET_FIELDS{
        &kavro_archive_file_t::bld_size_offset, &kavro_archive_file_t::bld_load_addr_offset,
        &kavro_archive_file_t::coremhz_offset,  &kavro_archive_file_t::idspmhz_offset,
        &kavro_archive_file_t::drammhz_offset,  &kavro_archive_file_t::cortexmhz_offset,
    };

kavro_archive_file_t* find_file_by_name(kavro_archive_t& record, const std::string& name) {
  for (auto& file : record.files) {
    if (file.name == name) {
      return &file;
    }
  }
  return nullptr;
}

// Reads the partition's member of "partitions" into the file entry it names; false when the
// member is invalid, true when it is valid or absent. The entry gets this partition's values
// only, replacing any an earlier partition left on it.
bool load_manifest_partition(kavro_archive_t& record, json_object* partitions, int partition) {
  json_object* details = nullptr;
  if (!json_object_object_get_ex(partitions, archive_partitions[partition].name.data(), &details)) {
    return true;
  }
  std::string filename;
  int64_t filesize = 0;
  if (get_manifest_text(details, PARTITION_KEY_FILENAME, filename) != 0 ||
      j_get_int64(details, PARTITION_KEY_FILESIZE, filesize) != 0) {
    return false;
  }
  kavro_archive_file_t* file = find_file_by_name(record, filename);
  if (file == nullptr || file->size != filesize) {
    return false;
  }
  kavro_archive_file_t loaded{.name = file->name, .size = file->size, .index = file->index};
  loaded.partition = partition;
  if (partition == PART_BOOTSTRAP) {
    for (std::size_t i = 0; i < BOOTSTRAP_OFFSET_FIELDS.size(); ++i) {
      if (j_get_int32(details, PARTITION_KEYS_BOOTSTRAP_OFFSETS[i],
                      loaded.*BOOTSTRAP_OFFSET_FIELDS[i]) != 0) {
        return false;
      }
    }
  }
  if (partition == PART_BOOTLOADER &&
      j_get_int32(details, PARTITION_KEY_PUBLIC_KEY_OFFSET, loaded.public_key_offset) != 0) {
    return false;
  }
  j_get_int64(details, PARTITION_KEY_LOAD_ADDRESS, loaded.load_address);
  j_get_int64(details, PARTITION_KEY_REQUIRED_FIXED_SIZE, loaded.required_fixed_size);
  bool is_signed = false;
  j_get_bool(details, PARTITION_KEY_SIGNED, is_signed);
  loaded.flags = is_signed ? FILE_FLAG_SIGNED : 0;
  if (partition_needs_load_address(partition) && loaded.load_address == 0) {
    return false;
  }
  *file = std::move(loaded);
  record.partitions_present |= archive_partitions[partition].mask;
  return true;
}

int parse_manifest_data(kavro_archive_t& record, std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    return ARCHIVE_ERR_MANIFEST_PARSE;
  }
  const tokener_handle tokener(json_tokener_new());
  if (!tokener) {
    return ARCHIVE_ERR_NO_MEMORY;
  }
  const json_handle root(
      json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
  if (json_tokener_get_error(tokener.get()) != json_tokener_success) {
    return ARCHIVE_ERR_MANIFEST_PARSE;
  }
  json_object* manifest = nullptr;
  if (!json_object_object_get_ex(root.get(), MANIFEST_KEY_ROOT, &manifest)) {
    return ARCHIVE_ERR_MANIFEST_PARSE;
  }
  if (get_manifest_text(manifest, MANIFEST_KEY_PLATFORM, record.platform,
                        MANIFEST_PLATFORM_MAX_LENGTH) != 0) {
    return ARCHIVE_ERR_MISSING_PLATFORM;
  }
  if (get_manifest_text(manifest, MANIFEST_KEY_FIRMWARE_VERSION, record.firmware_version,
                        MANIFEST_FIRMWARE_VERSION_MAX_LENGTH) != 0) {
    return ARCHIVE_ERR_MISSING_FIRMWARE_VERSION;
  }
  json_object* partitions = nullptr;
  if (!json_object_object_get_ex(manifest, MANIFEST_KEY_PARTITIONS, &partitions)) {
    return ARCHIVE_ERR_MISSING_PARTITIONS;
  }
  for (int partition = PART_BOOTSTRAP; is_partition_id(partition); ++partition) {
    if (!load_manifest_partition(record, partitions, partition)) {
      return archive_error_invalid_partition(partition);
    }
  }
  return 0;
}

// The manifest entry's data, which must reach the entry's listed size.
int read_manifest(kavro_archive_t& record, uint32_t index, int64_t size) {
  record.manifest.clear();
  while (static_cast<int64_t>(record.manifest.size()) < size) {
    std::span<const uint8_t> block;
    const auto offset = static_cast<int64_t>(record.manifest.size());
    int64_t unused_offset = 0;
    if (!read_entry_block(record, *record.decoded, index, offset, block, unused_offset) ||
        block.empty()) {
      return ARCHIVE_ERR_EXTRACT;
    }
    block =
        block.first(std::min<std::size_t>(block.size(), static_cast<std::size_t>(size - offset)));
    record.manifest.append(reinterpret_cast<const char*>(block.data()), block.size());
  }
  return 0;
}

// Lists every entry into the record and reads the one manifest. The listing holds every
// header up to the first one the archive reader could not deliver.
int list_entries(kavro_archive_t& record) {
  bool manifest_read = false;
  const auto& entries = record.decoded->entries();
  for (uint32_t index = 0; index < entries.size(); ++index) {
    kavro_archive_file_t& file = record.files.emplace_back();
    file.name = entries[index].name;
    file.index = index;
    file.size = entries[index].size;
    if (file.name != MANIFEST_ENTRY || file.size <= 0) {
      continue;
    }
    if (manifest_read) {
      return ARCHIVE_ERR_MULTIPLE_MANIFESTS;
    }
    const int read = read_manifest(record, index, file.size);
    if (read != 0) {
      return read;
    }
    manifest_read = true;
  }
  return manifest_read ? 0 : ARCHIVE_ERR_NO_MANIFEST;
}

// `decoded` is the file's decoded archive when the caller already looked it up.
int open_record(kavro_archive_t& record, const char* platform, const char* path,
                uint32_t hw_version, std::shared_ptr<archive_store::decoded_archive> decoded) {
  if (path != nullptr) {
    record.path = path;
  } else {
    const int row = product_row_for(platform, hw_version);
    if (row < 0) {
      return ARCHIVE_ERR_PLATFORM;
    }
    record.embedded = true;
    record.embedded_data = base_entries()[row];
    decoded = archive_store::decoded_memory(record.embedded_data);
  }
  record.decoded = std::move(decoded);
  if (!record.decoded || !record.decoded->wait_listing()) {
    return ARCHIVE_ERR_OPEN;
  }
  const int listed = list_entries(record);
  if (listed != 0) {
    return listed;
  }
  return parse_manifest_data(record, record.manifest);
}

// The common body of both init operations: a file archive passes its path, a built-in one its
// platform and hardware revision.
int kavro_archive_init_private(kavro_archive_t** handle, const char* platform, const char* path,
                               uint32_t hw_version) {
  base_entries();
  // The file starts decoding now, so the pause costs no decoding time.
  auto decoded = path != nullptr ? archive_store::decoded_file(path) : nullptr;
  std::this_thread::sleep_for(std::chrono::milliseconds(open_delay_ms.load()));
  if (handle == nullptr) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  *handle = nullptr;
  if (path == nullptr && platform == nullptr) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  try {
    auto record = std::make_unique<kavro_archive_t>();
    const int result = open_record(*record, platform, path, hw_version, std::move(decoded));
    if (result == 0) {
      *handle = record.release();
    }
    return result;
  } catch (const std::bad_alloc&) {
    return ARCHIVE_ERR_NO_MEMORY;
  } catch (const std::length_error&) {
    return ARCHIVE_ERR_NO_MEMORY;
  }
}

}  // namespace

bool read_entry_block(kavro_archive_t& record, archive_store::decoded_archive& decoded,
                      uint32_t index, int64_t position, std::span<const uint8_t>& block,
                      int64_t& offset) {
  if (!record.scratch) {
    record.scratch = std::make_unique_for_overwrite<uint8_t[]>(EXTRACT_SCRATCH_SIZE);
  }
  return decoded.read(index, position, {record.scratch.get(), EXTRACT_SCRATCH_SIZE}, block, offset);
}

int kavro_archive_init(kavro_archive_t** archive, const char* path) {
  return kavro_archive_init_private(archive, nullptr, path, 0);
}

int kavro_archive_init_embedded(kavro_archive_t** archive, const char* platform,
                                uint32_t hw_version) {
  return kavro_archive_init_private(archive, platform, nullptr, hw_version);
}

void kavro_archive_destroy(kavro_archive_t** archive) {
  if (archive == nullptr) {
    return;
  }
  delete *archive;
  *archive = nullptr;
}

const char* kavro_archive_error_string(int code) {
  switch (code) {
    case ARCHIVE_ERR_INVALID_PARAMETERS:
      return "Invalid parameters specified";
    case ARCHIVE_ERR_NO_MEMORY:
      return "Insufficient memory available";
    case ARCHIVE_ERR_OPEN:
      return "Could not open archive file";
    case ARCHIVE_ERR_EXTRACT:
      return "Failed to extract data from archive";
    case ARCHIVE_ERR_NO_MANIFEST:
      return "No manifest found in archive";
    case ARCHIVE_ERR_MULTIPLE_MANIFESTS:
      return "Multiple manifests found in archive";
    case ARCHIVE_ERR_MANIFEST_PARSE:
      return "Failed to parse manifest file";
    case ARCHIVE_ERR_MISSING_PLATFORM:
      return "Missing platform parameter in manifest";
    case ARCHIVE_ERR_MISSING_FIRMWARE_VERSION:
      return "Missing firmware_version parameter in manifest";
    case ARCHIVE_ERR_MISSING_PARTITIONS:
      return "Missing partitions list in manifest";
    case ARCHIVE_ERR_INVALID_BOOTSTRAP:
      return "Invalid bootstrap entry in manifest";
    case ARCHIVE_ERR_INVALID_BOOTLOADER:
      return "Invalid bootloader entry in manifest";
    case ARCHIVE_ERR_INVALID_OSLOADER:
      return "Invalid osloader entry in manifest";
    case ARCHIVE_ERR_INVALID_META:
      return "Invalid meta entry in manifest";
    case ARCHIVE_ERR_INVALID_MISC:
      return "Invalid misc entry in manifest";
    case ARCHIVE_ERR_INVALID_KERNEL:
      return "Invalid kernel entry in manifest";
    case ARCHIVE_ERR_INVALID_ROOTFS:
      return "Invalid rootfs entry in manifest";
    case ARCHIVE_ERR_INVALID_CUSTOM_A:
      return "Invalid custom_a entry in manifest";
    case ARCHIVE_ERR_INVALID_CUSTOM_B:
      return "Invalid custom_b entry in manifest";
    case ARCHIVE_ERR_INVALID_CUSTOM_C:
      return "Invalid custom_c entry in manifest";
    case ARCHIVE_ERR_INVALID_CUSTOM_D:
      return "Invalid custom_d entry in manifest";
    case ARCHIVE_ERR_INVALID_CUSTOM_E:
      return "Invalid custom_e entry in manifest";
    case ARCHIVE_ERR_INVALID_CUSTOM_F:
      return "Invalid custom_f entry in manifest";
    case ARCHIVE_ERR_INVALID_CUSTOM_G:
      return "Invalid custom_g entry in manifest";
    case ARCHIVE_ERR_INVALID_CUSTOM_H:
      return "Invalid custom_h entry in manifest";
    case ARCHIVE_ERR_PARTITION_NOT_FOUND:
      return "Partition file not found or invalid in archive";
    case ARCHIVE_ERR_UNKNOWN_PARAMETER:
      return "Unknown partition parameter requested";
    case ARCHIVE_ERR_PLATFORM:
      return "Invalid platform or platform mismatch in archive";
    case ARCHIVE_ERR_SIGNATURE:
      return "Signature check failed";
    default:
      return "Unknown error";
  }
}

void kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds delay) {
  open_delay_ms.store(delay.count());
}
