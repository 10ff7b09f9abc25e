// Checking a partition's file against its ".sign" companion with the publisher key carried in
// the program. The outcome is printed straight to standard output, so that it shows in
// automated mode too.

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "data/embedded.h"
#include "firmware/archive.h"
#include "firmware/archive_record.h"

namespace {

constexpr std::size_t SIGNATURE_SIZE = 512;
constexpr std::string_view SIGNATURE_SUFFIX = ".sign";

using signature_bytes = std::array<uint8_t, SIGNATURE_SIZE>;
using sha256_digest = std::array<uint8_t, 32>;

struct bio_free {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct pkey_free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct pkey_context_free {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct digest_context_free {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using public_key = std::unique_ptr<EVP_PKEY, pkey_free>;

void print_line(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

// The RSA public key in NUL-terminated PEM text, or null when the text does not parse.
public_key createPublicRSA(const char* pem) {
  std::unique_ptr<BIO, bio_free> bio(BIO_new_mem_buf(pem, -1));
  if (!bio) {
    return nullptr;
  }
  return public_key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

const kavro_archive_file_t* file_of_partition(const kavro_archive_t& record, uint32_t partition) {
  if (!is_partition_id(partition)) {
    return nullptr;
  }
  for (const auto& file : record.files) {
    if (file.partition == static_cast<int32_t>(partition)) {
      return &file;
    }
  }
  return nullptr;
}

const kavro_archive_file_t* file_named(const kavro_archive_t& record, const std::string& name) {
  for (const auto& file : record.files) {
    if (file.name == name) {
      return &file;
    }
  }
  return nullptr;
}

// Reads the companion's 512 bytes. Data that ends early or runs long fails the check rather
// than being waited for or written past the buffer.
std::optional<signature_bytes> gather_signature(kavro_archive_t** handle,
                                                const std::string& companion) {
  if (kavro_archive_extract_setup_filename(handle, companion.c_str()) != 0) {
    print_line("Failed to setup extract");
    return std::nullopt;
  }
  signature_bytes signature{};
  std::size_t gathered = 0;
  while (gathered < signature.size()) {
    const void* block = nullptr;
    std::size_t size = 0;
    int64_t offset = 0;
    if (kavro_archive_extract_block(handle, &block, &size, &offset) != 0) {
      print_line("Failed to extract block");
      return std::nullopt;
    }
    if (size == 0 || size > signature.size() - gathered) {
      print_line("Could not extract signature from archive");
      return std::nullopt;
    }
    if (offset != static_cast<int64_t>(gathered)) {
      print_line("Warning, signature data extracted does not match destination location");
    }
    std::memcpy(signature.data() + gathered, block, size);
    gathered += size;
  }
  return signature;
}

void print_verification_failure(const std::string& name) {
  std::printf("Signature verification failed for %s: %lu\n", name.c_str(), ERR_get_error());
  std::fflush(stdout);
  ERR_clear_error();
}

// SHA-256 over the data file, fed block by block as the archive delivers it. A file whose data
// ends before its listed size fails instead of being waited for.
std::optional<sha256_digest> digest_data_file(kavro_archive_t** handle,
                                              const kavro_archive_file_t& file) {
  if (kavro_archive_extract_setup_filename(handle, file.name.c_str()) != 0) {
    print_line("Failed to setup extract 2");
    return std::nullopt;
  }
  std::unique_ptr<EVP_MD_CTX, digest_context_free> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    print_verification_failure(file.name);
    return std::nullopt;
  }
  int64_t count = 0;
  while (count < file.size) {
    const void* block = nullptr;
    std::size_t size = 0;
    int64_t offset = 0;
    if (kavro_archive_extract_block(handle, &block, &size, &offset) != 0 || size == 0) {
      print_line("Failed to extract block 2");
      return std::nullopt;
    }
    if (offset != count) {
      print_line("Warning, binary data extracted does not match destination location");
    }
    if (EVP_DigestUpdate(context.get(), block, size) != 1) {
      print_verification_failure(file.name);
      return std::nullopt;
    }
    count += static_cast<int64_t>(size);
  }
  sha256_digest digest{};
  if (EVP_DigestFinal_ex(context.get(), digest.data(), nullptr) != 1) {
    print_verification_failure(file.name);
    return std::nullopt;
  }
  return digest;
}

// RSA PKCS#1 v1.5 over a SHA-256 digest with the publisher key: 1 when the signature matches.
int verify_digest(const sha256_digest& digest, const signature_bytes& signature) {
  public_key key = createPublicRSA(public_key_start);
  if (!key) {
    return 0;
  }
  std::unique_ptr<EVP_PKEY_CTX, pkey_context_free> context(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) <= 0) {
    return 0;
  }
  return EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(),
                         digest.size());
}

}  // namespace

int kavro_archive_verify_signature(kavro_archive_t** archive, uint32_t partition) {
  kavro_archive_t* record = archive != nullptr ? *archive : nullptr;
  if (record == nullptr) {
    return ARCHIVE_ERR_INVALID_PARAMETERS;
  }
  const kavro_archive_file_t* data_file = file_of_partition(*record, partition);
  if (data_file == nullptr) {
    print_line("Not found");
    return ARCHIVE_ERR_PARTITION_NOT_FOUND;
  }
  const std::string name = data_file->name;
  const kavro_archive_file_t* companion = file_named(*record, name + std::string(SIGNATURE_SUFFIX));
  if (companion == nullptr) {
    print_line("Not found 2");
    return ARCHIVE_ERR_PARTITION_NOT_FOUND;
  }
  if (companion->size != static_cast<int64_t>(SIGNATURE_SIZE)) {
    print_line("Sig size mismatch");
    return ARCHIVE_ERR_SIGNATURE;
  }
  const auto signature = gather_signature(archive, companion->name);
  if (!signature) {
    return ARCHIVE_ERR_SIGNATURE;
  }
  const auto digest = digest_data_file(archive, *data_file);
  if (!digest) {
    return ARCHIVE_ERR_SIGNATURE;
  }
  // Only this check's own OpenSSL errors may be reported below.
  ERR_clear_error();
  if (verify_digest(*digest, *signature) == 1) {
    std::printf("Signature verification passed for %s\n", name.c_str());
    std::fflush(stdout);
    return 0;
  }
  print_verification_failure(name);
  return ARCHIVE_ERR_SIGNATURE;
}
