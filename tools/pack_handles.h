#pragma once
// Owning handles for the C objects of libarchive, OpenSSL and json-c used by the pack tools.

#include <archive.h>
#include <archive_entry.h>
#include <json-c/json.h>
#include <openssl/bio.h>
#include <openssl/evp.h>

#include "common/c_handle.h"

namespace kavro_pack::detail {

using ArchiveReader = CHandle<archive, archive_read_free>;
using ArchiveWriter = CHandle<archive, archive_write_free>;
using ArchiveEntry = CHandle<archive_entry, archive_entry_free>;
using Bio = CHandle<BIO, BIO_free>;
using Pkey = CHandle<EVP_PKEY, EVP_PKEY_free>;
using Json = CHandle<json_object, json_object_put>;

}  // namespace kavro_pack::detail
