#pragma once
// Patching of bootstrap and bootloader images as they stream to a module, and its codes.

#include <cstdint>

struct kavro_archive_t;
struct kavro_settings;

inline constexpr int KEY_BLOCK_SIZE = 3084;
inline constexpr int SECURE_BOOT_KEY_SIZE = 512;

// Result codes of kavro_param_update_firmware_block.
inline constexpr int PARAM_UPDATE_OK = 0;
// A null buffer with bytes, a negative offset or length, or an offset + length beyond int64.
inline constexpr int PARAM_UPDATE_INVALID_BUFFER = -1;
inline constexpr int PARAM_UPDATE_BLD_SIZE_OFFSET = -2;
inline constexpr int PARAM_UPDATE_BLD_LOAD_ADDR_OFFSET = -3;
inline constexpr int PARAM_UPDATE_BLD_SIZE = -4;
inline constexpr int PARAM_UPDATE_BLD_LOAD_ADDRESS = -5;
inline constexpr int PARAM_UPDATE_WORD_SPLIT = -6;
inline constexpr int PARAM_UPDATE_COREMHZ_OFFSET = -7;
inline constexpr int PARAM_UPDATE_IDSPMHZ_OFFSET = -8;
inline constexpr int PARAM_UPDATE_DRAMMHZ_OFFSET = -9;
inline constexpr int PARAM_UPDATE_CORTEXMHZ_OFFSET = -10;
inline constexpr int PARAM_UPDATE_NO_PLL_CONFIG = -11;
inline constexpr int PARAM_UPDATE_CLOCK_OUT_OF_RANGE = -12;
inline constexpr int PARAM_UPDATE_PUBLIC_KEY_OFFSET = -13;

// Patches one transfer buffer of a bootstrap (clock bytes, bootloader size and load address)
// or bootloader (secure-boot key block) image in place; other partitions pass through.
// `public_key` points to SECURE_BOOT_KEY_SIZE bytes; null stands for no key (all zeros).
int kavro_param_update_firmware_block(kavro_archive_t* base_archive, kavro_settings* settings,
                                      uint32_t hw_version, int partition, const uint8_t* public_key,
                                      int64_t offset, uint8_t* buffer, int64_t length);
