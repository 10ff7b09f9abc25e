// The command line of kavro-usbredir-sim and its overrides of the module configuration.

#include "sim/usbredir/server_options.h"

#include <getopt.h>

#include <charconv>
#include <string_view>

namespace sim::redir {
namespace {

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
  Number value{};
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (failure != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<ServerOptions> parse_server_options(int argc, char** argv, std::string& error) {
  enum : int { kListen = 256, kConfig, kPlatform, kPort, kRevision, kFlashDir, kTimeout, kVerbose };
  static constexpr option kLongOptions[] = {
      {"listen", required_argument, nullptr, kListen},
      {"config", required_argument, nullptr, kConfig},
      {"platform", required_argument, nullptr, kPlatform},
      {"port", required_argument, nullptr, kPort},
      {"revision", required_argument, nullptr, kRevision},
      {"flash-dir", required_argument, nullptr, kFlashDir},
      {"accept-timeout", required_argument, nullptr, kTimeout},
      {"verbose", no_argument, nullptr, kVerbose},
      {nullptr, 0, nullptr, 0},
  };
  ServerOptions options;
  optind = 1;
  opterr = 0;
  int code = 0;
  while ((code = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1) {
    const std::string_view value = optarg != nullptr ? optarg : "";
    switch (code) {
      case kListen:
        options.listen = value;
        break;
      case kConfig:
        options.config_path = value;
        break;
      case kPlatform:
        options.platform = value;
        break;
      case kPort:
        options.port = value;
        break;
      case kRevision:
        options.revision = parse_number<uint32_t>(value);
        if (!options.revision) {
          error = "--revision needs a number, not '" + std::string(value) + "'";
          return std::nullopt;
        }
        break;
      case kFlashDir:
        options.flash_dir = value;
        break;
      case kTimeout: {
        const auto seconds = parse_number<unsigned>(value);
        if (!seconds || *seconds == 0) {
          error = "--accept-timeout needs a positive number of seconds, not '" +
                  std::string(value) + "'";
          return std::nullopt;
        }
        options.accept_timeout = std::chrono::seconds(*seconds);
        break;
      }
      case kVerbose:
        options.verbose = true;
        break;
      default:
        error = "unknown option or missing value: " + std::string(argv[optind - 1]);
        return std::nullopt;
    }
  }
  if (optind < argc) {
    error = "unexpected argument: " + std::string(argv[optind]);
    return std::nullopt;
  }
  if (options.listen.empty()) {
    error = "--listen is required";
    return std::nullopt;
  }
  return options;
}

void apply_overrides(const ServerOptions& options, ModuleConfig& module) {
  if (options.platform) {
    module.platform = *options.platform;
  }
  if (options.port) {
    module.port = *options.port;
  }
  if (options.revision) {
    module.revision = *options.revision;
    module.adc_reading.reset();
  }
  if (options.flash_dir) {
    module.flash_dir = *options.flash_dir;
  }
}

}  // namespace sim::redir
