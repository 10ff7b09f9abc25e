// The process-wide decoded-archive store: one decoding thread per archive, a bounded memory
// window and an unlinked temporary file for the rest, and the registry that finds an archive's
// decoded bytes by the file's identity.

#include "firmware/archive_store.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/c_handle.h"
#include "common/environment.h"

namespace archive_store {
namespace {

// The decoded bytes held in memory per archive. The example OTA archives (tens of MB) fit
// whole, so 64 modules flashing one share a single copy; a 256 MiB rootfs spills the rest.
constexpr int64_t MEMORY_WINDOW = int64_t{64} << 20;
constexpr int64_t CHUNK_SIZE = int64_t{1} << 20;
// The decoder publishes progress at least per step of this many bytes: small enough that a
// reader following the decode waits little, large enough that waking the readers costs nothing.
constexpr int64_t DECODE_STEP = 256 << 10;
constexpr std::size_t READ_BLOCK_SIZE = 65536;
constexpr std::size_t BLOCK_LIMIT = 65536;
constexpr off_t FINGERPRINT_SPAN = 65536;
// Unreferenced archives kept for a later session, most recently used first; the built-in base
// archives are not counted.
constexpr std::size_t KEPT_UNUSED_FILES = 4;

std::atomic<int64_t> memory_window{MEMORY_WINDOW};

using archive_reader = CHandle<archive, archive_read_free>;

archive_reader open_reader(int fd, std::span<const uint8_t> memory) {
  archive_reader reader(archive_read_new());
  if (!reader) {
    return nullptr;
  }
  archive_read_support_filter_all(reader.get());
  archive_read_support_format_all(reader.get());
  int result = ARCHIVE_OK;
  if (fd >= 0) {
    result = lseek(fd, 0, SEEK_SET) == 0 ? archive_read_open_fd(reader.get(), fd, READ_BLOCK_SIZE)
                                         : ARCHIVE_FATAL;
  } else {
    // An empty built-in slot still needs a valid address: it opens as an archive without
    // entries.
    static constexpr uint8_t no_bytes[1] = {};
    result = archive_read_open_memory(reader.get(), memory.empty() ? no_bytes : memory.data(),
                                      memory.size());
  }
  return result == ARCHIVE_OK ? std::move(reader) : nullptr;
}

uint32_t crc_of_span(int fd, off_t at, uint32_t crc) {
  std::vector<uint8_t> bytes(static_cast<std::size_t>(FINGERPRINT_SPAN));
  const ssize_t got = pread(fd, bytes.data(), bytes.size(), at);
  if (got <= 0) {
    return crc;
  }
  return static_cast<uint32_t>(crc32(crc, bytes.data(), static_cast<uInt>(got)));
}

file_identity identity_of(int fd, const struct stat& status) {
  file_identity identity{
      .device = status.st_dev,
      .inode = status.st_ino,
      .size = status.st_size,
      .modified_ns = int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec};
  uint32_t crc = crc_of_span(fd, 0, 0);
  if (status.st_size > FINGERPRINT_SPAN) {
    crc =
        crc_of_span(fd, std::max<off_t>(FINGERPRINT_SPAN, status.st_size - FINGERPRINT_SPAN), crc);
  }
  identity.fingerprint = crc;
  return identity;
}

// An unlinked file under TMPDIR (or /tmp): nothing is left behind, even after a crash.
int open_spill_file() {
  const char* folder = std::getenv(environment_name(FLASHER_ENVIRONMENT, "TMPDIR"));
  const std::string directory = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  const int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC | O_EXCL, 0600);
  if (fd >= 0) {
    return fd;
  }
  std::string pattern = directory + "/kavro-archive-XXXXXX";
  const int named = mkostemp(pattern.data(), O_CLOEXEC);
  if (named >= 0) {
    unlink(pattern.c_str());
  }
  return named;
}

struct registry {
  std::mutex mutex;
  struct slot {
    std::shared_ptr<decoded_archive> archive;
    std::string path;  // empty for a built-in archive
    uint64_t last_used = 0;
  };
  std::vector<slot> slots;
  uint64_t clock = 0;
};

// Destroyed at exit, which ends and joins the decoding threads of the archives it alone holds;
// an archive a record still holds lives on with that record.
registry& the_registry() {
  static registry instance;
  return instance;
}

// A file archive whose file on disk no longer has its identity can never be found again.
bool replaced_on_disk(const registry::slot& slot) {
  struct stat status {};
  if (stat(slot.path.c_str(), &status) != 0) {
    return true;
  }
  const file_identity& identity = slot.archive->identity();
  return status.st_dev != identity.device || status.st_ino != identity.inode ||
         status.st_size != identity.size ||
         int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec !=
             identity.modified_ns;
}

// Takes out the archives no record uses that are not worth keeping: failed ones (so that a
// later open tries again), replaced files, and the least recently used beyond the kept few.
// They are destroyed by the caller outside the registry's lock, as that may wait for a decode.
std::vector<std::shared_ptr<decoded_archive>> prune(registry& store) {
  std::vector<std::shared_ptr<decoded_archive>> dropped;
  std::sort(store.slots.begin(), store.slots.end(),
            [](const auto& a, const auto& b) { return a.last_used > b.last_used; });
  std::size_t unused_files = 0;
  std::vector<registry::slot> kept;
  for (auto& slot : store.slots) {
    const bool is_file = !slot.path.empty();
    const bool unused = slot.archive.use_count() == 1;
    if (unused && (slot.archive->failed() ||
                   (is_file && (++unused_files > KEPT_UNUSED_FILES || replaced_on_disk(slot))))) {
      dropped.push_back(std::move(slot.archive));
    } else {
      kept.push_back(std::move(slot));
    }
  }
  store.slots = std::move(kept);
  return dropped;
}

std::shared_ptr<decoded_archive> find_or_start(const file_identity& identity, int fd,
                                               std::span<const uint8_t> memory,
                                               const std::string& path) {
  registry& store = the_registry();
  std::shared_ptr<decoded_archive> found;
  std::vector<std::shared_ptr<decoded_archive>> dropped;
  {
    const std::lock_guard lock(store.mutex);
    dropped = prune(store);
    for (auto& slot : store.slots) {
      if (slot.archive->identity() == identity) {
        slot.last_used = ++store.clock;
        found = slot.archive;
      }
    }
    if (!found) {
      found = std::make_shared<decoded_archive>(identity, fd, memory);
      fd = -1;
      store.slots.push_back({found, path, ++store.clock});
    }
  }
  if (fd >= 0) {
    close(fd);
  }
  return found;
}

}  // namespace

decoded_archive::decoded_archive(file_identity identity, int fd, std::span<const uint8_t> memory)
    : identity_(identity), fd_(fd), memory_(memory), memory_window_(memory_window.load()) {
  decoder_ = std::thread([this] { decode(); });
}

decoded_archive::~decoded_archive() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  decoder_.join();
  if (spill_fd_ >= 0) {
    close(spill_fd_);
  }
  if (fd_ >= 0) {
    close(fd_);
  }
}

bool decoded_archive::wait_listing() {
  std::unique_lock lock(mutex_);
  progress_.wait(lock, [this] { return listed_ || unopenable_; });
  return listed_;
}

bool decoded_archive::wait_entry_start(uint32_t index) {
  std::unique_lock lock(mutex_);
  progress_.wait(lock, [&] { return index < starts_.size() || failed_ || finished_; });
  return index < starts_.size();
}

bool decoded_archive::read(uint32_t index, int64_t position, std::span<uint8_t> scratch,
                           std::span<const uint8_t>& block, int64_t& offset) {
  std::unique_lock lock(mutex_);
  const auto available = [&] {
    return index < ends_.size() ? ends_[index] : (index < starts_.size() ? decoded_ : 0);
  };
  progress_.wait(lock, [&] {
    return failed_ || finished_ || index < ends_.size() ||
           (index < starts_.size() && available() > starts_[index] + position);
  });
  if (index >= starts_.size()) {
    return false;
  }
  const int64_t at = starts_[index] + position;
  int64_t end = available();
  offset = position;
  for (const auto& [from, to] : jumps_[index]) {
    if (from > position) {
      end = std::min(end, starts_[index] + from);
      break;
    }
    offset = to + (position - from);
  }
  if (at >= end) {
    block = {};
    return index < ends_.size();
  }
  int64_t length = std::min<int64_t>(end - at, BLOCK_LIMIT);
  if (at < memory_window_) {
    length = std::min({length, CHUNK_SIZE - at % CHUNK_SIZE, memory_window_ - at});
    block = {chunks_[static_cast<std::size_t>(at / CHUNK_SIZE)].get() + at % CHUNK_SIZE,
             static_cast<std::size_t>(length)};
    return true;
  }
  const int spill = spill_fd_;
  lock.unlock();
  length = std::min<int64_t>(length, static_cast<int64_t>(scratch.size()));
  const ssize_t got =
      pread(spill, scratch.data(), static_cast<std::size_t>(length), at - memory_window_);
  if (got != length) {
    return false;
  }
  block = scratch.first(static_cast<std::size_t>(length));
  return true;
}

bool decoded_archive::failed() {
  const std::lock_guard lock(mutex_);
  return failed_ || unopenable_;
}

void decoded_archive::decode() {
  const bool decoded = list_headers() && decode_entries();
  const std::lock_guard lock(mutex_);
  failed_ = failed_ || !decoded;
  finished_ = true;
  progress_.notify_all();
}

// A pass over the headers alone. Readers in list mode skip entries without decompressing
// them, so this is quick for 7z and zip; the data is decoded afterwards in one pass.
bool decoded_archive::list_headers() {
  archive_reader reader = open_reader(fd_, memory_);
  std::vector<listed_entry> listed;
  archive_entry* header = nullptr;
  while (reader && archive_read_next_header(reader.get(), &header) == ARCHIVE_OK) {
    const char* name = archive_entry_pathname(header);
    listed.push_back({name != nullptr ? name : "", archive_entry_size(header)});
  }
  int64_t total = 0;
  for (const auto& entry : listed) {
    total += std::max<int64_t>(entry.size, 0);
  }
  const bool reserved = reader != nullptr && reserve_spill(total);
  const std::lock_guard lock(mutex_);
  unopenable_ = reader == nullptr;
  entries_ = std::move(listed);
  listed_ = reader != nullptr;
  failed_ = !reserved;
  progress_.notify_all();
  return reserved;
}

// Claims the temporary file's room for everything beyond the memory window up front.
bool decoded_archive::reserve_spill(int64_t total) {
  if (total <= memory_window_) {
    return true;
  }
  spill_fd_ = open_spill_file();
  return spill_fd_ >= 0 && posix_fallocate(spill_fd_, 0, total - memory_window_) == 0;
}

// Decodes every entry's data in archive order, as the reader delivers it, block by block.
bool decoded_archive::decode_entries() {
  archive_reader reader = open_reader(fd_, memory_);
  if (!reader) {
    return false;
  }
  archive_entry* header = nullptr;
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    if (archive_read_next_header(reader.get(), &header) != ARCHIVE_OK) {
      return false;
    }
    {
      const std::lock_guard lock(mutex_);
      starts_.push_back(decoded_);
      jumps_.emplace_back();
      progress_.notify_all();
    }
    int64_t delivered = 0;
    int64_t next_offset = 0;
    for (;;) {
      const void* data = nullptr;
      std::size_t size = 0;
      la_int64_t offset = 0;
      const int result = archive_read_data_block(reader.get(), &data, &size, &offset);
      if (result == ARCHIVE_EOF) {
        break;
      }
      if (result != ARCHIVE_OK) {
        return false;
      }
      if (offset != next_offset) {
        const std::lock_guard lock(mutex_);
        jumps_.back().emplace_back(delivered, offset);
      }
      if (!store_bytes({static_cast<const uint8_t*>(data), size})) {
        return false;
      }
      delivered += static_cast<int64_t>(size);
      next_offset = offset + static_cast<int64_t>(size);
    }
    const std::lock_guard lock(mutex_);
    ends_.push_back(decoded_);
    progress_.notify_all();
  }
  return true;
}

// Room in the memory window at stream offset `at` (a fresh chunk when it starts one); empty
// beyond the window.
std::span<uint8_t> decoded_archive::memory_room(int64_t at) {
  if (at >= memory_window_) {
    return {};
  }
  const auto chunk = static_cast<std::size_t>(at / CHUNK_SIZE);
  const int64_t length = std::min({DECODE_STEP, CHUNK_SIZE - at % CHUNK_SIZE, memory_window_ - at});
  const std::lock_guard lock(mutex_);
  if (chunk == chunks_.size()) {
    chunks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(CHUNK_SIZE));
  }
  return {chunks_[chunk].get() + at % CHUNK_SIZE, static_cast<std::size_t>(length)};
}

// Copies decoded bytes into the memory window or the temporary file and publishes them.
bool decoded_archive::store_bytes(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const int64_t at = decoded_;
    std::size_t length = bytes.size();
    const std::span<uint8_t> room = memory_room(at);
    if (!room.empty()) {
      length = std::min(length, room.size());
      std::memcpy(room.data(), bytes.data(), length);
    } else if (pwrite(spill_fd_, bytes.data(), length, at - memory_window_) !=
               static_cast<ssize_t>(length)) {
      return false;
    }
    const std::lock_guard lock(mutex_);
    decoded_ += static_cast<int64_t>(length);
    progress_.notify_all();
    if (stopping_) {
      return false;
    }
    bytes = bytes.subspan(length);
  }
  return true;
}

std::shared_ptr<decoded_archive> decoded_file(const std::string& path) {
  const int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return nullptr;
  }
  return find_or_start(identity_of(fd, status), fd, {}, path);
}

std::shared_ptr<decoded_archive> decoded_memory(std::span<const uint8_t> bytes) {
  const file_identity identity{.size = static_cast<int64_t>(bytes.size()), .memory = bytes.data()};
  return find_or_start(identity, -1, bytes, {});
}

void set_memory_window_for_tests(int64_t bytes) {
  memory_window.store(bytes);
}

}  // namespace archive_store
