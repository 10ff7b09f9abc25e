// Fillers that make placeholder images compress like firmware.

#include "data/gen/content_fill.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace datagen {

namespace {

constexpr std::array<uint32_t, 12> OPCODE_TEMPLATES = {
    0xE1A00000, 0xE5900000, 0xE5800000, 0xE2800000, 0xE3500000, 0x1A000000,
    0xEB000000, 0xE8BD0000, 0xE92D0000, 0xE0800000, 0xE3A00000, 0xE12FFF10,
};

constexpr std::array<std::string_view, 24> TEXT_WORDS = {
    "mount",    "/dev/mmcblk0p7", "rootfs", "ext4",  "export", "PATH=/usr/bin:/bin",
    "echo",     "insmod",         "kavro",  "clock", "dram",   "enable=1",
    "if",       "then",           "fi",     "case",  "esac",   "/etc/init.d/S20network",
    "ifconfig", "eth0",           "udhcpc", "-i",    "sensor", "video0",
};

void fill_bytes(std::span<uint8_t> region, PseudoRandom& random) {
  for (auto& byte : region) {
    byte = static_cast<uint8_t>(random.next() >> 56);
  }
}

uint32_t code_word(PseudoRandom& random) {
  if (random.below(16) == 0) {
    return static_cast<uint32_t>(random.next() >> 32);  // literal pool entry
  }
  const uint32_t opcode = OPCODE_TEMPLATES[random.below(OPCODE_TEMPLATES.size())];
  const uint32_t rn = random.below(8) << 16;
  const uint32_t rd = random.below(8) << 12;
  const uint32_t operand = random.below(4) == 0 ? random.below(256) : random.below(8);
  return opcode | rn | rd | operand;
}

}  // namespace

void fill_code(std::span<uint8_t> region, PseudoRandom& random) {
  std::size_t offset = 0;
  for (; offset + 4 <= region.size(); offset += 4) {
    const uint32_t word = code_word(random);
    for (std::size_t i = 0; i < 4; ++i) {
      region[offset + i] = static_cast<uint8_t>(word >> (8 * i));
    }
  }
  fill_bytes(region.subspan(offset), random);
}

void fill_text(std::span<uint8_t> region, PseudoRandom& random) {
  std::size_t offset = 0;
  while (offset < region.size()) {
    std::string_view piece = TEXT_WORDS[random.below(TEXT_WORDS.size())];
    const uint32_t separator = random.below(6);
    const char trailer = separator == 0 ? '\n' : (separator == 1 ? '=' : ' ');
    const std::size_t room = region.size() - offset;
    const std::size_t count = std::min(piece.size(), room);
    std::copy_n(piece.begin(), count, region.begin() + static_cast<std::ptrdiff_t>(offset));
    offset += count;
    if (offset < region.size()) {
      region[offset++] = static_cast<uint8_t>(trailer);
    }
  }
}

void fill_file_system(std::span<uint8_t> region, PseudoRandom& random) {
  std::size_t offset = 0;
  while (offset < region.size()) {
    const std::size_t chunk =
        std::min<std::size_t>(4096 * (1 + random.below(16)), region.size() - offset);
    const auto part = region.subspan(offset, chunk);
    const uint32_t kind = random.below(20);
    if (kind < 9) {
      fill_code(part, random);
    } else if (kind < 16) {
      fill_text(part, random);
    } else if (kind < 18) {
      std::fill(part.begin(), part.end(), uint8_t{0});
    } else {
      fill_bytes(part, random);
    }
    offset += chunk;
  }
}

}  // namespace datagen
