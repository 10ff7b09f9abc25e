#pragma once
// Sequential reading of any archive libarchive understands, shared by listing and verifying.
// kavro-pack keeps this reader rather than the flasher's archive store: the archive library
// embeds the base archives that kavro-pack makes, so kavro-pack cannot link it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>

#include "tools/kavro_pack.h"

struct archive;

namespace kavro_pack::detail {

// The data of the entry currently being visited, handed out block by block.
class EntryData {
 public:
  explicit EntryData(archive* reader) : reader_(reader) {}
  // The next block of the entry's data; empty once the data is exhausted. Throws on a read
  // error.
  std::span<const uint8_t> next_block();
  // Reads and drops whatever is left of the entry's data.
  void read_through();

 private:
  archive* reader_;
};

// Calls `visit` for every entry of the archive in archive order. Data the visitor leaves
// unread is read through and dropped.
void for_each_entry(const std::filesystem::path& archive_path,
                    const std::function<void(const EntryInfo&, EntryData&)>& visit);

}  // namespace kavro_pack::detail
