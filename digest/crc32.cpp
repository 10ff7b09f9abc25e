// CRC-32 of transfer blocks, through zlib.

#include "digest/crc32.h"

#include <zlib.h>

// zlib's table-driven CRC-32 computes the same ISO-HDLC checksum as the bitwise definition
// (reflected polynomial 0xEDB88320, register preset and final XOR 0xFFFFFFFF) at memory speed.
// crc32_z takes a size_t length, so buffers above 4 GiB need no splitting.
uint32_t crc32_internal(const uint8_t* data, uint64_t length) {
  if (length == 0) {
    return 0;
  }
  return static_cast<uint32_t>(crc32_z(0, data, static_cast<z_size_t>(length)));
}
