#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "digest/crc32.h"
#include "digest/sha256.h"

namespace {

const uint8_t* bytes_of(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// The first and last words of the digest of `message` fed in pieces of `piece` bytes.
std::pair<uint32_t, uint32_t> sha256_ends(const std::string& message, size_t piece) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  for (size_t offset = 0; offset < message.size(); offset += piece) {
    sha256_update(&ctx, bytes_of(message) + offset, std::min(piece, message.size() - offset));
  }
  std::array<uint8_t, 32> hash{};
  sha256_final(&ctx, hash.data());
  return {ctx.state[0], ctx.state[7]};
}

TEST(Digest, Crc32OfKnownInputs) {
  const std::string million(1000000, 'a');
  EXPECT_EQ(crc32_internal(nullptr, 0), 0u);
  EXPECT_EQ(crc32_internal(bytes_of("123456789"), 9), 0xCBF43926u);
  EXPECT_EQ(crc32_internal(bytes_of(million), million.size()), 0xDC25BFBCu);
}

// The published digests of "", "abc" and a million 'a', the last in one piece and streamed.
TEST(Digest, Sha256OfKnownInputsWhetherStreamedOrNot) {
  const std::pair<uint32_t, uint32_t> million{0xcdc76e5c, 0xc7112cd0};
  EXPECT_EQ(sha256_ends("", 1), std::pair(0xe3b0c442u, 0x7852b855u));
  EXPECT_EQ(sha256_ends("abc", 1), std::pair(0xba7816bfu, 0xf20015adu));
  EXPECT_EQ(sha256_ends(std::string(1000000, 'a'), 1000000), million);
  EXPECT_EQ(sha256_ends(std::string(1000000, 'a'), 63), million);
}

// "abc" padded to one block and compressed from the initial state gives the digest of "abc".
TEST(Digest, Sha256TransformCompressesOneBlock) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  std::array<uint8_t, 64> block{'a', 'b', 'c', 0x80};
  block[63] = 24;
  sha256_transform(&ctx, block.data());
  EXPECT_EQ(std::pair(ctx.state[0], ctx.state[7]), std::pair(0xba7816bfu, 0xf20015adu));
}

}  // namespace
