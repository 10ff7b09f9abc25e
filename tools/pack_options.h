#pragma once
// The options of kavro-pack, per command: the command line takes only these, and kavro-pack(1)
// describes each (a test holds the two together).

#include <array>
#include <string_view>

namespace kavro_pack {

inline constexpr std::array<std::string_view, 5> BUILD_OPTIONS{"-m", "-o", "--format", "--sign-key",
                                                               "--sign"};
inline constexpr std::array<std::string_view, 1> VERIFY_OPTIONS{"-k"};
inline constexpr std::array<std::string_view, 0> LIST_OPTIONS{};
// Understood before or after any command.
inline constexpr std::array<std::string_view, 2> HELP_OPTIONS{"--help", "-h"};
inline constexpr std::string_view VERSION_OPTION = "--version";

}  // namespace kavro_pack
