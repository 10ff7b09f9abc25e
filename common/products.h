#pragma once
// The product table: every chip platform the tools know, with its USB ids and platform mask.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The chip platforms the tool knows. Row 0 is a module running the flash bootloader; rows 1
// to 6 are boot-ROM platforms, and a row's number is also the number of its built-in
// bring-up script and built-in base archive.
struct product_entry {
  char name[64];
  uint32_t usb_vid;
  uint32_t usb_pid;
  uint32_t platform_mask;
  uint32_t hw_version;
};

inline constexpr uint32_t KAVRO_USB_VID = 0x4255;
inline constexpr uint32_t KAVRO_SOFTWARE_PID = 0x4250;
inline constexpr int PRODUCT_ROW_COUNT = 7;

inline constexpr std::array<product_entry, PRODUCT_ROW_COUNT> product_table{{
    {"SOFTWARE", KAVRO_USB_VID, KAVRO_SOFTWARE_PID, 0x00, 0},
    {"s5l", KAVRO_USB_VID, 0x0010, 0x01, 0},
    {"cv22", KAVRO_USB_VID, 0x0013, 0x02, 0},
    {"cv25", KAVRO_USB_VID, 0x0014, 0x04, 0},
    {"s6lm", KAVRO_USB_VID, 0x0015, 0x08, 0},
    {"s5l", KAVRO_USB_VID, 0x0010, 0x01, 1},
    {"cv28", KAVRO_USB_VID, 0x0017, 0x10, 0},
}};

// True when `text` begins with `name` (compared over the length of `name`), the matching rule
// every platform lookup uses: "cv22-lite" selects the "cv22" row.
constexpr bool platform_has_prefix(std::string_view text, std::string_view name) {
  return text.substr(0, name.size()) == name;
}

// First row 1..6 whose name prefixes `platform` and whose hw_version equals `revision`;
// -1 when none matches.
constexpr int product_row_for(std::string_view platform, uint32_t revision) {
  for (int row = 1; row < PRODUCT_ROW_COUNT; ++row) {
    const auto& entry = product_table[row];
    if (platform_has_prefix(platform, entry.name) && entry.hw_version == revision) {
      return row;
    }
  }
  return -1;
}

// True when some row 1 to 6 matches `platform`, whatever its hardware revision: a platform
// that every lookup refuses is none of these.
constexpr bool is_known_platform(std::string_view platform) {
  for (int row = 1; row < PRODUCT_ROW_COUNT; ++row) {
    if (platform_has_prefix(platform, product_table[row].name)) {
      return true;
    }
  }
  return false;
}

// The platform names of rows 1 to 6, each once, for messages: "s5l, cv22, cv25, s6lm and cv28".
inline std::string known_platform_names() {
  std::array<std::string_view, PRODUCT_ROW_COUNT> names{};
  size_t count = 0;
  for (int row = 1; row < PRODUCT_ROW_COUNT; ++row) {
    const std::string_view name = product_table[row].name;
    if (std::find(names.begin(), names.begin() + count, name) == names.begin() + count) {
      names[count++] = name;
    }
  }
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += i == 0 ? "" : i + 1 == count ? " and " : ", ";
    text += names[i];
  }
  return text;
}
