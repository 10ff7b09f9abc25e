// The interactive flashing run: input checks, waiting for a module of the firmware's platform,
// and one session polled to its end.

#include "app/flashing_run.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "app/exit_codes.h"
#include "app/input_checks.h"
#include "app/module_notes.h"
#include "app/owned_handle.h"
#include "app/refusal_cause.h"
#include "app/session_table.h"
#include "app/stop_signals.h"
#include "common/console.h"
#include "common/products.h"
#include "firmware/archive.h"
#include "firmware/settings.h"
#include "flash/session.h"
#include "usb/device_manager.h"

namespace {

using DeviceList = OwnedHandle<uint8_t, kavro_dm_device_list_free>;

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";

// Polls the device list until a module passes `filter` and sets `index` to its slot, naming
// once each attached module that cannot be used. There is no time limit: the person at the
// bench plugs the module in when ready, or stops the program. The exit status when the run
// ends here.
std::optional<int> wait_for_module(dm_state** dm, uint32_t filter, ModuleNotes notes, int& index) {
  debug("Waiting for device to connect\r\n");
  index = -1;
  while (index == -1) {
    DeviceList list;
    uint32_t count = 0;
    if (kavro_dm_device_list_get(dm, list.address(), &count, filter) != 0) {
      debug("Error querying USB devices\r\n");
      return EXIT_DEVICE_LIST;
    }
    if (count > 0) {
      index = list.get()[0];
    }
    notes.note_unusable(dm, list.get(), count);
    if (stop_signal_within(kPollInterval)) {
      debug("%sInterrupted while waiting for a module: no module was touched%s\n", kRed, kReset);
      return EXIT_INTERRUPTED;
    }
  }
  return std::nullopt;
}

// What the operator has to do with a module whose session was stopped in `state`.
const char* module_left_in(uint32_t state) {
  switch (state) {
    case FLASH_STATE_STARTED:
    case FLASH_STATE_ADS:
      return "still in hardware mode, its flash untouched; flash it again";
    case FLASH_STATE_BLD_DOWNLOAD:
    case FLASH_STATE_MODE_SWITCH:
      return "between hardware mode and the flash bootloader, its flash untouched; power-cycle it "
             "and flash it again";
    default:
      return "in the flash bootloader with its flash partly written, so it may not boot; flash it "
             "again";
  }
}

// Stops the session between two blocks and says what the module was left in, at the
// percentage the person last saw rather than the session's own count, which may have moved
// on or been reset by a change of phase since.
int interrupt_session(flash_session** session) {
  uint32_t state = FLASH_STATE_STARTED;
  kavro_flash_get_status(session, &state, nullptr, nullptr, nullptr);
  kavro_flash_destroy(session);
  debug("%sFlashing interrupted at %d%% done: the module is %s%s\n", kRed, last_progress_shown(),
        module_left_in(state), kReset);
  return EXIT_INTERRUPTED;
}

int report_outcome(flash_session** session, dm_state** dm, int index, CheckedInputs& inputs) {
  uint32_t state = FLASH_STATE_STARTED;
  uint32_t error = 0;
  uint32_t sub_error = 0;
  while (true) {
    if (kavro_flash_get_status(session, &state, &error, &sub_error, nullptr) != 0) {
      debug("Failed to get flashing status\r\n");
      return EXIT_SESSION;
    }
    if (state == FLASH_STATE_DONE || state == FLASH_STATE_FAILED) {
      break;
    }
    if (stop_signal_within(kPollInterval)) {
      return interrupt_session(session);
    }
  }
  if (state == FLASH_STATE_FAILED) {
    const int error_code = static_cast<int>(error);
    const int sub_error_code = static_cast<int>(sub_error);
    print_session_failure(error_code, sub_error_code);
    explain_transfer_failure(dm, index, error_code, sub_error_code);
    explain_missing_partitions(error_code, inputs.base.address(), inputs.ota.address());
    return EXIT_SESSION;
  }
  debug("Flashing completed successfully\r\n");
  return EXIT_FLASHED;
}

int flash_module(const Options& options, dm_state** dm, SessionTable& sessions, int index,
                 CheckedInputs& inputs) {
  debug("Found connected device\r\n");
  name_taken_module(dm, index);
  debug("Begin flashing process\r\n");
  flash_session** session = sessions.entry(index);
  const int result =
      kavro_flash_init(session, options.ads_file.c_str(), options.settings_file.c_str(),
                       options.base_file.c_str(), options.ota_file.c_str(), dm, index, 0,
                       options.move_calib, options.public_key.c_str(), options.private_key.c_str());
  if (result != 0) {
    debug("Error starting flashing\r\n");
    return EXIT_SESSION;
  }
  return report_outcome(session, dm, index, inputs);
}

}  // namespace

void print_session_failure(int error, int sub_error) {
  debug("Error occured during flashing: %d:%d\r\n", error, sub_error);
  kavro_flash_print_error_string(error, sub_error);
}

int run_flashing(const Options& options, dm_state** dm, SessionTable& sessions) {
  CheckedInputs inputs;
  if (const auto failure = check_input_files(options, inputs, InputWarnings::Print)) {
    return *failure;
  }
  if (const auto failure = check_platform_known(options, inputs)) {
    return *failure;
  }
  const uint32_t filter = hardware_filter_for(firmware_platform(options, inputs));
  int index = -1;
  if (const auto failure = wait_for_module(
          dm, filter, ModuleNotes(std::string(firmware_platform(options, inputs))), index)) {
    return *failure;
  }
  return flash_module(options, dm, sessions, index, inputs);
}
