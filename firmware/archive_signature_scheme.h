#pragma once
// The publisher signature of ".sign" companions as OpenSSL computes it: RSA with PKCS#1 v1.5
// padding over a SHA-256 digest. kavro-pack signs and the flasher verifies through the same
// set-up. Header-only, so that kavro-pack need not link the archive library for it.

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "common/c_handle.h"

using signature_key_context = CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

// A context of `key` prepared by `init` (EVP_PKEY_sign_init or EVP_PKEY_verify_init) for the
// companions' padding and digest; null when OpenSSL refuses any step.
inline signature_key_context archive_signature_context(EVP_PKEY* key, int (*init)(EVP_PKEY_CTX*)) {
  signature_key_context context(EVP_PKEY_CTX_new(key, nullptr));
  if (!context || init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) <= 0) {
    return nullptr;
  }
  return context;
}
