// The secure-boot key checks and the signing of image digests, through OpenSSL's EVP interface.

#include "flash/secure_boot_key.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>

namespace {

using file_ptr = CHandle<std::FILE, std::fclose>;
using pkey_ctx_ptr = CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

int refuse_pass_phrase(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*user*/) {
  return 0;
}

bool is_consistent(EVP_PKEY& key) {
  const pkey_ctx_ptr check(EVP_PKEY_CTX_new_from_pkey(nullptr, &key, nullptr));
  return check && EVP_PKEY_check(check.get()) == 1;
}

key_problem signing_problem(EVP_PKEY& key) {
  if (EVP_PKEY_is_a(&key, "RSA") != 1) {
    return key_problem::not_rsa;
  }
  if (!is_consistent(key)) {
    return key_problem::inconsistent;
  }
  if (EVP_PKEY_get_size(&key) > static_cast<int>(SW_SIGNATURE_FIELD_LENGTH)) {
    return key_problem::too_large;
  }
  return key_problem::none;
}

}  // namespace

loaded_private_key load_private_key(const char* path) {
  const file_ptr file(path != nullptr ? std::fopen(path, "r") : nullptr);
  if (!file) {
    return {key_problem::cannot_open, nullptr};
  }
  private_key_ptr key(PEM_read_PrivateKey(file.get(), nullptr, refuse_pass_phrase, nullptr));
  const key_problem problem = key ? signing_problem(*key) : key_problem::cannot_read;
  if (problem != key_problem::none) {
    ERR_clear_error();  // the reason is returned; OpenSSL's queue would only mislead a later call
    return {problem, nullptr};
  }
  return {key_problem::none, std::move(key)};
}

key_problem read_public_key(const char* path, std::array<uint8_t, SECURE_BOOT_KEY_SIZE>& key) {
  const file_ptr file(path != nullptr ? std::fopen(path, "rb") : nullptr);
  if (!file) {
    return key_problem::cannot_open;
  }
  if (std::fseek(file.get(), 0, SEEK_END) != 0 ||
      std::ftell(file.get()) != static_cast<long>(key.size()) ||
      std::fseek(file.get(), 0, SEEK_SET) != 0 ||
      std::fread(key.data(), 1, key.size(), file.get()) != key.size()) {
    return key_problem::wrong_size;
  }
  return key_problem::none;
}

bool sign_image_digest(EVP_PKEY& key, std::span<const uint8_t, IMAGE_DIGEST_SIZE> digest,
                       std::span<uint8_t, SW_SIGNATURE_FIELD_LENGTH> signature) {
  const pkey_ctx_ptr context(EVP_PKEY_CTX_new_from_pkey(nullptr, &key, nullptr));
  if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    return false;
  }
  size_t length = signature.size();
  return EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) == 1;
}
