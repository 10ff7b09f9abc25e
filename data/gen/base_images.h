#pragma once
// Generated base-archive images: clocks, layout and the boot chain of each product slot.

#include <cstdint>
#include <filesystem>
#include <string>

namespace datagen {

// Default frequency (MHz) and PLL step (MHz) of one clock in a generated bootstrap image. The
// clock word's top byte holds the multiplier v for (v + 1) * step MHz.
struct ClockDefault {
  int32_t offset;
  uint32_t mhz;
  uint32_t step;
};

// Where a platform's boot chain keeps its patchable parameters, and the image sizes. Offsets
// are byte offsets of 32-bit words inside the bootstrap (clocks, bootloader size and load
// address) and of the secure-boot key block inside the bootloader.
struct BootChainLayout {
  int slot;  // built-in base archive number (product row)
  std::string platform;
  uint32_t bootstrap_size;
  ClockDefault core, idsp, dram, cortex;
  int32_t bld_size_offset;
  int32_t bld_load_addr_offset;
  uint32_t bootloader_size;
  int32_t public_key_offset;
  int64_t bootloader_load_address;
  uint32_t misc_size;
};

// The layout of built-in base archive `slot` (1 to 5); throws for any other slot.
const BootChainLayout& boot_chain_layout(int slot);

// Writes bst.bin, bld.bin, msc.bin and manifest.json of base archive `slot` into `folder`.
void write_base_images(int slot, const std::filesystem::path& folder);

}  // namespace datagen
