#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/little_endian.h"
#include "usb/device_manager.h"

// A software-mode command block under construction: zero-filled, every field little-endian,
// opened by the common head (signature word, command id).
template <size_t Length>
class command_block {
 public:
  explicit command_block(uint32_t command_id) {
    put_u32(0, SW_CMD_SIGNATURE_WORD);
    put_u32(4, command_id);
  }

  void put_u32(size_t offset, uint32_t value) { store_le32(bytes_, offset, value); }

  // A 64-bit value travels as two 32-bit words, the high word first.
  void put_u64_high_first(size_t offset, uint64_t value) {
    put_u32(offset, static_cast<uint32_t>(value >> 32));
    put_u32(offset + 4, static_cast<uint32_t>(value));
  }

  // A name field of 8 bytes: at most 8 characters, zero-padded, no terminator when full.
  void put_name(size_t offset, std::string_view name) {
    const size_t length = std::min<size_t>(name.size(), 8);
    std::copy_n(name.begin(), length, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  }

  void put_bytes(size_t offset, std::span<const uint8_t> data) {
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  }

  std::span<uint8_t> bytes() { return bytes_; }

 private:
  std::array<uint8_t, Length> bytes_{};
};

// Reads a name field of at most 8 characters that may lack its terminator.
inline std::string_view bounded_name(const char* field) {
  if (field == nullptr) {
    return {};
  }
  return {field, static_cast<size_t>(std::find(field, field + 8, '\0') - field)};
}
