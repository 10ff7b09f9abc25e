#pragma once

// The archive record behind a kavro_archive_t handle and what the archive's source files
// share about it. Only the archive module includes this.

#include <archive.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/archive.h"

struct ArchiveReaderFree {
  void operator()(archive* reader) const { archive_read_free(reader); }
};
using archive_reader = std::unique_ptr<archive, ArchiveReaderFree>;

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
  archive_reader reader;                    // null when no reader is open
  std::string manifest;
  uint32_t partitions_present = 0;
};

struct partition_chart_row {
  std::string_view name;
  uint32_t mask;
};

// Row i describes partition identifier i; row 0 is the placeholder for "no partition".
inline constexpr std::array<partition_chart_row, 16> partition_chart{{
    {"invalid", 0x0},
    {"bootstrap", 0x1},
    {"bootloader", 0x2},
    {"osloader", 0x4},
    {"meta", 0x8},
    {"misc", 0x10},
    {"kernel", 0x20},
    {"rootfs", 0x40},
    {"custom_a", 0x80},
    {"custom_b", 0x100},
    {"custom_c", 0x200},
    {"custom_d", 0x400},
    {"custom_e", 0x800},
    {"custom_f", 0x1000},
    {"custom_g", 0x2000},
    {"custom_h", 0x4000},
}};

inline constexpr bool is_partition_id(int64_t partition) {
  return partition >= PART_BOOTSTRAP && partition < static_cast<int64_t>(partition_chart.size());
}

// A new reader on the record's archive (its path, else its built-in bytes), or null when the
// archive cannot be opened.
archive_reader open_archive_reader(const kavro_archive_t& record);

// Reads the rest of the current entry's data; false when the reader reports an error first.
// libarchive's 7-Zip reader (3.6) loses its place in a solid stream when the entries it skipped
// unread end on a 256 KiB boundary of the stream: the next entry's data then fails with
// "Truncated 7-Zip file body". Reading through an entry instead of skipping it avoids that; in
// a solid archive its data has to be decompressed either way.
bool read_past_entry_data(archive* reader);
