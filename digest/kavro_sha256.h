#pragma once

#include <cstdint>
#include <memory>

struct evp_md_ctx_st;

// One SHA-256 digest in progress. The running value is computed by OpenSSL's EVP interface;
// data/datalen/bitlen/state mirror the classic streaming layout for callers and tests that
// inspect it.
struct sha256_ctx {
  uint8_t data[64];
  uint32_t datalen;
  uint64_t bitlen;
  uint32_t state[8];
  std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> evp{nullptr, nullptr};
};

void sha256_init(sha256_ctx* ctx);
void sha256_update(sha256_ctx* ctx, const uint8_t* data, uint64_t length);
void sha256_final(sha256_ctx* ctx, uint8_t hash[32]);
// The SHA-256 compression of one 64-byte block into ctx->state.
void sha256_transform(sha256_ctx* ctx, const uint8_t block[64]);
