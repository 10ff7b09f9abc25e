#pragma once
// Every key of the simulator's configuration file, as the loader checks them: a key not listed
// here is refused, and kavro-flash(1) describes each (a test holds the two together).

#include <array>
#include <span>
#include <string_view>

#include "sim/module_config.h"

namespace sim {

inline constexpr std::array<std::string_view, 1> kRootKeys{"modules"};
inline constexpr std::array<std::string_view, 17> kModuleKeys{"port",
                                                              "platform",
                                                              "serial",
                                                              "revision",
                                                              "adc_reading",
                                                              "flash_dir",
                                                              "attach_after_ms",
                                                              "leave_after_ms",
                                                              "reenumerate_ms",
                                                              "flash_capacity",
                                                              "bootloader_size",
                                                              "bootloader_sha256",
                                                              "keep_image_bytes",
                                                              "record_traffic",
                                                              "faults",
                                                              "timing",
                                                              "next"};
inline constexpr std::array<std::string_view, 3> kTimingKeys{
    "control_latency_us", "bulk_bytes_per_second", "flash_bytes_per_second"};

// Every fault names its kind; the other keys it takes depend on the kind.
inline constexpr std::string_view kFaultKindKey = "kind";

struct FaultKindName {
  std::string_view name;
  Fault::Kind kind;
  std::span<const std::string_view> keys;  // besides kFaultKindKey
};

inline constexpr std::array<std::string_view, 3> kSelectedFaultKeys{"command", "occurrence",
                                                                    "status"};
inline constexpr std::array<std::string_view, 2> kSignatureFaultKeys{"command", "occurrence"};
inline constexpr std::array<std::string_view, 4> kPointFaultKeys{
    "command", "occurrence", "after_control_transfers", "after_image_bytes"};
inline constexpr std::array<std::string_view, 3> kShortFaultKeys{"command", "occurrence",
                                                                 "piece_size"};

inline constexpr std::array<FaultKindName, 8> kFaultKinds{{
    {"status", Fault::Kind::Status, kSelectedFaultKeys},
    {"bad_signature", Fault::Kind::BadSignature, kSignatureFaultKeys},
    {"hang", Fault::Kind::Hang, kPointFaultKeys},
    {"unplug", Fault::Kind::Unplug, kPointFaultKeys},
    {"no_return", Fault::Kind::NoReturn, {}},
    {"short_responses", Fault::Kind::ShortResponses, kShortFaultKeys},
    {"poll_never_ready", Fault::Kind::PollNeverReady, {}},
    {"adc_never_done", Fault::Kind::AdcNeverDone, {}},
}};

}  // namespace sim
