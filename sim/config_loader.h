#pragma once
// The simulator's configuration file (KAVRO_SIM_CONFIG):
//
//   {"modules": [{"port": "1-1", "platform": "cv22", "revision": 0, "flash_dir": "out/1",
//                 "attach_after_ms": 0, "reenumerate_ms": 50, "flash_capacity": 4294967296,
//                 "faults": [{"kind": "status", "command": "image_header", "occurrence": 2,
//                             "status": 5}],
//                 "timing": {"control_latency_us": 0, "bulk_bytes_per_second": 0,
//                            "flash_bytes_per_second": 0},
//                 "leave_after_ms": 0, "next": [{"platform": "cv25", "attach_after_ms": 500}]}]}
//
// Every key is optional except a fault's "kind" (and "status" for kind "status"); defaults
// are those of ModuleConfig. The modules in "next" follow on the same port in turn (a shift at a
// production line's hub); they name no port of their own. Unknown keys, wrong types, unknown
// platforms and the like are errors, never ignored.

#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "sim/module_config.h"

namespace sim {

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses configuration text; throws ConfigError with a message naming the offending item.
std::vector<ModuleConfig> parse_config(std::string_view text);
// Reads and parses a configuration file; the messages name the file.
std::vector<ModuleConfig> load_config(const std::filesystem::path& path);

}  // namespace sim
