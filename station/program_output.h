#pragma once

// Runs a helper program to its end and takes what it writes: the `usbip` command of the USB/IP
// tools, which does the protocol work for remote modules, and the flasher asked its version.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace station {

// `program arguments...`'s standard output, or nothing when it failed or took longer than
// `limit` (it is killed then: a remote host that went away must not hold the station up).
// The program is looked up on PATH unless it names a path.
std::optional<std::string> program_output(const std::string& program,
                                          const std::vector<std::string>& arguments,
                                          std::chrono::milliseconds limit);

}  // namespace station
