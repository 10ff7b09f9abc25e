#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>

#include "flash/session_context.h"

namespace {

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

struct pkey_ctx_deleter {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_deleter>;

// Declines every pass phrase request. Without it OpenSSL would prompt on the terminal for an
// encrypted key, which would block a session thread that nobody can answer.
int refuse_pass_phrase(char*, int, int, void*) {
  return 0;
}

// An RSA key pair that is consistent and whose signatures fit the signature field.
bool usable_signing_key(EVP_PKEY& key) {
  if (EVP_PKEY_get_base_id(&key) != EVP_PKEY_RSA) {
    return false;
  }
  if (EVP_PKEY_get_size(&key) > static_cast<int>(IMAGE_SIGNATURE_SIZE)) {
    return false;
  }
  const pkey_ctx_ptr check(EVP_PKEY_CTX_new_from_pkey(nullptr, &key, nullptr));
  return check && EVP_PKEY_check(check.get()) == 1;
}

private_key_ptr read_private_key(const char* path) {
  const file_ptr file(std::fopen(path, "r"));
  if (!file) {
    return nullptr;
  }
  return private_key_ptr(PEM_read_PrivateKey(file.get(), nullptr, refuse_pass_phrase, nullptr));
}

bool read_public_key_file(const char* path, std::array<uint8_t, SECURE_BOOT_KEY_SIZE>& key) {
  if (path == nullptr) {
    return false;
  }
  const file_ptr file(std::fopen(path, "rb"));
  if (!file || std::fseek(file.get(), 0, SEEK_END) != 0 ||
      std::ftell(file.get()) != static_cast<long>(key.size()) ||
      std::fseek(file.get(), 0, SEEK_SET) != 0) {
    return false;
  }
  return std::fread(key.data(), 1, key.size(), file.get()) == key.size();
}

}  // namespace

void evp_pkey_deleter::operator()(EVP_PKEY* key) const {
  EVP_PKEY_free(key);
}

int load_secure_boot_keys(flash_session& session, const char* public_key_file,
                          const char* private_key_file) {
  private_key_ptr key = read_private_key(private_key_file);
  if (!key || !usable_signing_key(*key)) {
    return FLASH_ERR_PRIVATE_KEY;
  }
  if (!read_public_key_file(public_key_file, session.public_key)) {
    return FLASH_ERR_PRIVATE_KEY;
  }
  session.private_key = std::move(key);
  return 0;
}

bool sign_image_digest(EVP_PKEY& key, std::span<const uint8_t, IMAGE_DIGEST_SIZE> digest,
                       std::span<uint8_t, IMAGE_SIGNATURE_SIZE> signature) {
  const pkey_ctx_ptr context(EVP_PKEY_CTX_new_from_pkey(nullptr, &key, nullptr));
  if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    return false;
  }
  size_t length = signature.size();
  return EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) == 1;
}
