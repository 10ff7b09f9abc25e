#include "digest/crc32.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

const uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// Reference: the bitwise ISO-HDLC register, one bit at a time.
uint32_t bitwise_crc32(const std::vector<uint8_t>& data) {
  uint32_t crc = 0xFFFFFFFF;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
  }
  return crc ^ 0xFFFFFFFF;
}

TEST(Crc32, EmptyBufferIsZero) {
  EXPECT_EQ(crc32_internal(nullptr, 0), 0u);
  EXPECT_EQ(crc32_internal(bytes_of("x"), 0), 0u);
}

TEST(Crc32, CheckValueOfDigitsOneToNine) {
  EXPECT_EQ(crc32_internal(bytes_of("123456789"), 9), 0xCBF43926u);
}

TEST(Crc32, EveryCallStartsAfresh) {
  const uint32_t first = crc32_internal(bytes_of("123456789"), 9);
  EXPECT_EQ(crc32_internal(bytes_of("123456789"), 9), first);
  EXPECT_EQ(crc32_internal(bytes_of("a"), 1), 0xE8B7BE43u);
}

TEST(Crc32, MatchesBitwiseRegisterOnAllByteValues) {
  std::vector<uint8_t> data(4099);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  }
  EXPECT_EQ(crc32_internal(data.data(), data.size()), bitwise_crc32(data));
}

}  // namespace
