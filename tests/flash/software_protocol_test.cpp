#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "flash/software_protocol.h"

// The software-mode blocks byte for byte, as the flash bootloader reads them: each builder's
// output against its fields at their offsets, every other byte zero; and the response parser.
// Whole sessions check the same blocks only as the simulator decodes them.
namespace {

std::vector<uint8_t> hex(std::string_view text) {
  std::vector<uint8_t> bytes;
  for (size_t at = 0; at + 1 < text.size(); at += 3) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(std::string(text.substr(at, 2)), nullptr, 16)));
  }
  return bytes;
}

// `length` zero bytes with each field's bytes at its offset.
std::vector<uint8_t> laid_out(size_t length,
                              std::vector<std::pair<size_t, std::vector<uint8_t>>> fields) {
  std::vector<uint8_t> bytes(length);
  for (const auto& [offset, field] : fields) {
    std::copy(field.begin(), field.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  return bytes;
}

template <size_t Length>
std::vector<uint8_t> built(const sw_bytes<Length>& block) {
  return {block.begin(), block.end()};
}

TEST(SoftwareProtocol, EveryBlockByteForByte) {
  sw_partition_layout layout{.ota_enabled = 1,
                             .kernel_maxsize = 0x1000000,
                             .rootfs_maxsize = 0x123456789,
                             .custom_count = 2,
                             .move_calib = 1};
  layout.custom = {{{"abcdefghij", 0x100000005}, {"cal", 2}, {"beyond", 7}}};
  std::array<uint8_t, SW_SIGNATURE_FIELD_LENGTH> signature{};
  std::iota(signature.begin(), signature.end(), uint8_t{0});
  const std::vector<uint8_t> whole_signature(signature.begin(), signature.end());
  const std::tuple<const char*, std::vector<uint8_t>, std::vector<uint8_t>> rows[] = {
      // Sizes go high word first; names are cut to 8 bytes; entries beyond the count stay zero.
      {"partition details", built(sw_partition_details(layout)),
       laid_out(164, {{0, hex("44 4D 43 4B 01 00 00 00 01 00 00 00 00 00 00 00 00 00 00 01")},
                      {20, hex("01 00 00 00 89 67 45 23 02 00 00 00 61 62 63 64 65 66 67 68")},
                      {40, hex("01 00 00 00 05 00 00 00 63 61 6C 00 00 00 00 00")},
                      {60, hex("02 00 00 00")},
                      {160, hex("01 00 00 00")}})},
      {"image header", built(sw_image_header("bst", 0x100000010, {16, true, 0xDEADBEEF}, 1u << 31)),
       laid_out(52, {{0, hex("44 4D 43 4B 02 00 00 00 62 73 74 00 00 00 00 00 01 00 00 00")},
                     {20, hex("10 00 00 00 10 00 00 00 00 00 00 00 01 00 00 00 EF BE AD DE")},
                     {40, hex("00 00 00 80")}})},
      {"block header", built(sw_block_header({0x204020, true, 0x04030201})),
       hex("44 4D 43 4B 03 00 00 00 20 40 20 00 00 00 00 00 01 00 00 00 01 02 03 04")},
      {"erase", built(sw_erase_partition("rfa")),
       hex("44 4D 43 4B 04 00 00 00 72 66 61 00 00 00 00 00")},
      {"partition table write", built(sw_ptb_write()), hex("44 4D 43 4B 05 00 00 00")},
      {"reboot", built(sw_reboot()), hex("44 4D 43 4B 06 00 00 00")},
      {"device id", built(sw_device_id(3)), hex("44 4D 43 4B 07 00 00 00 03 00 00 00")},
      {"signature", built(sw_signature("bld", signature)),
       laid_out(272, {{0, hex("44 4D 43 4B 08 00 00 00 62 6C 64")}, {16, whole_signature}})},
  };
  for (const auto& [what, bytes, expected] : rows) {
    EXPECT_EQ(bytes, expected) << what;
  }

  // Bytes 8 to 15 of a response are not read; a response without its signature has no status.
  std::array<uint8_t, 16> response{};
  response[8] = 0xFF;
  for (const auto& [head, status] : {std::pair("50 53 52 4B 05 00 00 00", std::optional(5u)),
                                     {"50 53 52 4B 00 00 00 00", std::optional(0u)},
                                     {"4E 41 43 4B 00 00 00 00", std::optional<uint32_t>()}}) {
    const std::vector<uint8_t> bytes = hex(head);
    std::copy(bytes.begin(), bytes.end(), response.begin());
    EXPECT_EQ(sw_response_status(response), status) << head;
  }
}

}  // namespace
