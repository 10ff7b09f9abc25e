#pragma once
// SHA-256 of images and downloads, streamed, through OpenSSL's EVP interface.

#include <openssl/evp.h>

#include <cstdint>

#include "common/c_handle.h"

// One SHA-256 digest in progress, owned by the caller (one per digest; move-only).
//
// The message itself is hashed by OpenSSL's EVP interface, which uses the CPU's SHA extensions;
// datalen and bitlen keep the classic streaming bookkeeping (bytes of the unfinished block, bits
// in whole blocks) for callers that report progress. `state` is the chaining value that
// sha256_transform works on: sha256_init sets the FIPS 180-4 initial hash value, and
// sha256_final leaves the final hash value of the message there.
struct sha256_ctx {
  uint32_t datalen = 0;
  uint64_t bitlen = 0;
  uint32_t state[8] = {};
  CHandle<EVP_MD_CTX, EVP_MD_CTX_free> evp;
};

// Starts a new digest. Throws std::bad_alloc when OpenSSL cannot allocate its digest context.
void sha256_init(sha256_ctx* ctx);
// Adds `length` bytes to the message; splitting the message over calls does not change the digest.
void sha256_update(sha256_ctx* ctx, const uint8_t* data, uint64_t length);
// Writes the digest of everything passed to sha256_update since sha256_init.
void sha256_final(sha256_ctx* ctx, uint8_t hash[32]);
// The SHA-256 compression of one 64-byte block into ctx->state; it does not touch the message
// being digested through sha256_update.
void sha256_transform(sha256_ctx* ctx, const uint8_t block[64]);
