#pragma once
// CRC-32/ISO-HDLC (IEEE 802.3, zlib) of exactly `length` bytes; every call starts afresh.

#include <cstdint>

uint32_t crc32_internal(const uint8_t* data, uint64_t length);
