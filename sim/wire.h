#pragma once
// Values as they travel over USB between the host and a module.

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/little_endian.h"

namespace sim::wire {

using ::load_le32;
using ::store_le32;

// A 64-bit size sent as two little-endian words, the high word first.
inline uint64_t load_split64(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint64_t>(load_le32(bytes, offset)) << 32 | load_le32(bytes, offset + 4);
}

}  // namespace sim::wire
