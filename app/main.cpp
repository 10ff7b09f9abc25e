// kavro-flash and kavro-flash-sim: the entry point, which parses the options, starts the device
// manager and takes the interactive or the automated road.

#include <unistd.h>

#include <cstdio>

#include "app/automation.h"
#include "app/exit_codes.h"
#include "app/flashing_run.h"
#include "app/options.h"
#include "app/owned_handle.h"
#include "app/session_table.h"
#include "app/stop_signals.h"
#include "common/console.h"
#include "usb/device_manager.h"
#include "usb/process_bus.h"

namespace {

// An operator who watches the log through a pipe ("| tee flash.log") sees each line as it is
// written. Nothing has been written to standard output yet when this runs. Automated mode
// flushes each response itself.
void line_buffer_log_on_pipe() {
  if (!in_automated_mode() && isatty(STDOUT_FILENO) == 0) {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  Options options;
  if (const auto exit_status = run_startup_checks(argc, argv, options)) {
    return *exit_status;
  }
  line_buffer_log_on_pipe();
  // Before the device manager starts its threads, so that they all inherit the block.
  block_stop_signals();
  // Declared before the sessions so that every session is stopped before the device manager
  // it talks through goes away.
  OwnedHandle<dm_state, kavro_dm_destroy> dm;
  if (kavro_dm_init(dm.address(), usb::make_process_bus()) != 0) {
    explain_refusal("Unable to initialize device manager\r\n");
    return EXIT_DEVICE_MANAGER;
  }
  SessionTable sessions;
  if (in_automated_mode()) {
    return run_automated(options, dm.address(), sessions);
  }
  return run_flashing(options, dm.address(), sessions);
}
