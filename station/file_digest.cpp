// Digests of files and of bytes built into the program.
#include "station/file_digest.h"

#include <array>
#include <cstdio>
#include <fstream>

#include "digest/sha256.h"

namespace station {
namespace {

std::string hex_of(const uint8_t (&hash)[32]) {
  std::string hex;
  for (const uint8_t byte : hash) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

}  // namespace

std::string sha256_hex(std::span<const uint8_t> bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.data(), bytes.size());
  uint8_t hash[32];
  sha256_final(&context, hash);
  return hex_of(hash);
}

std::optional<std::string> file_sha256(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  sha256_ctx context;
  sha256_init(&context);
  std::array<char, 1 << 16> chunk;
  while (file.read(chunk.data(), chunk.size()) || file.gcount() > 0) {
    sha256_update(&context, reinterpret_cast<const uint8_t*>(chunk.data()),
                  static_cast<uint64_t>(file.gcount()));
  }
  if (file.bad()) {
    return std::nullopt;
  }
  uint8_t hash[32];
  sha256_final(&context, hash);
  return hex_of(hash);
}

}  // namespace station
