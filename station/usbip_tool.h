#pragma once

// Runs the `usbip` command of the USB/IP tools, which does the protocol work for remote modules.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace station {

// `usbip arguments...`'s standard output, or nothing when it failed or took longer than
// `limit` (it is killed then: a remote host that went away must not hold the station up).
std::optional<std::string> run_usbip(const std::vector<std::string>& arguments,
                                     std::chrono::milliseconds limit);

}  // namespace station
