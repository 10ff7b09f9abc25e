#pragma once
// The blobs built into the program: flash bootloader, bring-up scripts, base archives, key.

#include <cstdint>
#include <span>
#include <string_view>

// Blobs linked into the program image. Each is delimited by a start and an end symbol.
extern "C" {
extern const uint8_t flash_bld_start[], flash_bld_end[];
extern const uint8_t ads1_start[], ads1_end[], ads2_start[], ads2_end[], ads3_start[], ads3_end[];
extern const uint8_t ads4_start[], ads4_end[], ads5_start[], ads5_end[], ads6_start[], ads6_end[];
extern const uint8_t ads7_start[], ads7_end[], ads8_start[], ads8_end[], ads9_start[], ads9_end[];
extern const uint8_t base1_start[], base1_end[], base2_start[], base2_end[];
extern const uint8_t base3_start[], base3_end[], base4_start[], base4_end[];
extern const uint8_t base5_start[], base5_end[], base6_start[], base6_end[];
extern const uint8_t base7_start[], base7_end[], base8_start[], base8_end[];
extern const uint8_t base9_start[], base9_end[];
extern const char public_key_start[];  // NUL-terminated PEM text
}

namespace embedded {
std::span<const uint8_t> flash_bootloader();
std::span<const uint8_t> ads_script(int number);    // 1..9; empty span otherwise
std::span<const uint8_t> base_archive(int number);  // 1..9; empty span otherwise
std::string_view publisher_public_key();            // the PEM text, without its NUL
}  // namespace embedded
