#pragma once
// The boot ROM of a module in hardware mode: vendor requests on endpoint 0 that write and read
// 32-bit registers and jump to an address, over a model of the parts of the chip that the host
// touches before the flash bootloader runs.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "sim/flash_store.h"
#include "usb/bus.h"

namespace sim {

// Memory that receives the flash bootloader, from address 0.
inline constexpr uint32_t kRamWindowSize = 0x01000000;
// DRAM controller: a write starts an operation that keeps its status registers busy (every bit
// set) for kDramBusyReads reads; when idle they read 0.
inline constexpr uint32_t kDramControllerBase = 0xDFFE0000;
inline constexpr uint32_t kDramControllerEnd = 0xDFFF0000;
inline constexpr int kDramBusyReads = 3;
// ADC of the revision probe.
inline constexpr uint32_t kAdcStatus = 0xE801D000;
inline constexpr uint32_t kAdcControl = 0xE801D004;
inline constexpr uint32_t kAdcChannelMask = 0xE801D100;
inline constexpr uint32_t kAdcData0 = 0xE801D150;
inline constexpr uint32_t kAdcChannels = 12;
inline constexpr uint32_t kAdcMeasuredChannel = 3;
inline constexpr uint32_t kAdcPowerBits = 0x7;  // power-up and both enable bits
inline constexpr uint32_t kAdcStartBit = 0x8;
inline constexpr uint32_t kAdcDoneBit = 0x1;
inline constexpr int kAdcConversionReads = 2;  // status reads until a conversion is done

inline constexpr uint32_t kOpcodeWrite = 0x30000000;
inline constexpr uint32_t kOpcodeJump = 0x00010000;

struct BootRomSettings {
  uint32_t adc_reading = 0;  // what the measured ADC channel converts to
  uint32_t bootloader_size = 0;
  std::optional<std::array<uint8_t, 32>> bootloader_sha256;
  bool poll_never_ready = false;
  bool adc_never_done = false;
};

class BootRom {
 public:
  explicit BootRom(BootRomSettings settings);

  enum class Outcome {
    Completed,        // the request was carried out; `length` data bytes moved
    Stalled,          // the request was refused (a USB stall)
    IgnoredJump,      // a jump the ROM does not follow (elsewhere, or an incomplete image)
    StartBootloader,  // a jump to a complete flash bootloader: the module leaves the bus
  };
  struct Reply {
    Outcome outcome = Outcome::Stalled;
    int length = 0;
  };

  // One vendor request (bmRequestType 0x40 or 0xC0, bRequest 0) with its data stage.
  Reply vendor_request(const usb::SetupPacket& setup, std::span<uint8_t> data);

  // The value last written to `address` (RAM, or any register), without side effects.
  uint32_t peek(uint32_t address) const;
  // The bytes written from address 0 on without a gap, and their SHA-256.
  DownloadedBootloader downloaded() const;
  const HardwareModeLog& hardware_mode() const { return log_; }

 private:
  Reply write_request(std::span<const uint8_t> data);
  Reply read_request(const usb::SetupPacket& setup, std::span<uint8_t> data);
  void write(uint32_t address, uint32_t value);
  void log_access(bool write, uint32_t address, uint32_t value);
  uint32_t read(uint32_t address);
  void write_adc_control(uint32_t value);
  uint32_t read_adc_status();
  bool bootloader_complete() const;
  std::vector<uint8_t> downloaded_bytes() const;

  BootRomSettings settings_;
  uint32_t ram_word(size_t word) const;

  std::vector<uint32_t> ram_;  // the words written from address 0 on without a gap
  // Words written past a gap, until the gap is filled: a stray write high in the window then
  // costs one entry instead of the whole window's worth of zeros.
  std::map<size_t, uint32_t> ram_past_gap_;
  std::unordered_map<uint32_t, uint32_t> registers_;
  int dram_busy_reads_ = 0;
  bool adc_converting_ = false;
  bool adc_done_ = false;
  int adc_reads_left_ = 0;
  HardwareModeLog log_;
};

}  // namespace sim
