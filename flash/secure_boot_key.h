#pragma once
// Secure-boot keys: the one check of the key files, made by the command line before anything
// starts and by every session as it loads them, and the signing of an image digest.

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/c_handle.h"
#include "firmware/image_patching.h"
#include "flash/software_protocol.h"

using private_key_ptr = CHandle<EVP_PKEY, EVP_PKEY_free>;

inline constexpr size_t IMAGE_DIGEST_SIZE = 32;

// Why a key file cannot be used; the private key's checks are made in this order.
enum class key_problem {
  none,
  cannot_open,
  cannot_read,  // holds no PEM private key, or one that asks for a pass phrase
  not_rsa,
  inconsistent,  // fails the full check: primes, modulus, both exponents, a pairwise test
  too_large,     // its signatures would not fit the signature field (more than 2048 bits)
  wrong_size,    // a public key file that is not exactly SECURE_BOOT_KEY_SIZE bytes
};

struct loaded_private_key {
  key_problem problem = key_problem::none;
  private_key_ptr key;  // set when there is no problem
};

// Reads the PEM private key at `path` and checks that it can sign boot images. A pass phrase
// is never asked for: nobody could answer it on a session thread or in automated mode.
loaded_private_key load_private_key(const char* path);
// Reads the public key file whole into `key`; its bytes go into the bootloader unparsed.
key_problem read_public_key(const char* path, std::array<uint8_t, SECURE_BOOT_KEY_SIZE>& key);

// RSA PKCS#1 v1.5 over the SHA-256 `digest`; false when OpenSSL cannot sign with `key`.
bool sign_image_digest(EVP_PKEY& key, std::span<const uint8_t, IMAGE_DIGEST_SIZE> digest,
                       std::span<uint8_t, SW_SIGNATURE_FIELD_LENGTH> signature);
