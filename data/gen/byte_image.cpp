// Byte images: little-endian words and texts placed at offsets, and writing them to files.

#include "data/gen/byte_image.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <string>

namespace datagen {

namespace {

void require_room(const ByteImage& image, std::size_t offset, std::size_t length) {
  if (offset > image.size() || length > image.size() - offset) {
    throw std::out_of_range("write of " + std::to_string(length) + " bytes at offset " +
                            std::to_string(offset) + " does not fit an image of " +
                            std::to_string(image.size()) + " bytes");
  }
}

}  // namespace

void put_u32_le(ByteImage& image, std::size_t offset, uint32_t value) {
  require_room(image, offset, 4);
  for (std::size_t i = 0; i < 4; ++i) {
    image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void put_text(ByteImage& image, std::size_t offset, std::string_view text) {
  require_room(image, offset, text.size());
  std::copy(text.begin(), text.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
}

void write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

}  // namespace datagen
