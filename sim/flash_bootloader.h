#pragma once
// The flash bootloader as the host sees it in software mode: every block written to endpoint
// 0x01 is a command block or raw image data, and each is answered with a status word. It is
// strict on purpose: anything a real bootloader would refuse is refused here, so that a wrong
// byte in the host shows up as a failed exchange.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/flash_store.h"

namespace sim {

inline constexpr uint32_t kCommandSignature = 0x4B434D44;   // "DMCK" on the wire
inline constexpr uint32_t kResponseSignature = 0x4B525350;  // "PSRK" on the wire
inline constexpr size_t kResponseSize = 16;

inline constexpr uint32_t kCommandPartitionDetails = 1;
inline constexpr uint32_t kCommandImageHeader = 2;
inline constexpr uint32_t kCommandBlockHeader = 3;
inline constexpr uint32_t kCommandErasePartition = 4;
inline constexpr uint32_t kCommandPtbWrite = 5;
inline constexpr uint32_t kCommandReboot = 6;
inline constexpr uint32_t kCommandDeviceId = 7;
inline constexpr uint32_t kCommandSignatureBlock = 8;

inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusInvalidParameter = 1;
inline constexpr uint32_t kStatusOverflow = 2;
inline constexpr uint32_t kStatusPtbDetails = 3;
inline constexpr uint32_t kStatusSizeInvalid = 4;
inline constexpr uint32_t kStatusCrc = 5;
inline constexpr uint32_t kStatusInvalidSetup = 6;
inline constexpr uint32_t kStatusWriteFailed = 7;
inline constexpr uint32_t kStatusOutOfMemory = 8;
inline constexpr uint32_t kStatusSizeMismatch = 9;
inline constexpr uint32_t kStatusEraseFailed = 10;

// The largest data block the bootloader can take in one piece (its receive buffer).
inline constexpr uint32_t kReceiveBufferSize = 0x204020;

// Sizes of the partitions whose size the layout does not set.
inline constexpr uint64_t kBootstrapPartitionSize = 256 * 1024;
inline constexpr uint64_t kBootloaderPartitionSize = 4 * 1024 * 1024;
inline constexpr uint64_t kOsloaderPartitionSize = 32 * 1024 * 1024;
inline constexpr uint64_t kMiscPartitionSize = 1024 * 1024;
inline constexpr uint64_t kMetaPartitionSize = 1024 * 1024;

enum class BlockKind { Command, Data, Malformed };

struct BlockHead {
  BlockKind kind = BlockKind::Malformed;
  uint32_t command_id = 0;  // for BlockKind::Command
};

class FlashBootloader {
 public:
  FlashBootloader(FlashStore& store, uint64_t flash_capacity);

  // How the bootloader will take `block`: raw data while an image block is announced, else a
  // command block when it carries the command signature.
  BlockHead classify(std::span<const uint8_t> block) const;
  // Handles one block; returns the status word of its response.
  uint32_t handle(std::span<const uint8_t> block);
  // Answers `block` with `status` without acting on it (an injected refusal); like every
  // refusal it abandons an image in progress.
  uint32_t refuse(std::span<const uint8_t> block, uint32_t status);
  // A power cycle: the exchange in progress and the layout are forgotten (flash stays).
  void reset();

 private:
  enum class Phase { Idle, AwaitData, AwaitBlockHeader };

  uint32_t dispatch(uint32_t id, std::span<const uint8_t> block);
  uint32_t partition_details(std::span<const uint8_t> block);
  uint32_t image_header(std::span<const uint8_t> block);
  uint32_t block_header(std::span<const uint8_t> block);
  uint32_t data_block(std::span<const uint8_t> block);
  uint32_t erase_partition(std::span<const uint8_t> block);
  uint32_t ptb_write();
  uint32_t reboot();
  uint32_t device_id(std::span<const uint8_t> block);
  uint32_t signature(std::span<const uint8_t> block);
  // Checks an announced block against the image still to come and takes it as the next one.
  uint32_t announce_block(uint32_t length, uint32_t end_marker, uint32_t crc);
  // Size of a partition of the layout; nothing for a name the layout does not have.
  std::optional<uint64_t> partition_size(const std::string& name) const;
  void record(uint32_t id);

  FlashStore& store_;
  uint64_t flash_capacity_;
  bool layout_set_ = false;
  bool images_started_ = false;
  Phase phase_ = Phase::Idle;
  std::string image_;  // device name of the image in progress
  uint32_t block_length_ = 0;
  uint32_t block_crc_ = 0;
  bool block_ends_image_ = false;
};

}  // namespace sim
