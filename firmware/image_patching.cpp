// Patching bootstrap and bootloader blocks on their way to the module: clock words, bootloader
// size and load address, and the secure-boot key block.

#include "firmware/image_patching.h"
#include "common/little_endian.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "firmware/archive.h"
#include "firmware/settings.h"

namespace {

// How a platform turns a clock frequency into the PLL multiplier byte of its bootstrap: the
// byte v stands for (v + 1) * step MHz; a request above the maximum would overclock the module.
struct pll_entry {
  std::string_view name;
  int32_t core_step;
  int32_t idsp_step;
  int32_t dram_step;
  int32_t cortex_step;
  int32_t core_max;
  int32_t idsp_max;
  int32_t dram_max;
  int32_t cortex_max;
  int32_t hw_version;
};

constexpr std::array<pll_entry, 7> pll_config = {{
    {"software", 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {"s5l", 12, 12, 12, 24, 564, 660, 912, 1008, 0},
    {"cv22", 24, 12, 24, 24, 792, 792, 1800, 1008, 0},
    {"cv25", 24, 24, 24, 24, 504, 504, 1596, 1008, 0},
    {"s6lm", 24, 12, 24, 24, 456, 456, 1596, 1008, 0},
    {"s5l", 12, 12, 12, 24, 672, 660, 1056, 1008, 1},
    {"cv28", 24, 12, 24, 24, 456, 456, 1596, 1008, 0},
}};

constexpr uint32_t KEY_BLOCK_MAGIC_0 = 0x5055424C;
constexpr uint32_t KEY_BLOCK_MAGIC_1 = 0x4B455953;
constexpr int KEY_BLOCK_FIRST_SLOT = 8;
constexpr int KEY_BLOCK_USER_SLOTS = 4;
constexpr int KEY_BLOCK_END_WORD = 3080;
// A clock's multiplier is the most significant byte of its little-endian word.
constexpr int CLOCK_BYTE = 3;

// The manifest values the bootstrap patch needs: where the bootstrap keeps each value, and the
// bootloader that follows it. Missing entries come back negative from the archive queries.
struct bootstrap_params {
  int64_t bld_load_addr_offset;
  int64_t bld_size_offset;
  int64_t coremhz_offset;
  int64_t idspmhz_offset;
  int64_t drammhz_offset;
  int64_t cortexmhz_offset;
  int64_t bld_size;
  int64_t bld_load_address;
};

struct clock_settings {
  int32_t core_mhz = 0;
  int32_t idsp_mhz = 0;
  int32_t dram_mhz = 0;
  int32_t cortex_mhz = 0;
};

// The part of a partition image that one call sees: `length` bytes starting at image offset
// `offset`.
class image_window {
 public:
  image_window(int64_t offset, uint8_t* buffer, int64_t length)
      : offset_(offset), buffer_(buffer), length_(length) {}

  bool starts_inside(int64_t location) const {
    return location >= offset_ && location < offset_ + length_;
  }
  bool word_ends_inside(int64_t location) const { return location <= offset_ + length_ - 4; }
  uint8_t* at(int64_t location) const { return buffer_ + (location - offset_); }

 private:
  int64_t offset_;
  uint8_t* buffer_;
  int64_t length_;
};

bootstrap_params read_bootstrap_params(kavro_archive_t* archive) {
  const auto bootstrap = [&archive](uint32_t selector) {
    return kavro_archive_get_partition_param(&archive, PART_BOOTSTRAP, selector);
  };
  return {
      bootstrap(PARAM_BLD_LOAD_ADDR_OFFSET),
      bootstrap(PARAM_BLD_SIZE_OFFSET),
      bootstrap(PARAM_COREMHZ_OFFSET),
      bootstrap(PARAM_IDSPMHZ_OFFSET),
      bootstrap(PARAM_DRAMMHZ_OFFSET),
      bootstrap(PARAM_CORTEXMHZ_OFFSET),
      kavro_archive_get_partition_size(&archive, PART_BOOTLOADER),
      kavro_archive_get_partition_param(&archive, PART_BOOTLOADER, PARAM_LOAD_ADDRESS),
  };
}

// The last row whose name begins the platform text and whose revision matches, or null.
const pll_entry* find_pll_entry(const char* platform, uint32_t hw_version) {
  if (platform == nullptr) {
    return nullptr;
  }
  const std::string_view text(platform);
  const pll_entry* found = nullptr;
  for (const auto& entry : pll_config) {
    if (text.substr(0, entry.name.size()) == entry.name &&
        static_cast<uint32_t>(entry.hw_version) == hw_version) {
      found = &entry;
    }
  }
  return found;
}

// The settings store the frequencies unsigned; a value that does not fit a signed 32-bit
// number counts as not set, like 0.
clock_settings read_clock_settings(kavro_settings* settings) {
  if (settings == nullptr) {
    return {};
  }
  return {
      static_cast<int32_t>(kavro_settings_get_core_mhz(&settings)),
      static_cast<int32_t>(kavro_settings_get_idsp_mhz(&settings)),
      static_cast<int32_t>(kavro_settings_get_dram_mhz(&settings)),
      static_cast<int32_t>(kavro_settings_get_cortex_mhz(&settings)),
  };
}

int check_bootstrap_params(const bootstrap_params& params) {
  if (params.bld_load_addr_offset < 1) {
    return PARAM_UPDATE_BLD_LOAD_ADDR_OFFSET;
  }
  if (params.bld_size_offset < 1) {
    return PARAM_UPDATE_BLD_SIZE_OFFSET;
  }
  if (params.coremhz_offset < 1) {
    return PARAM_UPDATE_COREMHZ_OFFSET;
  }
  if (params.idspmhz_offset < 1) {
    return PARAM_UPDATE_IDSPMHZ_OFFSET;
  }
  if (params.drammhz_offset < 1) {
    return PARAM_UPDATE_DRAMMHZ_OFFSET;
  }
  if (params.cortexmhz_offset < 1) {
    return PARAM_UPDATE_CORTEXMHZ_OFFSET;
  }
  if (params.bld_size < 1) {
    return PARAM_UPDATE_BLD_SIZE;
  }
  if (params.bld_load_address < 0) {
    return PARAM_UPDATE_BLD_LOAD_ADDRESS;
  }
  return PARAM_UPDATE_OK;
}

int patch_word(const image_window& window, int64_t location, int64_t value) {
  if (!window.starts_inside(location)) {
    return PARAM_UPDATE_OK;
  }
  if (!window.word_ends_inside(location)) {
    return PARAM_UPDATE_WORD_SPLIT;
  }
  store_le32({window.at(location), 4}, 0, static_cast<uint32_t>(value));
  return PARAM_UPDATE_OK;
}

// One clock word of the bootstrap and the frequency asked for it.
struct clock_location {
  int64_t offset;
  int32_t mhz;
  int32_t step;
  int32_t max_mhz;
};

// Core, IDSP, DRAM, Cortex: the order in which the clocks are patched.
std::array<clock_location, 4> clock_locations(const bootstrap_params& params,
                                              const clock_settings& clocks, const pll_entry& pll) {
  return {{
      {params.coremhz_offset, clocks.core_mhz, pll.core_step, pll.core_max},
      {params.idspmhz_offset, clocks.idsp_mhz, pll.idsp_step, pll.idsp_max},
      {params.drammhz_offset, clocks.dram_mhz, pll.dram_step, pll.dram_max},
      {params.cortexmhz_offset, clocks.cortex_mhz, pll.cortex_step, pll.cortex_max},
  }};
}

// A request below one step is refused like one above the maximum: its multiplier would be -1,
// which as a byte is 255, the fastest setting of all.
int patch_clock(const image_window& window, const clock_location& clock) {
  if (clock.mhz <= 0 || !window.starts_inside(clock.offset)) {
    return PARAM_UPDATE_OK;
  }
  if (!window.word_ends_inside(clock.offset)) {
    return PARAM_UPDATE_WORD_SPLIT;
  }
  if (clock.mhz > clock.max_mhz || clock.mhz < clock.step) {
    return PARAM_UPDATE_CLOCK_OUT_OF_RANGE;
  }
  window.at(clock.offset)[CLOCK_BYTE] = static_cast<uint8_t>(clock.mhz / clock.step - 1);
  return PARAM_UPDATE_OK;
}

// Writes the bootloader's load address and size, then the requested clocks, into whichever of
// their words this buffer holds. The manifest checks run on every call so that a broken base
// archive fails on its first buffer, not only on the one holding the bad location.
int update_bst(kavro_archive_t* archive, kavro_settings* settings, uint32_t hw_version,
               int64_t offset, uint8_t* buffer, int64_t length) {
  const bootstrap_params params = read_bootstrap_params(archive);
  const pll_entry* pll = find_pll_entry(kavro_archive_get_platform(&archive), hw_version);
  if (pll == nullptr) {
    return PARAM_UPDATE_NO_PLL_CONFIG;
  }
  const clock_settings clocks = read_clock_settings(settings);
  if (const int invalid = check_bootstrap_params(params); invalid != PARAM_UPDATE_OK) {
    return invalid;
  }

  const image_window window(offset, buffer, length);
  const std::array<std::pair<int64_t, int64_t>, 2> words = {{
      {params.bld_load_addr_offset, params.bld_load_address},
      {params.bld_size_offset, params.bld_size},
  }};
  for (const auto& [location, value] : words) {
    if (const int result = patch_word(window, location, value); result != PARAM_UPDATE_OK) {
      return result;
    }
  }
  for (const auto& clock : clock_locations(params, clocks, *pll)) {
    if (const int result = patch_clock(window, clock); result != PARAM_UPDATE_OK) {
      return result;
    }
  }
  return PARAM_UPDATE_OK;
}

// The block the bootloader reads its secure-boot keys from. The user's key fills slots 1 to 4.
// Slots 5 and 6 are written as zeros: nothing in this tool owns them, the shipped images hold
// zeros there, and zeroing them keeps a key left behind by an earlier image from surviving
// into a module flashed with another key (or with none).
std::array<uint8_t, KEY_BLOCK_SIZE> make_key_block(const uint8_t* public_key) {
  std::array<uint8_t, KEY_BLOCK_SIZE> block{};
  store_le32(block, 0, KEY_BLOCK_MAGIC_0);
  store_le32(block, 4, KEY_BLOCK_MAGIC_1);
  if (public_key != nullptr) {
    for (int slot = 0; slot < KEY_BLOCK_USER_SLOTS; ++slot) {
      std::memcpy(block.data() + KEY_BLOCK_FIRST_SLOT + slot * SECURE_BOOT_KEY_SIZE, public_key,
                  SECURE_BOOT_KEY_SIZE);
    }
  }
  store_le32(block, KEY_BLOCK_END_WORD, 0);
  return block;
}

// Copies the part of the key block that falls into this buffer; a block split over several
// buffers is completed by the calls for each of them.
int update_bld(kavro_archive_t* archive, const uint8_t* public_key, int64_t offset, uint8_t* buffer,
               int64_t length) {
  const int64_t block_offset =
      kavro_archive_get_partition_param(&archive, PART_BOOTLOADER, PARAM_PUBLIC_KEY_OFFSET);
  if (block_offset < 1) {
    return PARAM_UPDATE_PUBLIC_KEY_OFFSET;
  }
  // An empty buffer (possibly null) overlaps nothing, wherever it lies.
  if (length == 0 || offset >= block_offset + KEY_BLOCK_SIZE || block_offset >= offset + length) {
    return PARAM_UPDATE_OK;
  }
  const std::array<uint8_t, KEY_BLOCK_SIZE> block = make_key_block(public_key);
  int64_t destination = block_offset - offset;
  int64_t source = 0;
  if (destination < 0) {
    source = -destination;
    destination = 0;
  }
  const int64_t count = std::min<int64_t>(KEY_BLOCK_SIZE - source, length - destination);
  std::memcpy(buffer + destination, block.data() + source, static_cast<size_t>(count));
  return PARAM_UPDATE_OK;
}

}  // namespace

int kavro_param_update_firmware_block(kavro_archive_t* base_archive, kavro_settings* settings,
                                      uint32_t hw_version, int partition, const uint8_t* public_key,
                                      int64_t offset, uint8_t* buffer, int64_t length) {
  if (partition != PART_BOOTSTRAP && partition != PART_BOOTLOADER) {
    return PARAM_UPDATE_OK;
  }
  const bool window_valid =
      offset >= 0 && length >= 0 && length <= std::numeric_limits<int64_t>::max() - offset;
  if (!window_valid || (buffer == nullptr && length > 0)) {
    return PARAM_UPDATE_INVALID_BUFFER;
  }
  if (partition == PART_BOOTSTRAP) {
    return update_bst(base_archive, settings, hw_version, offset, buffer, length);
  }
  return update_bld(base_archive, public_key, offset, buffer, length);
}
