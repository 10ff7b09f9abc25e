#pragma once
// The placeholder flash bootloader.

#include <cstddef>
#include <string_view>

#include "data/gen/byte_image.h"

namespace datagen {

// Placeholder for the flash bootloader the tool downloads into a module's DRAM. A real image
// replaces it for production builds; this one only has to be recognisable (so a dump of module
// memory shows what was sent) and of the real image's size.
inline constexpr std::size_t FLASH_BLD_SIZE = 154304;
inline constexpr std::string_view FLASH_BLD_MAGIC = "KAVRO-FLASH-BLD";  // 16 bytes with NUL
inline constexpr uint32_t FLASH_BLD_HEADER_VERSION = 1;
inline constexpr std::string_view FLASH_BLD_VERSION_TEXT = "1.7.0";

// Layout of the header at the image start:
//   0  magic text, NUL-padded to 16 bytes
//  16  header version, u32 little-endian
//  20  image size in bytes, u32 little-endian
//  24  firmware version text, NUL-padded to 8 bytes
//  32  instruction-like filler up to the end
ByteImage make_flash_bld_image();

}  // namespace datagen
