#pragma once
// Byte images that the generator fills and writes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

namespace datagen {

using ByteImage = std::vector<uint8_t>;

// Stores `value` little-endian at `offset`; throws when the word does not fit in the image.
void put_u32_le(ByteImage& image, std::size_t offset, uint32_t value);

// Copies the text's bytes (without a terminator) to `offset`; throws when it does not fit.
void put_text(ByteImage& image, std::size_t offset, std::string_view text);

// Writes the bytes to `path`, replacing the file; throws with the path on failure.
void write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace datagen
