// kavro-flash-sim flashes simulated modules: KAVRO_SIM_CONFIG names the file that describes
// them; without it there is one cv22 module, revision 0, on port "1-1". A configuration that
// cannot be used ends the program with exit status 2 before anything else happens.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/environment.h"
#include "sim/config_loader.h"
#include "sim/virtual_bus.h"
#include "usb/process_bus.h"

namespace usb {

std::shared_ptr<Bus> make_process_bus() {
  constexpr int kBadConfigExit = 2;
  const char* path = std::getenv(environment_name(FLASHER_ENVIRONMENT, "KAVRO_SIM_CONFIG"));
  try {
    std::vector<sim::ModuleConfig> modules;
    if (path == nullptr || *path == '\0') {
      modules.emplace_back();
    } else {
      modules = sim::load_config(path);
    }
    // Nobody in this process can look at the in-memory copies: the flash_dir is the record.
    for (sim::ModuleConfig& module : modules) {
      module.keep_image_bytes = false;
      module.record_traffic = false;
    }
    return std::make_shared<sim::VirtualBus>(std::move(modules));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kavro-flash-sim: %s\n", error.what());
    std::exit(kBadConfigExit);
  }
}

}  // namespace usb
