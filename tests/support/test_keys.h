#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>

// Key material for tests of the secure-boot options, made with OpenSSL's EVP interface.
// Generating large RSA keys is slow: make each key once per test program and write it where
// needed.
namespace test_support {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

KeyPtr make_rsa_key(unsigned bits);
KeyPtr make_ec_key();
// The same RSA key with its private exponent changed: it reads fine but fails a key check.
KeyPtr make_inconsistent_rsa_copy(EVP_PKEY* key);

void write_private_key_pem(const std::string& path, EVP_PKEY* key);
void write_encrypted_private_key_pem(const std::string& path, EVP_PKEY* key,
                                     const std::string& passphrase);

}  // namespace test_support
