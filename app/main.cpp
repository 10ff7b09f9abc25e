#include "app/automation.h"
#include "app/exit_codes.h"
#include "app/flashing_run.h"
#include "app/options.h"
#include "app/owned_handle.h"
#include "app/session_table.h"
#include "common/console.h"
#include "usb/device_manager.h"
#include "usb/process_bus.h"

int main(int argc, char* argv[]) {
  Options options;
  if (const auto exit_status = run_startup_checks(argc, argv, options)) {
    return *exit_status;
  }
  // Declared before the sessions so that every session is stopped before the device manager
  // it talks through goes away.
  OwnedHandle<dm_state, kavro_dm_destroy> dm;
  if (kavro_dm_init(dm.address(), usb::make_process_bus()) != 0) {
    debug("Unable to initialize device manager\r\n");
    return EXIT_DEVICE_MANAGER;
  }
  SessionTable sessions;
  if (in_automated_mode()) {
    return run_automated(options, dm.address(), sessions);
  }
  return run_flashing(options, dm.address(), sessions);
}
