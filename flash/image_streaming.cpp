#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "common/console.h"
#include "digest/crc32.h"
#include "digest/sha256.h"
#include "firmware/archive.h"
#include "firmware/image_patching.h"
#include "flash/command_block.h"
#include "flash/session_context.h"
#include "usb/device_manager.h"

namespace {

// One block on the wire; 2 MiB plus 16416 bytes is what the flash bootloader takes at once.
constexpr size_t TRANSFER_BUFFER_SIZE = 2113568;

constexpr size_t IMAGE_HEADER_LENGTH = 52;
constexpr size_t BLOCK_HEADER_LENGTH = 24;
constexpr size_t SIGNATURE_BLOCK_LENGTH = 272;
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

// Streams one partition image: gathers archive pieces into the transfer buffer and sends each
// full buffer (or the image's last one) patched, checksummed and announced by its header.
class image_stream {
 public:
  image_stream(flash_session& session, const streamed_partition& partition,
               kavro_archive_t** archive, uint32_t hw_version, int64_t size, uint32_t load_address,
               uint8_t* buffer)
      : session_(session),
        partition_(partition),
        archive_(archive),
        hw_version_(hw_version),
        size_(size),
        buffer_(buffer),
        image_header_(SW_CMD_IMAGE_HEADER),
        block_header_(SW_CMD_BLOCK_HEADER) {
    image_header_.put_name(8, partition.device_name);
    image_header_.put_u64_high_first(16, static_cast<uint64_t>(size));
    image_header_.put_u32(40, load_address);
    sha256_init(&digest_);
  }

  // Reads the image from the archive and sends it; stops early, between pieces, when the
  // session is asked to stop. 0, or -1 with the error recorded.
  int run() {
    while (sent_ < size_ && !session_.stop.requested()) {
      const void* piece = nullptr;
      size_t length = 0;
      int64_t offset = 0;
      const int result = kavro_archive_extract_block(archive_, &piece, &length, &offset);
      if (result != 0 || length == 0) {
        record_error(session_, FLASH_ERR_ARCHIVE, result);
        return -1;
      }
      if (take_piece({static_cast<const uint8_t*>(piece), length}) != 0) {
        return -1;
      }
    }
    return 0;
  }

  void finish_digest(std::span<uint8_t, IMAGE_DIGEST_SIZE> digest) {
    sha256_final(&digest_, digest.data());
  }

 private:
  int64_t pending_end() const { return sent_ + static_cast<int64_t>(fill_); }

  // Copies the piece into the buffer, sending the buffer whenever it is full or completes the
  // image. Bytes beyond the image's recorded size are not part of the image and are dropped.
  int take_piece(std::span<const uint8_t> piece) {
    while (!piece.empty() && pending_end() < size_) {
      const size_t room = std::min<uint64_t>(TRANSFER_BUFFER_SIZE - fill_,
                                             static_cast<uint64_t>(size_ - pending_end()));
      const size_t take = std::min(room, piece.size());
      std::memcpy(buffer_ + fill_, piece.data(), take);
      fill_ += take;
      piece = piece.subspan(take);
      if (fill_ == TRANSFER_BUFFER_SIZE || pending_end() == size_) {
        if (send_buffer() != 0) {
          return -1;
        }
      }
    }
    return 0;
  }

  int send_buffer() {
    const int patched = kavro_param_update_firmware_block(
        *archive_, session_.settings, hw_version_, partition_.identifier,
        session_.public_key.data(), sent_, buffer_, static_cast<int64_t>(fill_));
    if (patched != 0) {
      record_error(session_, FLASH_ERR_PARAMETER_UPDATE, patched);
      return -1;
    }
    add_to_digest();
    const uint32_t crc = crc32_internal(buffer_, fill_);
    const uint32_t last = pending_end() >= size_ ? 1 : 0;
    if (send_header(crc, last) != 0 ||
        exchange_command(session_, {buffer_, fill_}, IMAGE_TRANSFER_TIMEOUT_MS) != 0) {
      return -1;
    }
    update_firmware_flash_percent(session_, fill_);
    sent_ += static_cast<int64_t>(fill_);
    fill_ = 0;
    return 0;
  }

  void add_to_digest() {
    int64_t digested = static_cast<int64_t>(fill_);
    if (pending_end() > size_ - UNDIGESTED_TAIL) {
      digested = size_ - UNDIGESTED_TAIL - sent_;
    }
    if (digested > 0) {
      sha256_update(&digest_, buffer_, static_cast<uint64_t>(digested));
    }
  }

  int send_header(uint32_t crc, uint32_t last) {
    const auto length = static_cast<uint32_t>(fill_);
    if (sent_ == 0) {
      image_header_.put_u32(24, length);
      image_header_.put_u32(32, last);
      image_header_.put_u32(36, crc);
      return exchange_command(session_, image_header_.bytes(), IMAGE_TRANSFER_TIMEOUT_MS);
    }
    block_header_.put_u32(8, length);
    block_header_.put_u32(16, last);
    block_header_.put_u32(20, crc);
    return exchange_command(session_, block_header_.bytes(), IMAGE_TRANSFER_TIMEOUT_MS);
  }

  flash_session& session_;
  const streamed_partition& partition_;
  kavro_archive_t** archive_;
  uint32_t hw_version_;
  int64_t size_;
  uint8_t* buffer_;
  int64_t sent_ = 0;
  size_t fill_ = 0;
  sha256_ctx digest_;
  command_block<IMAGE_HEADER_LENGTH> image_header_;
  command_block<BLOCK_HEADER_LENGTH> block_header_;
};

// Bits 31 to 0 of a positive load address; 0 for none.
uint32_t wire_load_address(int64_t load_address) {
  return load_address > 0 ? static_cast<uint32_t>(load_address) : 0;
}

int sign_and_send(flash_session& session, const streamed_partition& partition,
                  std::span<const uint8_t, IMAGE_DIGEST_SIZE> digest) {
  std::array<uint8_t, IMAGE_SIGNATURE_SIZE> signature{};
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
  const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[TRANSFER_BUFFER_SIZE]);
  if (!buffer) {
    record_error(session, FLASH_ERR_NO_MEMORY, 0);
    return -1;
  }
  std::array<uint8_t, IMAGE_DIGEST_SIZE> digest{};
  {
    image_stream stream(session, *partition, archive, hw_version, size, load_address, buffer.get());
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
                   std::span<const uint8_t, IMAGE_SIGNATURE_SIZE> signature) {
  command_block<SIGNATURE_BLOCK_LENGTH> block(SW_CMD_SIGNATURE);
  block.put_name(8, device_name);
  block.put_bytes(16, signature);
  return exchange_command(session, block.bytes(), IMAGE_TRANSFER_TIMEOUT_MS);
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
  debug(" %d%% done \r", static_cast<int>(percent));
  flush_progress();
}
