#pragma once
// The command line of kavro-usbredir-sim.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/module_config.h"

namespace sim::redir {

struct ServerOptions {
  std::string listen;       // "unix:PATH" or "tcp:PORT"
  std::string config_path;  // simulator module config (JSON) with exactly one module
  std::optional<std::string> platform;
  std::optional<std::string> port;
  std::optional<uint32_t> revision;
  std::optional<std::string> flash_dir;
  std::chrono::seconds accept_timeout{60};
  bool verbose = false;
};

inline constexpr const char* kUsage =
    "usage: kavro-usbredir-sim --listen unix:PATH|tcp:PORT [--config FILE]\n"
    "                          [--platform NAME] [--port PATH] [--revision N]\n"
    "                          [--flash-dir DIR] [--accept-timeout SECONDS] [--verbose]\n"
    "Serves one simulated module to QEMU's usb-redir device. --config takes the simulator's\n"
    "module configuration (faults, timing, ...) with exactly one module; the other options\n"
    "override its fields. Without --config the module is a cv22, revision 0, on port 1-1.\n";

// Returns nothing and sets `error` for an unknown option, a missing or malformed value, or a
// missing --listen.
std::optional<ServerOptions> parse_server_options(int argc, char** argv, std::string& error);

// Applies the command-line overrides to the module's configuration.
void apply_overrides(const ServerOptions& options, ModuleConfig& module);

}  // namespace sim::redir
