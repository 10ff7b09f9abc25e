// Streams partition images from the archives into the module: blocks patched, checksummed and
// digested on the way, each announced by its header, and the session's signature after them.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <new>

#include "common/console.h"
#include "digest/crc32.h"
#include "digest/sha256.h"
#include "firmware/archive.h"
#include "firmware/image_patching.h"
#include "flash/session_context.h"
#include "flash/software_protocol.h"

namespace {

// One block on the wire: as much as the flash bootloader takes at once.
constexpr size_t TRANSFER_BUFFER_SIZE = SW_MAX_DATA_BLOCK_LENGTH;

constexpr uint32_t IMAGE_TRANSFER_TIMEOUT_MS = 5000;

// The last 256 bytes of an image hold its signature area and stay out of the digest.
constexpr int64_t UNDIGESTED_TAIL = 256;

struct streamed_partition {
  std::string_view name;
  int identifier;
  std::string_view device_name;
  bool from_ota_archive;  // when the session has an OTA archive
  bool signed_by_session;
};

constexpr std::array<streamed_partition, 7> streamed_partitions{{
    {"bootstrap", PART_BOOTSTRAP, "bst", false, true},
    {"bootloader", PART_BOOTLOADER, "bld", false, true},
    {"osloader", PART_OSLOADER, "bda", true, false},
    {"misc", PART_MISC, "msc", false, false},
    {"meta", PART_META, "mta", true, false},
    {"kernel", PART_KERNEL, "kna", true, false},
    {"rootfs", PART_ROOTFS, "rfa", true, false},
}};

// A name is recognised by the known name it begins with.
const streamed_partition* find_partition(std::string_view name) {
  for (const auto& partition : streamed_partitions) {
    if (name.substr(0, partition.name.size()) == partition.name) {
      return &partition;
    }
  }
  return nullptr;
}

kavro_archive_t** source_archive(flash_session& session, bool from_ota_archive, uint32_t use_ota) {
  return from_ota_archive && use_ota != 0 ? &session.ota_archive : &session.base_archive;
}

// A second transfer buffer costs 2 MiB. With more streams than this at once the host's cores are
// busy anyway, so the others prepare each block after sending the one before, in one buffer.
constexpr int PREFETCHING_STREAMS = 16;
std::atomic<int> prefetching_streams{0};

// A stream's claim on preparing ahead, held for as long as the stream runs.
class prefetch_slot {
 public:
  prefetch_slot() : held_(prefetching_streams.fetch_add(1) < PREFETCHING_STREAMS) {
    if (!held_) {
      prefetching_streams.fetch_sub(1);
    }
  }
  prefetch_slot(const prefetch_slot&) = delete;
  prefetch_slot& operator=(const prefetch_slot&) = delete;
  ~prefetch_slot() {
    if (held_) {
      prefetching_streams.fetch_sub(1);
    }
  }
  bool held() const { return held_; }

 private:
  bool held_;
};

// One transfer buffer's worth of an image, copied out of the archive, patched and checksummed:
// ready to go on the wire. `error` is the session error when that failed; an empty block with
// no error means the session was asked to stop.
struct prepared_block {
  uint8_t* bytes = nullptr;
  size_t fill = 0;
  uint32_t crc = 0;
  int error = 0;
  int sub_error = 0;
};

// Streams one partition image. While the module takes one block, the next one is prepared on a
// helper thread in the other buffer (when the stream has one), so the session thread only sends
// and waits.
class image_stream {
 public:
  image_stream(flash_session& session, const streamed_partition& partition,
               kavro_archive_t** archive, uint32_t hw_version, int64_t size, uint32_t load_address)
      : session_(session),
        partition_(partition),
        archive_(archive),
        hw_version_(hw_version),
        size_(size),
        load_address_(load_address) {
    sha256_init(&digest_);
  }

  // Reads the image from the archive and sends it; stops early, between pieces, when the
  // session is asked to stop. 0, or -1 with the error recorded.
  int run() {
    const prefetch_slot prefetch;
    std::array<std::unique_ptr<uint8_t[]>, 2> buffers;
    // An image that fits one block needs no second buffer, nor more room than its own size.
    const bool fits = size_ <= static_cast<int64_t>(TRANSFER_BUFFER_SIZE);
    const size_t wanted = prefetch.held() && !fits ? 2 : 1;
    const size_t capacity = fits ? static_cast<size_t>(size_) : TRANSFER_BUFFER_SIZE;
    for (size_t i = 0; i < wanted; ++i) {
      buffers[i].reset(new (std::nothrow) uint8_t[capacity]);
      if (!buffers[i]) {
        record_error(session_, FLASH_ERR_NO_MEMORY, 0);
        return -1;
      }
    }
    size_t current = 0;
    prepared_block block = prepare(buffers[current].get());
    while (block.error == 0 && block.fill > 0) {
      std::future<prepared_block> next;
      if (prepared_ < size_ && buffers[1]) {
        current = 1 - current;
        next = std::async(std::launch::async, &image_stream::prepare, this, buffers[current].get());
      }
      if (send_block(block) != 0) {
        return -1;
      }
      // While the next block is being prepared, its thread owns prepared_.
      if (!next.valid() && prepared_ >= size_) {
        return 0;
      }
      block = next.valid() ? next.get() : prepare(buffers[current].get());
    }
    if (block.error != 0) {
      record_error(session_, block.error, block.sub_error);
      return -1;
    }
    return 0;
  }

  void finish_digest(std::span<uint8_t, IMAGE_DIGEST_SIZE> digest) {
    sha256_final(&digest_, digest.data());
  }

 private:
  // Fills `buffer` with the image's next block (a full buffer, or what is left of the image),
  // patched, added to the digest and checksummed. Bytes the archive delivers beyond the
  // image's recorded size are not part of the image and are dropped.
  prepared_block prepare(uint8_t* buffer) {
    prepared_block block{.bytes = buffer};
    const size_t wanted =
        std::min<uint64_t>(TRANSFER_BUFFER_SIZE, static_cast<uint64_t>(size_ - prepared_));
    while (block.fill < wanted) {
      if (piece_.empty()) {
        if (session_.stop.requested()) {
          return {};
        }
        const void* bytes = nullptr;
        size_t length = 0;
        int64_t offset = 0;
        const int result = kavro_archive_extract_block(archive_, &bytes, &length, &offset);
        if (result != 0 || length == 0) {
          return {.error = FLASH_ERR_ARCHIVE, .sub_error = result};
        }
        piece_ = {static_cast<const uint8_t*>(bytes), length};
      }
      const size_t take = std::min(wanted - block.fill, piece_.size());
      std::memcpy(buffer + block.fill, piece_.data(), take);
      block.fill += take;
      piece_ = piece_.subspan(take);
    }
    const int patched = kavro_param_update_firmware_block(
        *archive_, session_.settings, hw_version_, partition_.identifier,
        session_.public_key.data(), prepared_, buffer, static_cast<int64_t>(block.fill));
    if (patched != 0) {
      return {.error = FLASH_ERR_PARAMETER_UPDATE, .sub_error = patched};
    }
    add_to_digest(buffer, block.fill);
    block.crc = crc32_internal(buffer, block.fill);
    prepared_ += static_cast<int64_t>(block.fill);
    return block;
  }

  // The last 256 bytes of the image stay out of the digest.
  void add_to_digest(const uint8_t* buffer, size_t fill) {
    const int64_t digested =
        std::min(static_cast<int64_t>(fill), size_ - UNDIGESTED_TAIL - prepared_);
    if (digested > 0) {
      sha256_update(&digest_, buffer, static_cast<uint64_t>(digested));
    }
  }

  int send_block(const prepared_block& block) {
    const sw_data_block announced{.length = static_cast<uint32_t>(block.fill),
                                  .last = sent_ + static_cast<int64_t>(block.fill) >= size_,
                                  .crc = block.crc};
    if (send_header(announced) != 0 ||
        exchange_command(session_, {block.bytes, block.fill}, IMAGE_TRANSFER_TIMEOUT_MS) != 0) {
      return -1;
    }
    update_firmware_flash_percent(session_, block.fill);
    sent_ += static_cast<int64_t>(block.fill);
    return 0;
  }

  // The first block goes with the image header, every later one with a block header.
  int send_header(sw_data_block block) {
    if (sent_ == 0) {
      auto header = sw_image_header(partition_.device_name, static_cast<uint64_t>(size_), block,
                                    load_address_);
      return exchange_command(session_, header, IMAGE_TRANSFER_TIMEOUT_MS);
    }
    auto header = sw_block_header(block);
    return exchange_command(session_, header, IMAGE_TRANSFER_TIMEOUT_MS);
  }

  flash_session& session_;
  const streamed_partition& partition_;
  kavro_archive_t** archive_;
  uint32_t hw_version_;
  int64_t size_;
  uint32_t load_address_;
  // Touched by whichever thread prepares the next block; handed over through its future.
  int64_t prepared_ = 0;
  std::span<const uint8_t> piece_;  // what is left of the archive's last block
  sha256_ctx digest_;
  // Touched by the session thread only.
  int64_t sent_ = 0;
};

// Bits 31 to 0 of a positive load address; 0 for none.
uint32_t wire_load_address(int64_t load_address) {
  return load_address > 0 ? static_cast<uint32_t>(load_address) : 0;
}

int sign_and_send(flash_session& session, const streamed_partition& partition,
                  std::span<const uint8_t, IMAGE_DIGEST_SIZE> digest) {
  std::array<uint8_t, SW_SIGNATURE_FIELD_LENGTH> signature{};
  if (!sign_image_digest(*session.private_key, digest, signature)) {
    debug("Error generating signature\n");
    record_error(session, FLASH_ERR_SIGNATURE, 0);
    return -1;
  }
  return send_signature(session, partition.device_name, signature);
}

}  // namespace

int send_firmware_file(flash_session& session, std::string_view name, uint32_t use_ota,
                       uint32_t hw_version) {
  const streamed_partition* partition = find_partition(name);
  if (partition == nullptr) {
    record_error(session, FLASH_ERR_INVALID_PARAMETERS, 0);
    return -1;
  }
  kavro_archive_t** archive = source_archive(session, partition->from_ota_archive, use_ota);
  if (kavro_archive_contains_partition(archive, partition->identifier) != 1) {
    record_error(session, FLASH_ERR_MISSING_PARTITION, 0);
    return -1;
  }
  const int64_t size =
      kavro_archive_get_partition_param(archive, partition->identifier, PARAM_SIZE);
  if (size <= 0) {
    record_error(session, FLASH_ERR_INVALID_FILE_SIZE, 0);
    return -1;
  }
  const uint32_t load_address = wire_load_address(
      kavro_archive_get_partition_param(archive, partition->identifier, PARAM_LOAD_ADDRESS));
  const int positioned = kavro_archive_extract_setup(archive, partition->identifier);
  if (positioned != 0) {
    record_error(session, FLASH_ERR_ARCHIVE, positioned);
    return -1;
  }
  std::array<uint8_t, IMAGE_DIGEST_SIZE> digest{};
  {
    image_stream stream(session, *partition, archive, hw_version, size, load_address);
    if (stream.run() != 0) {
      return -1;
    }
    stream.finish_digest(digest);
  }
  if (!session.private_key || !partition->signed_by_session) {
    return 0;
  }
  return sign_and_send(session, *partition, digest);
}

int send_signature(flash_session& session, std::string_view device_name,
                   std::span<const uint8_t, SW_SIGNATURE_FIELD_LENGTH> signature) {
  auto block = sw_signature(device_name, signature);
  return exchange_command(session, block, IMAGE_TRANSFER_TIMEOUT_MS);
}

int get_full_firmware_size(flash_session& session, uint64_t& total, uint32_t use_ota) {
  // The order in which sizes are totalled decides which failure is reported first.
  constexpr std::array<std::string_view, 7> counted{"bootstrap", "bootloader", "misc",  "meta",
                                                    "osloader",  "kernel",     "rootfs"};
  for (const std::string_view name : counted) {
    const streamed_partition& partition = *find_partition(name);
    const int64_t size = kavro_archive_get_partition_param(
        source_archive(session, partition.from_ota_archive, use_ota), partition.identifier,
        PARAM_SIZE);
    if (size < 0) {
      record_error(session, FLASH_ERR_ARCHIVE, static_cast<int>(size));
      return -1;
    }
    total += static_cast<uint64_t>(size);
  }
  return 0;
}

void update_firmware_flash_percent(flash_session& session, uint64_t bytes) {
  session.bytes_sent += bytes;
  const auto percent = static_cast<int64_t>(session.bytes_sent) * 100 /
                       static_cast<int64_t>(session.full_firmware_size);
  set_progress(session, static_cast<uint32_t>(percent));
  show_progress(" %d%% done \r", static_cast<int>(percent));
}
