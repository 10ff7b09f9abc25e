#pragma once

// SHA-256 digests and RSA keys for signing and checking ".sign" companions.

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>

#include "tools/pack_handles.h"

namespace kavro_pack::detail {

using Sha256 = std::array<uint8_t, 32>;

// Digest fed piece by piece, for data that arrives in blocks.
class Sha256Stream {
 public:
  Sha256Stream();
  void update(std::span<const uint8_t> data);
  Sha256 finish();

 private:
  DigestContext context_;
};

Pkey load_public_key(const std::filesystem::path& pem);
bool signature_matches(EVP_PKEY* public_key, const Sha256& digest,
                       std::span<const uint8_t> signature);

}  // namespace kavro_pack::detail
