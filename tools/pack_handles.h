#pragma once

// Owning handles for the C objects of libarchive, OpenSSL and json-c used by the pack tools.

#include <archive.h>
#include <archive_entry.h>
#include <json-c/json.h>
#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

namespace kavro_pack::detail {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* object) const {
    Free(object);
  }
};

using ArchiveReader = std::unique_ptr<archive, FreeWith<archive_read_free>>;
using ArchiveWriter = std::unique_ptr<archive, FreeWith<archive_write_free>>;
using ArchiveEntry = std::unique_ptr<archive_entry, FreeWith<archive_entry_free>>;
using Bio = std::unique_ptr<BIO, FreeWith<BIO_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, FreeWith<EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>>;
using Json = std::unique_ptr<json_object, FreeWith<json_object_put>>;

}  // namespace kavro_pack::detail
