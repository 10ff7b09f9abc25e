// Checking a partition's file against its ".sign" companion with the publisher key carried in
// the program. The outcome is printed straight to standard output, so that it shows in
// automated mode too.

#include <openssl/err.h>
#include <openssl/pem.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/c_handle.h"
#include "data/embedded.h"
#include "digest/sha256.h"
#include "firmware/archive.h"
#include "firmware/archive_format.h"
#include "firmware/archive_record.h"
#include "firmware/archive_signature_scheme.h"

namespace {

using signature_bytes = std::array<uint8_t, SIGNATURE_SIZE>;
using sha256_digest = std::array<uint8_t, SIGNATURE_DIGEST_SIZE>;
using public_key = CHandle<EVP_PKEY, EVP_PKEY_free>;

void print_line(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

// The RSA public key in NUL-terminated PEM text, or null when the text does not parse.
public_key createPublicRSA(const char* pem) {
  const CHandle<BIO, BIO_free> bio(BIO_new_mem_buf(pem, -1));
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
  sha256_ctx context;
  try {
    sha256_init(&context);
  } catch (const std::exception&) {
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
    try {
      sha256_update(&context, static_cast<const uint8_t*>(block), size);
    } catch (const std::exception&) {
      print_verification_failure(file.name);
      return std::nullopt;
    }
    count += static_cast<int64_t>(size);
  }
  sha256_digest digest{};
  try {
    sha256_final(&context, digest.data());
  } catch (const std::exception&) {
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
  const signature_key_context context = archive_signature_context(key.get(), EVP_PKEY_verify_init);
  if (!context) {
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
