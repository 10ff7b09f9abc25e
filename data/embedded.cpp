// The blobs linked into the program, found by product row or slot.

#include "data/embedded.h"

#include <array>

namespace embedded {

namespace {

struct Blob {
  const uint8_t* start;
  const uint8_t* end;
};

// Numbered like the product rows: slot 0 is unused so that script and archive N sit at N.
constexpr int SLOT_COUNT = 10;

const std::array<Blob, SLOT_COUNT> ads_blobs = {{
    {nullptr, nullptr},
    {ads1_start, ads1_end},
    {ads2_start, ads2_end},
    {ads3_start, ads3_end},
    {ads4_start, ads4_end},
    {ads5_start, ads5_end},
    {ads6_start, ads6_end},
    {ads7_start, ads7_end},
    {ads8_start, ads8_end},
    {ads9_start, ads9_end},
}};

const std::array<Blob, SLOT_COUNT> base_blobs = {{
    {nullptr, nullptr},
    {base1_start, base1_end},
    {base2_start, base2_end},
    {base3_start, base3_end},
    {base4_start, base4_end},
    {base5_start, base5_end},
    {base6_start, base6_end},
    {base7_start, base7_end},
    {base8_start, base8_end},
    {base9_start, base9_end},
}};

std::span<const uint8_t> slot_bytes(const std::array<Blob, SLOT_COUNT>& blobs, int number) {
  if (number < 1 || number >= SLOT_COUNT) {
    return {};
  }
  const Blob& blob = blobs[static_cast<std::size_t>(number)];
  return {blob.start, blob.end};
}

}  // namespace

std::span<const uint8_t> flash_bootloader() {
  return {flash_bld_start, flash_bld_end};
}

std::span<const uint8_t> ads_script(int number) {
  return slot_bytes(ads_blobs, number);
}

std::span<const uint8_t> base_archive(int number) {
  return slot_bytes(base_blobs, number);
}

std::string_view publisher_public_key() {
  return public_key_start;
}

}  // namespace embedded
