// Questions about an open archive and reading one entry's data block by block. The data comes
// from the process's decoded-archive store: positioning looks the file up again as it is on
// disk now and waits only until the decoding has reached the entry.

#include <string_view>

#include "firmware/archive.h"
#include "firmware/archive_record.h"

namespace {

constexpr uint32_t BOOTLOADER_PARTITIONS = partitions_mask(BASE_ARCHIVE_PARTITIONS);
constexpr uint32_t OTA_PARTITIONS = partitions_mask(OTA_ARCHIVE_PARTITIONS);

kavro_archive_t* record_of(kavro_archive_t** handle) {
  return handle != nullptr ? *handle : nullptr;
}

const kavro_archive_file_t* file_of_partition(const kavro_archive_t& record, int partition) {
  for (const auto& file : record.files) {
    if (file.partition == partition) {
      return &file;
    }
  }
  return nullptr;
}

const kavro_archive_file_t* file_to_extract(const kavro_archive_t& record, int partition,
                                            std::string_view name) {
  for (const auto& file : record.files) {
    if (file.partition == partition || (!name.empty() && file.name == name)) {
      return &file;
    }
  }
  return nullptr;
}

// Finds the archive as the file is on disk now (a replaced file is a new archive) and checks
// that the entry listed at open is still there at its position. Whenever positioning fails no
// entry stays positioned, so no later block read can hand out another entry's data.
int kavro_archive_extract_setup_private(kavro_archive_t** handle, int partition,
                                        std::string_view name) {
  kavro_archive_t* record = record_of(handle);
  if (record == nullptr) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  const kavro_archive_file_t* file = file_to_extract(*record, partition, name);
  if (file == nullptr) {
    return ARCHIVE_ERR_PARTITION_NOT_FOUND;
  }
  record->extracting.reset();
  auto decoded = record->embedded ? record->decoded : archive_store::decoded_file(record->path);
  if (!decoded || !decoded->wait_listing()) {
    return ARCHIVE_ERR_OPEN;
  }
  const auto& entries = decoded->entries();
  if (file->index >= entries.size() || entries[file->index].name != file->name ||
      !decoded->wait_entry_start(file->index)) {
    return ARCHIVE_ERR_PARTITION_NOT_FOUND;
  }
  record->extracting = std::move(decoded);
  record->extract_index = file->index;
  record->extract_position = 0;
  return 0;
}

// No entry carries a negative partition identifier, so only the name can match.
constexpr int MATCH_BY_NAME_ONLY = -1;

}  // namespace

int kavro_archive_extract_setup(kavro_archive_t** archive, int partition) {
  if (record_of(archive) == nullptr || !is_partition_id(partition)) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  return kavro_archive_extract_setup_private(archive, partition, {});
}

int kavro_archive_extract_setup_filename(kavro_archive_t** archive, const char* name) {
  if (name == nullptr) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  return kavro_archive_extract_setup_private(archive, MATCH_BY_NAME_ONLY, name);
}

int kavro_archive_extract_block(kavro_archive_t** archive, const void** block, size_t* size,
                                int64_t* offset) {
  kavro_archive_t* record = record_of(archive);
  if (record == nullptr || block == nullptr || size == nullptr || offset == nullptr) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  if (!record->extracting) {
    return ARCHIVE_ERR_EXTRACT;
  }
  std::span<const uint8_t> data;
  int64_t at = 0;
  if (!read_entry_block(*record, *record->extracting, record->extract_index,
                        record->extract_position, data, at)) {
    return ARCHIVE_ERR_EXTRACT;
  }
  *block = data.data();
  *size = data.size();
  *offset = at;
  record->extract_position += static_cast<int64_t>(data.size());
  return 0;
}

int kavro_archive_contains_bootloaders(kavro_archive_t** archive) {
  const kavro_archive_t* record = record_of(archive);
  return record != nullptr &&
         (record->partitions_present & BOOTLOADER_PARTITIONS) == BOOTLOADER_PARTITIONS;
}

int kavro_archive_contains_ota_parts(kavro_archive_t** archive) {
  const kavro_archive_t* record = record_of(archive);
  return record != nullptr && (record->partitions_present & OTA_PARTITIONS) == OTA_PARTITIONS;
}

int kavro_archive_contains_partition(kavro_archive_t** archive, int partition) {
  const kavro_archive_t* record = record_of(archive);
  return record != nullptr && is_partition_id(partition) &&
         (record->partitions_present & archive_partitions[partition].mask) != 0;
}

const char* kavro_archive_get_platform(kavro_archive_t** archive) {
  const kavro_archive_t* record = record_of(archive);
  return record != nullptr ? record->platform.c_str() : nullptr;
}

const char* kavro_archive_get_firmware_version(kavro_archive_t** archive) {
  const kavro_archive_t* record = record_of(archive);
  return record != nullptr ? record->firmware_version.c_str() : nullptr;
}

int64_t kavro_archive_get_partition_size(kavro_archive_t** archive, int partition) {
  const kavro_archive_t* record = record_of(archive);
  if (record == nullptr || !is_partition_id(partition)) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  const kavro_archive_file_t* file = file_of_partition(*record, partition);
  return file != nullptr ? file->size : ARCHIVE_ERR_PARTITION_NOT_FOUND;
}

int64_t kavro_archive_get_partition_param(kavro_archive_t** archive, int partition,
                                          uint32_t selector) {
  const kavro_archive_t* record = record_of(archive);
  if (record == nullptr || !is_partition_id(partition)) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  const kavro_archive_file_t* file = file_of_partition(*record, partition);
  if (file == nullptr) {
    return ARCHIVE_ERR_PARTITION_NOT_FOUND;
  }
  switch (selector) {
    case PARAM_SIZE:
      return file->size;
    case PARAM_REQUIRED_FIXED_SIZE:
      return file->required_fixed_size;
    case PARAM_SIGNED:
      return (file->flags & FILE_FLAG_SIGNED) != 0 ? 1 : 0;
    case PARAM_COREMHZ_OFFSET:
      return file->coremhz_offset;
    case PARAM_IDSPMHZ_OFFSET:
      return file->idspmhz_offset;
    case PARAM_DRAMMHZ_OFFSET:
      return file->drammhz_offset;
    case PARAM_CORTEXMHZ_OFFSET:
      return file->cortexmhz_offset;
    case PARAM_BLD_SIZE_OFFSET:
      return file->bld_size_offset;
    case PARAM_BLD_LOAD_ADDR_OFFSET:
      return file->bld_load_addr_offset;
    case PARAM_PUBLIC_KEY_OFFSET:
      return file->public_key_offset;
    case PARAM_LOAD_ADDRESS:
      return file->load_address;
    default:
      return ARCHIVE_ERR_UNKNOWN_PARAMETER;
  }
}

const char* kavro_archive_get_image_type_name(int partition) {
  return is_partition_id(partition) ? archive_partitions[partition].name.data() : nullptr;
}

const char* kavro_archive_get_compressed_filename(kavro_archive_t** archive, int partition) {
  const kavro_archive_t* record = record_of(archive);
  if (record == nullptr || !is_partition_id(partition)) {
    return nullptr;
  }
  const kavro_archive_file_t* file = file_of_partition(*record, partition);
  return file != nullptr ? file->name.c_str() : nullptr;
}
