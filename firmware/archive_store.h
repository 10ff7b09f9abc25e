#pragma once
// The process-wide store of decoded archives. Every archive is decoded once, by a thread of its
// own, in archive order; every record opened on it (by the front end, by any number of sessions,
// at once or hours apart) lists, checks and extracts from the decoded bytes and waits only for
// the bytes it needs. Only the archive module includes this.

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace archive_store {

// What makes a file the same archive: a file changed in any of these is a new archive.
// The fingerprint (CRC-32 of the first and last 64 KiB) tells apart two writes of the same
// size that fall into one tick of the file system's clock.
struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
  int64_t size = 0;
  int64_t modified_ns = 0;
  uint32_t fingerprint = 0;
  const void* memory = nullptr;  // a built-in archive: its bytes' address instead of a file

  bool operator==(const file_identity&) const = default;
};

struct listed_entry {
  std::string name;
  int64_t size = 0;
};

// One archive's entry list and decoded data. The first memory-window bytes of the decoded
// stream stay in memory; the rest goes to an unlinked temporary file under TMPDIR, reserved in
// full before decoding starts, so a full disk fails the archive before any byte is handed out.
class decoded_archive {
 public:
  // Takes ownership of `fd` (a file archive) or reads `memory` (a built-in one).
  decoded_archive(file_identity identity, int fd, std::span<const uint8_t> memory);
  decoded_archive(const decoded_archive&) = delete;
  decoded_archive& operator=(const decoded_archive&) = delete;
  ~decoded_archive();

  const file_identity& identity() const { return identity_; }

  // Waits for the entry list: false when the file is not an archive libarchive can open.
  // The list holds every header up to the first one the reader could not deliver.
  bool wait_listing();
  const std::vector<listed_entry>& entries() const { return entries_; }  // after wait_listing

  // Waits until the decoding has reached the entry: false when it failed before that.
  bool wait_entry_start(uint32_t index);

  // The entry's data from `position` (a count of the bytes the archive reader delivered for it),
  // waiting until at least one byte is decoded: an empty block at the end of its data, false
  // when its data cannot be decoded or stored. `offset` receives the block's offset within the
  // entry as the reader gave it (it differs from `position` after a hole of a sparse entry).
  // The block lies in the store's memory or, past the memory window, is read into `scratch`;
  // either way it stays valid while the caller holds the store.
  bool read(uint32_t index, int64_t position, std::span<uint8_t> scratch,
            std::span<const uint8_t>& block, int64_t& offset);

  // True once decoding has failed (no archive, a damaged entry, no room to store it).
  bool failed();

 private:
  void decode();
  bool list_headers();
  bool reserve_spill(int64_t total);
  bool decode_entries();
  bool store_bytes(std::span<const uint8_t> bytes);
  std::span<uint8_t> memory_room(int64_t at);

  const file_identity identity_;
  const int fd_;  // -1 for a built-in archive
  const std::span<const uint8_t> memory_;
  const int64_t memory_window_;

  std::mutex mutex_;
  std::condition_variable progress_;
  // Written by the decoding thread under mutex_; entries_ is complete before listed_ is set
  // and never changes afterwards.
  bool listed_ = false;
  bool unopenable_ = false;
  bool failed_ = false;
  bool finished_ = false;
  std::vector<listed_entry> entries_;
  std::vector<int64_t> starts_;  // decoded-stream offset of each reached entry's data
  std::vector<int64_t> ends_;    // where each completed entry's data ends
  // Per reached entry, where its delivered data jumps to another offset: {position, offset}.
  std::vector<std::vector<std::pair<int64_t, int64_t>>> jumps_;
  int64_t decoded_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;  // the memory window, filled chunk by chunk
  int spill_fd_ = -1;
  bool stopping_ = false;
  std::thread decoder_;
};

// The decoded archive of the file at `path`, started now when the process has not decoded that
// file as it is on disk yet; null when the file cannot be opened.
std::shared_ptr<decoded_archive> decoded_file(const std::string& path);
// The decoded archive of built-in archive bytes.
std::shared_ptr<decoded_archive> decoded_memory(std::span<const uint8_t> bytes);

// How much of each decoded archive stays in memory (64 MiB in the product); tests make it small
// to reach the temporary file with small archives.
void set_memory_window_for_tests(int64_t bytes);

}  // namespace archive_store
