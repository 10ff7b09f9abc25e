// The placeholder flash bootloader image.

#include "data/gen/flash_bld_image.h"

#include <span>

#include "data/gen/content_fill.h"
#include "data/gen/pseudo_random.h"

namespace datagen {

namespace {
constexpr std::size_t HEADER_SIZE = 32;
constexpr uint64_t FILLER_SEED = 0x4B42'4C44'0001ULL;
}  // namespace

ByteImage make_flash_bld_image() {
  ByteImage image(FLASH_BLD_SIZE, 0);
  put_text(image, 0, FLASH_BLD_MAGIC);
  put_u32_le(image, 16, FLASH_BLD_HEADER_VERSION);
  put_u32_le(image, 20, static_cast<uint32_t>(FLASH_BLD_SIZE));
  put_text(image, 24, FLASH_BLD_VERSION_TEXT);
  PseudoRandom random(FILLER_SEED);
  fill_code(std::span(image).subspan(HEADER_SIZE), random);
  return image;
}

}  // namespace datagen
