// The boot ROM model: vendor requests on endpoint 0, its registers and the bootloader download.

#include "sim/boot_rom.h"

#include <algorithm>

#include "digest/sha256.h"
#include "sim/hex.h"
#include "sim/wire.h"

namespace sim {
namespace {

constexpr uint8_t kRequestOut = 0x40;
constexpr uint8_t kRequestIn = 0xC0;
constexpr uint16_t kWriteLength = 12;
constexpr uint16_t kReadLength = 4;
constexpr uint32_t kAllBitsSet = 0xFFFFFFFF;

bool in_dram_controller(uint32_t address) {
  return address >= kDramControllerBase && address < kDramControllerEnd;
}

std::array<uint8_t, 32> sha256_of(std::span<const uint8_t> bytes) {
  sha256_ctx context{};
  std::array<uint8_t, 32> digest{};
  sha256_init(&context);
  sha256_update(&context, bytes.data(), bytes.size());
  sha256_final(&context, digest.data());
  return digest;
}

}  // namespace

BootRom::BootRom(BootRomSettings settings) : settings_(settings) {}

BootRom::Reply BootRom::vendor_request(const usb::SetupPacket& setup, std::span<uint8_t> data) {
  if (setup.bRequest != 0 || data.size() != setup.wLength) {
    return {};
  }
  if (setup.bmRequestType == kRequestOut && setup.wValue == 0 && setup.wIndex == 0 &&
      setup.wLength == kWriteLength) {
    return write_request(data);
  }
  if (setup.bmRequestType == kRequestIn && setup.wLength == kReadLength) {
    return read_request(setup, data);
  }
  return {};
}

BootRom::Reply BootRom::write_request(std::span<const uint8_t> data) {
  const uint32_t opcode = wire::load_le32(data, 0);
  const uint32_t address = wire::load_le32(data, 4);
  const uint32_t value = wire::load_le32(data, 8);
  if (opcode == kOpcodeWrite) {
    if (address % 4 != 0) {
      return {};  // the bus only takes aligned words
    }
    write(address, value);
    return {Outcome::Completed, kWriteLength};
  }
  if (opcode == kOpcodeJump && value == 0) {
    log_.jump_address = address;
    // A jump anywhere else, or into an incomplete image, is ignored by the ROM.
    const bool starts = address == 0 && bootloader_complete();
    return {starts ? Outcome::StartBootloader : Outcome::IgnoredJump, kWriteLength};
  }
  return {};
}

BootRom::Reply BootRom::read_request(const usb::SetupPacket& setup, std::span<uint8_t> data) {
  const uint32_t address = static_cast<uint32_t>(setup.wValue) << 16 | setup.wIndex;
  if (address % 4 != 0) {
    return {};
  }
  const uint32_t value = read(address);
  if (address >= kRamWindowSize) {
    log_access(false, address, value);
  }
  wire::store_le32(data, 0, value);
  return {Outcome::Completed, kReadLength};
}

void BootRom::log_access(bool write, uint32_t address, uint32_t value) {
  if (!log_.registers.empty()) {
    RegisterAccess& last = log_.registers.back();
    if (!write && !last.write && last.address == address && last.value == value) {
      ++last.count;
      return;
    }
  }
  log_.registers.push_back({write, address, value, 1});
}

void BootRom::write(uint32_t address, uint32_t value) {
  if (address < kRamWindowSize) {
    ++log_.download_writes;
    const size_t word = address / 4;
    if (word < ram_.size()) {
      ram_[word] = value;
    } else if (word > ram_.size()) {
      ram_past_gap_[word] = value;
    } else {
      ram_.push_back(value);
      for (auto next = ram_past_gap_.begin();
           next != ram_past_gap_.end() && next->first == ram_.size();
           next = ram_past_gap_.erase(next)) {
        ram_.push_back(next->second);
      }
    }
    return;
  }
  log_access(true, address, value);
  if (address == kAdcStatus) {
    return;  // read-only
  }
  registers_[address] = value;
  if (in_dram_controller(address)) {
    dram_busy_reads_ = kDramBusyReads;
  } else if (address == kAdcControl) {
    write_adc_control(value);
  }
}

uint32_t BootRom::read(uint32_t address) {
  if (address < kRamWindowSize) {
    return ram_word(address / 4);
  }
  if (in_dram_controller(address)) {
    if (settings_.poll_never_ready) {
      return kAllBitsSet;
    }
    if (dram_busy_reads_ > 0) {
      --dram_busy_reads_;
      return kAllBitsSet;
    }
    return 0;
  }
  if (address == kAdcStatus) {
    return read_adc_status();
  }
  const auto found = registers_.find(address);
  return found == registers_.end() ? 0 : found->second;
}

void BootRom::write_adc_control(uint32_t value) {
  if ((value & kAdcStartBit) == 0) {
    return;
  }
  adc_done_ = false;
  // Without power, both enables and the measured channel selected, nothing converts and the
  // done bit never comes.
  const bool channel_selected = (registers_[kAdcChannelMask] >> kAdcMeasuredChannel) & 1;
  adc_converting_ = (value & kAdcPowerBits) == kAdcPowerBits && channel_selected;
  adc_reads_left_ = kAdcConversionReads;
}

uint32_t BootRom::read_adc_status() {
  if (adc_converting_ && !settings_.adc_never_done && --adc_reads_left_ <= 0) {
    adc_converting_ = false;
    adc_done_ = true;
    const uint32_t mask = registers_[kAdcChannelMask];
    for (uint32_t channel = 0; channel < kAdcChannels; ++channel) {
      if ((mask >> channel) & 1) {
        registers_[kAdcData0 + 4 * channel] =
            channel == kAdcMeasuredChannel ? settings_.adc_reading : 0;
      }
    }
    registers_[kAdcControl] &= ~kAdcStartBit;
  }
  return adc_done_ ? kAdcDoneBit : 0;
}

bool BootRom::bootloader_complete() const {
  if (uint64_t{ram_.size()} * 4 != settings_.bootloader_size) {
    return false;
  }
  return !settings_.bootloader_sha256 ||
         sha256_of(downloaded_bytes()) == *settings_.bootloader_sha256;
}

std::vector<uint8_t> BootRom::downloaded_bytes() const {
  std::vector<uint8_t> bytes(ram_.size() * 4);
  for (size_t word = 0; word < ram_.size(); ++word) {
    wire::store_le32(bytes, word * 4, ram_[word]);
  }
  return bytes;
}

uint32_t BootRom::ram_word(size_t word) const {
  if (word < ram_.size()) {
    return ram_[word];
  }
  const auto stored = ram_past_gap_.find(word);
  return stored == ram_past_gap_.end() ? 0 : stored->second;
}

uint32_t BootRom::peek(uint32_t address) const {
  if (address < kRamWindowSize) {
    return ram_word(address / 4);
  }
  if (address == kAdcStatus) {
    return adc_done_ ? kAdcDoneBit : 0;
  }
  const auto found = registers_.find(address);
  return found == registers_.end() ? 0 : found->second;
}

DownloadedBootloader BootRom::downloaded() const {
  const std::vector<uint8_t> bytes = downloaded_bytes();
  return {bytes.size(), to_hex(sha256_of(bytes))};
}

}  // namespace sim
