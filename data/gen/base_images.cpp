// The generated boot-chain images of a base archive and their manifest.

#include "data/gen/base_images.h"

#include <algorithm>
#include <array>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/gen/byte_image.h"
#include "data/gen/content_fill.h"
#include "data/gen/manifest_writer.h"
#include "data/gen/pseudo_random.h"

namespace datagen {

namespace {

constexpr uint32_t BOOTSTRAP_FIXED_SIZE = 4096;
constexpr uint32_t KEY_BLOCK_MAGIC_0 = 0x5055424C;
constexpr uint32_t KEY_BLOCK_MAGIC_1 = 0x4B455953;
constexpr std::size_t KEY_BLOCK_SIZE = 3084;
constexpr std::size_t KEY_BLOCK_END_WORD = 3080;
// Marks the bootloader size and load address words as not yet filled in: the flashing tool
// always overwrites them, and a visible marker shows whether it did.
constexpr uint32_t UNSET_WORD = 0xFFFFFFFF;
// Low 24 bits of a PLL control word: fractional and post-divider fields of a locked PLL.
constexpr uint32_t PLL_CONTROL_BITS = 0x00110100;

const std::array<BootChainLayout, 5> LAYOUTS = {{
    {1,
     "s5l",
     4096,
     {2124, 504, 12},
     {2128, 600, 12},
     {2136, 792, 12},
     {2120, 1008, 24},
     3132,
     3124,
     158720,
     155136,
     0,
     48},
    {2,
     "cv22",
     4096,
     {2188, 504, 24},
     {2192, 504, 12},
     {2200, 1584, 24},
     {2184, 1008, 24},
     3196,
     3188,
     167232,
     163424,
     0,
     48},
    {3,
     "cv25",
     4096,
     {2252, 504, 24},
     {2256, 504, 24},
     {2264, 1584, 24},
     {2248, 1008, 24},
     3260,
     3252,
     171328,
     167520,
     0,
     48},
    {4,
     "s6lm",
     4096,
     {2220, 456, 24},
     {2224, 456, 12},
     {2232, 1584, 24},
     {2216, 1008, 24},
     3228,
     3220,
     169280,
     165472,
     0,
     48},
    {5,
     "s5l",
     4096,
     {2124, 672, 12},
     {2128, 660, 12},
     {2136, 1056, 12},
     {2120, 1008, 24},
     3132,
     3124,
     158720,
     155136,
     0,
     48},
}};

uint32_t clock_word(const ClockDefault& clock) {
  return ((clock.mhz / clock.step - 1) << 24) | PLL_CONTROL_BITS;
}

ByteImage make_bootstrap(const BootChainLayout& layout) {
  ByteImage image(layout.bootstrap_size, 0);
  PseudoRandom random(0xB575'0000ULL + static_cast<uint64_t>(layout.slot));
  fill_code(image, random);
  put_text(image, 0, "KAVRO-BST " + layout.platform);
  for (const ClockDefault* clock : {&layout.core, &layout.idsp, &layout.dram, &layout.cortex}) {
    put_u32_le(image, static_cast<std::size_t>(clock->offset), clock_word(*clock));
  }
  put_u32_le(image, static_cast<std::size_t>(layout.bld_size_offset), UNSET_WORD);
  put_u32_le(image, static_cast<std::size_t>(layout.bld_load_addr_offset), UNSET_WORD);
  return image;
}

// The shipped key block: both magic words, six empty key slots and an end word of 1.
void put_empty_key_block(ByteImage& image, std::size_t offset) {
  if (offset + KEY_BLOCK_SIZE > image.size()) {
    throw std::out_of_range("key block does not fit the bootloader image");
  }
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(offset), KEY_BLOCK_SIZE, uint8_t{0});
  put_u32_le(image, offset, KEY_BLOCK_MAGIC_0);
  put_u32_le(image, offset + 4, KEY_BLOCK_MAGIC_1);
  put_u32_le(image, offset + KEY_BLOCK_END_WORD, 1);
}

ByteImage make_bootloader(const BootChainLayout& layout) {
  ByteImage image(layout.bootloader_size, 0);
  PseudoRandom random(0xB1D0'0000ULL + static_cast<uint64_t>(layout.slot));
  fill_code(image, random);
  put_text(image, 0, "KAVRO-BLD " + layout.platform);
  put_empty_key_block(image, static_cast<std::size_t>(layout.public_key_offset));
  return image;
}

ByteImage make_misc(const BootChainLayout& layout) {
  ByteImage image(layout.misc_size, 0);
  put_text(image, 0, "KAVRO-MISC " + layout.platform);
  return image;
}

}  // namespace

const BootChainLayout& boot_chain_layout(int slot) {
  for (const auto& layout : LAYOUTS) {
    if (layout.slot == slot) {
      return layout;
    }
  }
  throw std::invalid_argument("no built-in base archive " + std::to_string(slot));
}

void write_base_images(int slot, const std::filesystem::path& folder) {
  const BootChainLayout& layout = boot_chain_layout(slot);
  const ByteImage bootstrap = make_bootstrap(layout);
  const ByteImage bootloader = make_bootloader(layout);
  const ByteImage misc = make_misc(layout);
  const std::vector<ManifestPartition> partitions = {
      {PART_BOOTSTRAP,
       bootstrap,
       {{PARTITION_KEY_REQUIRED_FIXED_SIZE, BOOTSTRAP_FIXED_SIZE},
        {PARTITION_KEY_COREMHZ_OFFSET, layout.core.offset},
        {PARTITION_KEY_IDSPMHZ_OFFSET, layout.idsp.offset},
        {PARTITION_KEY_DRAMMHZ_OFFSET, layout.dram.offset},
        {PARTITION_KEY_CORTEXMHZ_OFFSET, layout.cortex.offset},
        {PARTITION_KEY_BLD_SIZE_OFFSET, layout.bld_size_offset},
        {PARTITION_KEY_BLD_LOAD_ADDR_OFFSET, layout.bld_load_addr_offset}}},
      {PART_BOOTLOADER,
       bootloader,
       {{PARTITION_KEY_LOAD_ADDRESS, layout.bootloader_load_address},
        {PARTITION_KEY_PUBLIC_KEY_OFFSET, layout.public_key_offset}}},
      {PART_MISC, misc, {}},
  };
  write_archive_inputs(folder, layout.platform, GENERATED_FIRMWARE_VERSION, partitions);
}

}  // namespace datagen
