#include "digest/sha256.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string to_hex(const uint8_t* bytes, size_t size) {
  std::string hex;
  for (size_t i = 0; i < size; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    hex += pair;
  }
  return hex;
}

// Digest of `message`, fed to sha256_update in pieces of `piece` bytes (0: one call).
std::string digest_in_pieces(std::string_view message, size_t piece) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  const auto* data = reinterpret_cast<const uint8_t*>(message.data());
  if (piece == 0) {
    sha256_update(&ctx, data, message.size());
  } else {
    for (size_t offset = 0; offset < message.size(); offset += piece) {
      sha256_update(&ctx, data + offset, std::min(piece, message.size() - offset));
    }
  }
  uint8_t hash[32];
  sha256_final(&ctx, hash);
  return to_hex(hash, sizeof hash);
}

struct Vector {
  std::string message;
  const char* digest;
};

// FIPS 180-4 example messages and the published one-million-'a' vector.
std::vector<Vector> published_vectors() {
  return {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

TEST(Sha256, PublishedVectorsInOneCall) {
  for (const auto& vector : published_vectors()) {
    EXPECT_EQ(digest_in_pieces(vector.message, 0), vector.digest)
        << "message of " << vector.message.size() << " bytes";
  }
}

TEST(Sha256, SplittingTheInputDoesNotChangeTheDigest) {
  for (const auto& vector : published_vectors()) {
    for (size_t piece : {1, 55, 56, 63, 64}) {
      EXPECT_EQ(digest_in_pieces(vector.message, piece), vector.digest)
          << "message of " << vector.message.size() << " bytes in pieces of " << piece;
    }
  }
}

TEST(Sha256, MessagesAtThePaddingBoundaries) {
  // Messages of 'a' repeated n times (digests from sha256sum).
  const std::array<std::pair<size_t, const char*>, 4> cases = {{
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  }};
  for (const auto& [size, digest] : cases) {
    EXPECT_EQ(digest_in_pieces(std::string(size, 'a'), 0), digest) << size << " bytes";
  }
}

TEST(Sha256, BookkeepingCountsWholeBlocksAndTheRest) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  const std::string message(100, 'x');
  sha256_update(&ctx, reinterpret_cast<const uint8_t*>(message.data()), 30);
  EXPECT_EQ(ctx.datalen, 30u);
  EXPECT_EQ(ctx.bitlen, 0u);
  sha256_update(&ctx, reinterpret_cast<const uint8_t*>(message.data()), 70);
  EXPECT_EQ(ctx.datalen, 36u);
  EXPECT_EQ(ctx.bitlen, 512u);
}

TEST(Sha256, InitStartsOverAfterAFinishedDigest) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, reinterpret_cast<const uint8_t*>("junk"), 4);
  uint8_t hash[32];
  sha256_final(&ctx, hash);
  sha256_init(&ctx);
  sha256_update(&ctx, reinterpret_cast<const uint8_t*>("abc"), 3);
  sha256_final(&ctx, hash);
  EXPECT_EQ(to_hex(hash, sizeof hash),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ctx.state[0], 0xba7816bfu);
  EXPECT_EQ(ctx.state[7], 0xf20015adu);
}

// "abc" padded to one block: 0x80 after the message, its bit length (24) in the last byte.
std::array<uint8_t, 64> padded_abc_block() {
  std::array<uint8_t, 64> block{};
  block[0] = 'a';
  block[1] = 'b';
  block[2] = 'c';
  block[3] = 0x80;
  block[63] = 24;
  return block;
}

TEST(Sha256Transform, InitialStateSetByInit) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  const std::array<uint32_t, 8> expected = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), ctx.state));
  EXPECT_EQ(ctx.datalen, 0u);
  EXPECT_EQ(ctx.bitlen, 0u);
}

TEST(Sha256Transform, CompressesOneBlockFromTheInitialState) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  const auto block = padded_abc_block();
  sha256_transform(&ctx, block.data());
  const std::array<uint32_t, 8> expected = {0xba7816bf, 0x8f01cfea, 0x414140de, 0x5dae2223,
                                            0xb00361a3, 0x96177a9c, 0xb410ff61, 0xf20015ad};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), ctx.state));
}

TEST(Sha256Transform, ChainsFromAnArbitraryState) {
  // The 448-bit FIPS message needs two blocks; its second block starts from the state the first
  // one left (FIPS 180-4 example, intermediate hash H(1)).
  sha256_ctx ctx;
  sha256_init(&ctx);
  const std::string_view message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  std::array<uint8_t, 128> blocks{};
  std::copy(message.begin(), message.end(), blocks.begin());
  blocks[56] = 0x80;
  blocks[126] = 0x01;  // 448 bits = 0x1c0
  blocks[127] = 0xc0;
  sha256_transform(&ctx, blocks.data());
  const std::array<uint32_t, 8> first = {0x85e655d6, 0x417a1795, 0x3363376a, 0x624cde5c,
                                         0x76e09589, 0xcac5f811, 0xcc4b32c1, 0xf20e533a};
  EXPECT_TRUE(std::equal(first.begin(), first.end(), ctx.state));
  sha256_transform(&ctx, blocks.data() + 64);
  const std::array<uint32_t, 8> second = {0x248d6a61, 0xd20638b8, 0xe5c02693, 0x0c3e6039,
                                          0xa33ce459, 0x64ff2167, 0xf6ecedd4, 0x19db06c1};
  EXPECT_TRUE(std::equal(second.begin(), second.end(), ctx.state));
}

}  // namespace
