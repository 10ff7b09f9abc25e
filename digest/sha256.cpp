// The SHA-256 operations of digest/sha256.h: EVP for the message, FIPS 180-4 for the transform.

#include "digest/sha256.h"

#include <algorithm>
#include <array>
#include <bit>
#include <new>
#include <stdexcept>

namespace {

// Round constants of SHA-256 (FIPS 180-4, 4.2.2).
constexpr std::array<uint32_t, 64> k = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Initial hash value of SHA-256 (FIPS 180-4, 5.3.3).
constexpr std::array<uint32_t, 8> initial_hash = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint64_t block_bytes = 64;

uint32_t load_big_endian(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

void require(int openssl_result, const char* what) {
  if (openssl_result != 1) {
    throw std::runtime_error(what);
  }
}

}  // namespace

void sha256_init(sha256_ctx* ctx) {
  if (!ctx->evp) {
    ctx->evp.reset(EVP_MD_CTX_new());
    if (!ctx->evp) {
      throw std::bad_alloc();
    }
  }
  require(EVP_DigestInit_ex(ctx->evp.get(), EVP_sha256(), nullptr), "SHA-256 digest unavailable");
  ctx->datalen = 0;
  ctx->bitlen = 0;
  std::copy(initial_hash.begin(), initial_hash.end(), ctx->state);
}

void sha256_update(sha256_ctx* ctx, const uint8_t* data, uint64_t length) {
  if (length == 0) {
    return;
  }
  require(EVP_DigestUpdate(ctx->evp.get(), data, length), "SHA-256 update failed");
  const uint64_t buffered = ctx->datalen + length;
  ctx->bitlen += (buffered / block_bytes) * block_bytes * 8;
  ctx->datalen = static_cast<uint32_t>(buffered % block_bytes);
}

void sha256_final(sha256_ctx* ctx, uint8_t hash[32]) {
  unsigned int written = 0;
  require(EVP_DigestFinal_ex(ctx->evp.get(), hash, &written), "SHA-256 final failed");
  for (int word = 0; word < 8; ++word) {
    ctx->state[word] = load_big_endian(hash + word * 4);
  }
}

void sha256_transform(sha256_ctx* ctx, const uint8_t block[64]) {
  std::array<uint32_t, 64> w{};
  for (int t = 0; t < 16; ++t) {
    w[t] = load_big_endian(block + t * 4);
  }
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }

  uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
  uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t sum1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
    const uint32_t choose = (e & f) ^ (~e & g);
    const uint32_t t1 = h + sum1 + choose + k[t] + w[t];
    const uint32_t sum0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
    const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  ctx->state[0] += a;
  ctx->state[1] += b;
  ctx->state[2] += c;
  ctx->state[3] += d;
  ctx->state[4] += e;
  ctx->state[5] += f;
  ctx->state[6] += g;
  ctx->state[7] += h;
}
