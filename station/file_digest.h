#pragma once

// SHA-256 digests of the station's inputs, in lower-case hex, through the project's digest
// library.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace station {

std::string sha256_hex(std::span<const uint8_t> bytes);
// The digest of the file's bytes; nothing when it cannot be read to its end.
std::optional<std::string> file_sha256(const std::string& path);

}  // namespace station
