#pragma once
// The archive record behind a kavro_archive_t handle and what the archive's source files
// share about it. Only the archive module includes this.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/archive.h"
#include "firmware/archive_format.h"
#include "firmware/archive_store.h"

// One entry of the archive, with what the manifest said about it when a partition names it.
struct kavro_archive_file_t {
  std::string name;
  int64_t size = 0;
  int64_t required_fixed_size = 0;
  uint32_t index = 0;
  int32_t partition = 0;  // 0: no manifest partition names this entry
  uint32_t flags = 0;
  int32_t coremhz_offset = 0;
  int32_t idspmhz_offset = 0;
  int32_t drammhz_offset = 0;
  int32_t cortexmhz_offset = 0;
  int32_t bld_size_offset = 0;
  int32_t bld_load_addr_offset = 0;
  int32_t public_key_offset = 0;
  int64_t load_address = 0;
};

inline constexpr uint32_t FILE_FLAG_SIGNED = 0x1;

struct kavro_archive_t {
  std::string platform;
  std::string firmware_version;
  std::string path;                         // empty for a built-in archive
  bool embedded = false;                    // opened from built-in bytes rather than a file
  std::span<const uint8_t> embedded_data;   // built-in archive bytes; not owned
  std::vector<kavro_archive_file_t> files;  // in archive order
  std::shared_ptr<archive_store::decoded_archive> decoded;  // the archive as it was listed
  // The entry being extracted and how far: it is read from the archive as the file was on disk
  // when it was positioned; null when no entry is positioned.
  std::shared_ptr<archive_store::decoded_archive> extracting;
  uint32_t extract_index = 0;
  int64_t extract_position = 0;        // bytes of the entry's data handed out so far
  std::unique_ptr<uint8_t[]> scratch;  // blocks read back from beyond the memory window
  std::string manifest;
  uint32_t partitions_present = 0;
};

inline constexpr std::size_t EXTRACT_SCRATCH_SIZE = 65536;

// The block of entry `index` of `decoded` at `position` (see decoded_archive::read), read back
// through the record's scratch buffer when it lies beyond the memory window: false when the
// entry's data cannot be decoded; empty at its end.
bool read_entry_block(kavro_archive_t& record, archive_store::decoded_archive& decoded,
                      uint32_t index, int64_t position, std::span<const uint8_t>& block,
                      int64_t& offset);
