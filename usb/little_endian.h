#pragma once

#include <cstdint>
#include <span>

// The module protocols put every multi-byte value on the wire least significant byte first,
// whatever the host's byte order.

inline void store_le32(std::span<uint8_t, 4> out, uint32_t value) {
  for (auto& byte : out) {
    byte = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

inline uint32_t load_le32(std::span<const uint8_t, 4> in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}
