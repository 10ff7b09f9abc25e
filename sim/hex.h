#pragma once
// Digests and signatures as lowercase hexadecimal text, the way module.json and the simulator
// configuration carry them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

std::string to_hex(std::span<const uint8_t> bytes);
// Nothing for text of odd length or with a character that is not a hexadecimal digit.
std::optional<std::vector<uint8_t>> from_hex(std::string_view text);

}  // namespace sim
