#include "tests/support/test_keys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace test_support {
namespace {

struct BignumFree {
  void operator()(BIGNUM* number) const { BN_clear_free(number); }
};
using BignumPtr = std::unique_ptr<BIGNUM, BignumFree>;

struct ParamBuildFree {
  void operator()(OSSL_PARAM_BLD* build) const { OSSL_PARAM_BLD_free(build); }
};
struct ParamsFree {
  void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
struct KeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

KeyPtr checked(EVP_PKEY* key, const char* what) {
  if (key == nullptr) {
    throw std::runtime_error(std::string("cannot make ") + what);
  }
  return KeyPtr(key);
}

BignumPtr get_number(EVP_PKEY* key, const char* name) {
  BIGNUM* number = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &number) != 1) {
    throw std::runtime_error(std::string("RSA key lacks ") + name);
  }
  return BignumPtr(number);
}

std::unique_ptr<std::FILE, FileClose> open_for_writing(const std::string& path) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "w"));
  if (!file) {
    throw std::runtime_error("cannot write " + path);
  }
  return file;
}

}  // namespace

KeyPtr make_rsa_key(unsigned bits) {
  return checked(EVP_RSA_gen(bits), "RSA key");
}

KeyPtr make_ec_key() {
  return checked(EVP_EC_gen("P-256"), "EC key");
}

KeyPtr make_inconsistent_rsa_copy(EVP_PKEY* key) {
  static constexpr const char* kParts[] = {
      OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,           OSSL_PKEY_PARAM_RSA_D,
      OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,     OSSL_PKEY_PARAM_RSA_EXPONENT1,
      OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  std::unique_ptr<OSSL_PARAM_BLD, ParamBuildFree> build(OSSL_PARAM_BLD_new());
  std::vector<BignumPtr> numbers;
  for (const char* part : kParts) {
    numbers.push_back(get_number(key, part));
    if (part == std::string_view(OSSL_PKEY_PARAM_RSA_D)) {
      BN_add_word(numbers.back().get(), 2);
    }
    OSSL_PARAM_BLD_push_BN(build.get(), part, numbers.back().get());
  }
  std::unique_ptr<OSSL_PARAM, ParamsFree> params(OSSL_PARAM_BLD_to_param(build.get()));
  std::unique_ptr<EVP_PKEY_CTX, KeyContextFree> context(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* copy = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &copy, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    throw std::runtime_error("cannot build inconsistent RSA key");
  }
  return KeyPtr(copy);
}

void write_private_key_pem(const std::string& path, EVP_PKEY* key) {
  auto file = open_for_writing(path);
  if (PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    throw std::runtime_error("cannot write key to " + path);
  }
}

void write_encrypted_private_key_pem(const std::string& path, EVP_PKEY* key,
                                     const std::string& passphrase) {
  auto file = open_for_writing(path);
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(passphrase.data()));
  if (PEM_write_PrivateKey(file.get(), key, EVP_aes_256_cbc(), bytes,
                           static_cast<int>(passphrase.size()), nullptr, nullptr) != 1) {
    throw std::runtime_error("cannot write encrypted key to " + path);
  }
}

}  // namespace test_support
