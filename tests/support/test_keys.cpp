#include "tests/support/test_keys.h"

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include <cstdio>
#include <stdexcept>

namespace test_support {
namespace {

KeyPtr checked(EVP_PKEY* key, const char* what) {
  if (key == nullptr) {
    throw std::runtime_error(std::string("cannot make ") + what);
  }
  return KeyPtr(key);
}

// PEM text of the private key, encrypted with `cipher` under `passphrase` unless it is null.
void write_pem(const std::string& path, EVP_PKEY* key, const EVP_CIPHER* cipher,
               const std::string& passphrase) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w"), std::fclose);
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(passphrase.data()));
  if (!file || PEM_write_PrivateKey(file.get(), key, cipher, bytes,
                                    static_cast<int>(passphrase.size()), nullptr, nullptr) != 1) {
    throw std::runtime_error("cannot write key to " + path);
  }
}

}  // namespace

KeyPtr make_rsa_key(unsigned bits) {
  return checked(EVP_RSA_gen(bits), "RSA key");
}

KeyPtr make_ec_key() {
  return checked(EVP_EC_gen("P-256"), "EC key");
}

KeyPtr make_inconsistent_rsa_copy(EVP_PKEY* key) {
  OSSL_PARAM* params = nullptr;
  OSSL_PARAM* exponent = nullptr;
  BIGNUM* value = nullptr;
  EVP_PKEY* copy = nullptr;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  // The private exponent plus 2 has the same length, so it fits the exported parameter.
  const bool made = EVP_PKEY_todata(key, EVP_PKEY_KEYPAIR, &params) == 1 &&
                    (exponent = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_RSA_D)) != nullptr &&
                    OSSL_PARAM_get_BN(exponent, &value) == 1 && BN_add_word(value, 2) == 1 &&
                    OSSL_PARAM_set_BN(exponent, value) == 1 &&
                    EVP_PKEY_fromdata_init(context) == 1 &&
                    EVP_PKEY_fromdata(context, &copy, EVP_PKEY_KEYPAIR, params) == 1;
  BN_clear_free(value);
  OSSL_PARAM_free(params);
  EVP_PKEY_CTX_free(context);
  return checked(made ? copy : nullptr, "inconsistent RSA key");
}

void write_private_key_pem(const std::string& path, EVP_PKEY* key) {
  write_pem(path, key, nullptr, "");
}

void write_encrypted_private_key_pem(const std::string& path, EVP_PKEY* key,
                                     const std::string& passphrase) {
  write_pem(path, key, EVP_aes_256_cbc(), passphrase);
}

}  // namespace test_support
