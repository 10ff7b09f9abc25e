#pragma once

#include <cstdint>

struct kavro_archive_t;
struct kavro_settings;

inline constexpr int KEY_BLOCK_SIZE = 3084;
inline constexpr int SECURE_BOOT_KEY_SIZE = 512;

// Patches one transfer buffer of a bootstrap (clock bytes, bootloader size and load address)
// or bootloader (secure-boot key block) image in place; other partitions pass through.
int kavro_param_update_firmware_block(kavro_archive_t* base_archive, kavro_settings* settings,
                                      uint32_t hw_version, int partition,
                                      const uint8_t* public_key, int64_t offset, uint8_t* buffer,
                                      int64_t length);
