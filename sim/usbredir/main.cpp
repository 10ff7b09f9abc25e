// kavro-usbredir-sim: one simulated module (the simulator's boot ROM and flash bootloader
// model, with its faults and flash_dir output) served to QEMU's usb-redir device, so that a guest
// kernel enumerates it as a real high-speed USB device and the real libusb backend drives it.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <iostream>
#include <stdexcept>

#include "sim/config_loader.h"
#include "sim/usbredir/listener.h"
#include "sim/usbredir/redir_connection.h"
#include "sim/usbredir/server_options.h"
#include "sim/virtual_bus.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// SIGINT and SIGTERM arrive as a readable descriptor, so every wait can also watch for them.
// Blocked before any thread starts, so that no thread takes them in the ordinary way.
sim::redir::UniqueFd stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return sim::redir::UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

bool stop_requested(int stop_fd) {
  pollfd ready{stop_fd, POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0;
}

std::optional<sim::ModuleConfig> module_config(const sim::redir::ServerOptions& options,
                                               std::string& error) {
  sim::ModuleConfig module;
  if (!options.config_path.empty()) {
    try {
      auto modules = sim::load_config(options.config_path);
      if (modules.size() != 1) {
        error = options.config_path + ": describes " + std::to_string(modules.size()) +
                " modules; this server serves exactly one";
        return std::nullopt;
      }
      module = std::move(modules.front());
    } catch (const sim::ConfigError& failure) {
      error = failure.what();
      return std::nullopt;
    }
  }
  sim::redir::apply_overrides(options, module);
  // Nothing here inspects the module afterwards; flash_dir is where its results go.
  module.keep_image_bytes = false;
  module.record_traffic = false;
  return module;
}

}  // namespace

int main(int argc, char** argv) {
  const sim::redir::UniqueFd stop = stop_signals();
  std::string error;
  const auto options = sim::redir::parse_server_options(argc, argv, error);
  if (!options) {
    std::cerr << "kavro-usbredir-sim: " << error << "\n" << sim::redir::kUsage;
    return kExitUsage;
  }
  auto module = module_config(*options, error);
  if (!module) {
    std::cerr << "kavro-usbredir-sim: " << error << "\n";
    return kExitUsage;
  }
  const sim::redir::Logger log("kavro-usbredir-sim " + module->port, options->verbose);

  std::shared_ptr<usb::Bus> bus;
  try {
    bus = std::make_shared<sim::VirtualBus>(std::vector<sim::ModuleConfig>{*module});
  } catch (const std::invalid_argument& failure) {
    std::cerr << "kavro-usbredir-sim: " << failure.what() << "\n";
    return kExitUsage;
  }

  const auto listener = sim::redir::Listener::open(options->listen, error);
  if (!listener) {
    std::cerr << "kavro-usbredir-sim: " << error << "\n";
    return kExitFailure;
  }
  std::cout << "listening on " << listener->endpoint() << std::endl;

  auto socket = listener->accept_one(stop.get(), options->accept_timeout);
  if (!socket) {
    if (stop_requested(stop.get())) {
      log.info("stopped by signal");
      return 0;
    }
    log.info("no connection within " + std::to_string(options->accept_timeout.count()) + " s");
    return kExitFailure;
  }
  log.info("guest side connected");
  sim::redir::RedirConnection connection(std::move(socket), bus, log);
  const auto end = connection.serve(stop.get());
  if (end == sim::redir::RedirConnection::End::Stopped) {
    log.info("stopped by signal");
  }
  return end == sim::redir::RedirConnection::End::Failed ? kExitFailure : 0;
}
