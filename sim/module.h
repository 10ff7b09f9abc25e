#pragma once
// One simulated module: its presence on the bus, the boot ROM it answers with in hardware mode,
// the flash bootloader it runs in software mode, its flash, and the faults and timing its
// configuration asks for. Every public operation is thread-safe.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/boot_rom.h"
#include "sim/flash_bootloader.h"
#include "sim/flash_store.h"
#include "sim/module_config.h"
#include "sim/module_host.h"
#include "usb/bus.h"

namespace sim {

enum class Mode { Hardware, Software };

inline constexpr uint16_t kSoftwareModePid = 0x4250;
inline constexpr uint8_t kEndpointOut = 0x01;
inline constexpr uint8_t kEndpointIn = 0x81;
inline constexpr size_t kDeviceDescriptorSize = 18;
// Response signature of a module under the BadSignature fault ("NACK" on the wire).
inline constexpr uint32_t kBadResponseSignature = 0x4B43414E;

struct Presence {
  bool attached = false;
  Mode mode = Mode::Hardware;
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint64_t generation = 0;  // changes whenever the module leaves or arrives
};

// One control transfer as the module saw it.
struct ControlRecord {
  usb::SetupPacket setup{};
  std::array<uint8_t, kDeviceDescriptorSize> data{};  // data stage: sent, or returned (first bytes)
  uint8_t length = 0;                                 // bytes of `data` that are valid
  int result = 0;                                     // what control() returned
};

// One block written to the flash bootloader and how it was answered.
struct BlockRecord {
  BlockKind kind = BlockKind::Malformed;
  uint32_t command_id = 0;  // for BlockKind::Command
  size_t length = 0;
  std::optional<uint32_t> status;  // nothing: the module never answered (hang, unplug)
};

class Module : public std::enable_shared_from_this<Module> {
 public:
  // Throws std::invalid_argument for a platform or revision the product table does not know.
  Module(ModuleConfig config, ModuleHost& host);

  const ModuleConfig& config() const { return config_; }
  Presence presence() const;

  // Bus side.
  void plug_in();  // power on in hardware mode (fresh boot ROM); nothing if already on the bus
  void pull_out();
  void come_back(uint64_t power_epoch);  // arrival in software mode after the jump
  void disconnect_host();                // the bus is going away: stop calling it, end all waits

  // Device side, through a handle opened while the module had presence `generation`. A control
  // request submitted ahead (`submitted`, earlier than now) has its latency counted from then,
  // or from when the module finished the one before, whichever is later.
  int control(uint64_t generation, const usb::SetupPacket& setup, std::span<uint8_t> data,
              unsigned timeout_ms,
              std::chrono::steady_clock::time_point submitted = std::chrono::steady_clock::now());
  std::vector<uint8_t> endpoints(uint64_t generation) const;
  int bulk(uint64_t generation, uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms,
           size_t& moved);

  // Inspection.
  std::vector<ControlRecord> control_log() const;  // empty unless config().record_traffic
  std::vector<BlockRecord> block_log() const;
  FlashContents flash() const;
  uint32_t peek(uint32_t address) const;  // the boot ROM's view; 0 before the first power-on
  DownloadedBootloader downloaded_bootloader() const;
  uint32_t arrivals() const;  // how often the module arrived on the bus

 private:
  using Clock = std::chrono::steady_clock;
  using Lock = std::unique_lock<std::mutex>;

  struct FaultState {
    Fault fault;
    uint32_t matches = 0;  // selected blocks seen so far
    bool fired = false;
  };
  struct PendingResponse {
    std::array<uint8_t, kResponseSize> bytes{};
    size_t sent = 0;
    Clock::time_point ready_at;
    bool leave_after = false;  // the module reboots once the host has read this
  };
  // What the faults make of one block written to the bootloader.
  struct BlockFaults {
    bool unplug = false;
    bool hang = false;
    std::optional<uint32_t> status;
    bool bad_signature = false;
  };

  bool connected(uint64_t generation) const;
  // Spends the time a transfer takes on the wire, but no longer than its time limit (0: none).
  // kOk once it has passed, kTimeout when the limit ran out first, kDisconnected when the
  // handle died meanwhile.
  // The time is charged to modelled_busy_ms. `from` is when the transfer reached the module.
  int take_time(Lock& lock, uint64_t generation, Clock::duration duration, unsigned timeout_ms,
                Clock::time_point from = Clock::now());
  // A transfer to a module that stopped answering: kTimeout, or kDisconnected if it leaves.
  int wait_hung(Lock& lock, uint64_t generation, unsigned timeout_ms);
  int vendor_request(const usb::SetupPacket& setup, std::span<uint8_t> data);
  int descriptor_request(const usb::SetupPacket& setup, std::span<uint8_t> data) const;
  int bulk_out(std::span<const uint8_t> block, size_t& moved);
  int bulk_in(Lock& lock, uint64_t generation, std::span<uint8_t> data, unsigned timeout_ms,
              size_t& moved);
  void leave_bus();
  // Puts the bootloader download so far into the flash store (and module.json).
  void record_download();
  void start_bootloader();
  void log_control(const usb::SetupPacket& setup, std::span<const uint8_t> data, int result);
  BootRomSettings boot_rom_settings() const;

  // Fault injection (module_faults.cpp): whether the configuration has a fault of this kind;
  // whether one of this kind fires at the current boot-ROM request; what the faults make of one
  // block written to the bootloader.
  bool configured(Fault::Kind kind) const;
  bool control_fault_fires(Fault::Kind kind);
  BlockFaults block_faults(const BlockHead& head, bool crosses_image_bytes);

  const ModuleConfig config_;
  const uint16_t hardware_pid_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  ModuleHost* host_;
  bool attached_ = false;
  Mode mode_ = Mode::Hardware;
  uint64_t generation_ = 0;
  uint64_t power_epoch_ = 0;  // changes at every plug-in and pull-out
  uint32_t arrivals_ = 0;
  std::optional<BootRom> boot_rom_;
  FlashStore store_;
  FlashBootloader bootloader_;
  std::vector<FaultState> faults_;
  uint32_t vendor_requests_ = 0;  // since power-on
  uint64_t image_bytes_ = 0;      // raw image data received
  Clock::time_point free_at_;     // when the module is done with the transfers it has taken
  bool hung_ = false;
  size_t response_piece_ = kResponseSize;
  std::deque<PendingResponse> responses_;
  std::vector<ControlRecord> control_log_;
  std::vector<BlockRecord> block_log_;
};

}  // namespace sim
