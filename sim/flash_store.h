#pragma once
// What a simulated module has been told and has written to its flash, kept in memory and, when
// the module has a flash_dir, mirrored to disk as the flash bootloader receives it: one file
// per image (<device name>.bin, exactly the bytes received) and module.json.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct CustomPartition {
  std::string name;
  uint64_t maxsize = 0;
};

struct PartitionDetails {
  uint32_t ota_enabled = 0;
  uint64_t kernel_maxsize = 0;
  uint64_t rootfs_maxsize = 0;
  std::vector<CustomPartition> custom;
  uint32_t move_calib = 0;
};

inline constexpr size_t kImageSignatureSize = 256;

struct StoredImage {
  uint64_t size = 0;  // as announced by the image header
  uint32_t load_address = 0;
  uint32_t blocks = 0;    // data blocks accepted
  uint64_t received = 0;  // bytes accepted
  std::optional<std::array<uint8_t, kImageSignatureSize>> signature;
  std::vector<uint8_t> bytes;  // the bytes accepted, when the module keeps them in memory

  bool complete() const { return received == size; }
};

// The flash bootloader as downloaded through the boot ROM: the bytes written from address 0
// on without a gap, and their SHA-256 in lowercase hex.
struct DownloadedBootloader {
  uint64_t bytes = 0;
  std::string sha256;
};

// What the boot ROM served: register writes and reads in order (a run of reads of one address
// giving one value, as a poll makes, is one entry with its count), how many words went into the
// bootloader's memory, and where the host jumped last.
struct RegisterAccess {
  bool write = false;
  uint32_t address = 0;
  uint32_t value = 0;
  uint32_t count = 1;
};

struct HardwareModeLog {
  std::vector<RegisterAccess> registers;
  uint64_t download_writes = 0;
  std::optional<uint32_t> jump_address;
};

struct FlashContents {
  std::vector<uint32_t> commands;  // every command id received, in order
  std::optional<PartitionDetails> partition_details;
  std::map<std::string, StoredImage> images;  // by device partition name
  std::vector<std::string> erased;            // device partition names, in order
  std::optional<uint32_t> device_id;
  bool ptb_written = false;
  bool rebooted = false;
  DownloadedBootloader bootloader;
  HardwareModeLog hardware_mode;
  // Control latency, bulk and flash-write time the timing model charged, in microseconds.
  std::chrono::microseconds modelled_busy{0};
};

class FlashStore {
 public:
  // An empty `flash_dir` keeps everything in memory only.
  FlashStore(std::string port, std::string platform, std::filesystem::path flash_dir,
             bool keep_image_bytes);

  const FlashContents& contents() const { return contents_; }

  void record_command(uint32_t id);
  void set_partition_details(PartitionDetails details);
  // The writers below return false when the copy in flash_dir could not be written.
  bool begin_image(const std::string& name, uint64_t size, uint32_t load_address);
  bool append_image(const std::string& name, std::span<const uint8_t> data);
  void set_signature(const std::string& name,
                     std::span<const uint8_t, kImageSignatureSize> signature);
  bool erase(const std::string& name);
  void set_device_id(uint32_t id);
  void set_ptb_written();
  void set_rebooted();
  void set_bootloader(DownloadedBootloader bootloader);
  void set_hardware_mode(HardwareModeLog log);
  void add_busy_time(std::chrono::steady_clock::duration time);
  // Rewrites module.json (atomically, through a rename); true without a flash_dir.
  bool save() const;

 private:
  std::filesystem::path image_path(const std::string& name) const;

  std::string port_;
  std::string platform_;
  std::filesystem::path flash_dir_;
  bool keep_image_bytes_;
  FlashContents contents_;
};

}  // namespace sim
