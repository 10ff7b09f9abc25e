// The interactive flashing run: input checks, waiting for a module of the firmware's platform,
// and one session polled to its end.

#include "app/flashing_run.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "app/exit_codes.h"
#include "app/input_warnings.h"
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

using ArchiveHandle = OwnedHandle<kavro_archive_t, kavro_archive_destroy>;
using SettingsHandle = OwnedHandle<kavro_settings, kavro_settings_destroy>;
using DeviceList = OwnedHandle<uint8_t, kavro_dm_device_list_free>;

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";

// The archives and settings opened only to check the inputs before any module is touched. The
// session opens its own copies from the same paths; these stay open until the run ends.
struct CheckedInputs {
  ArchiveHandle ota;
  ArchiveHandle base;
  SettingsHandle settings;
};

std::string_view platform_of(kavro_archive_t** archive) {
  const char* platform = kavro_archive_get_platform(archive);
  return platform != nullptr ? platform : "";
}

std::optional<int> open_ota_archive(const Options& options, CheckedInputs& inputs) {
  if (options.ota_file.empty()) {
    return std::nullopt;
  }
  if (const int code = kavro_archive_init(inputs.ota.address(), options.ota_file.c_str())) {
    debug("Invalid OTA file '%s' provided\r\n", options.ota_file.c_str());
    explain_archive_refusal(options.ota_file, code);
    return EXIT_ARCHIVE;
  }
  return std::nullopt;
}

std::optional<int> open_base_file(const Options& options, CheckedInputs& inputs) {
  if (const int code = kavro_archive_init(inputs.base.address(), options.base_file.c_str())) {
    debug("Invalid firmware file '%s' provided\r\n", options.base_file.c_str());
    explain_archive_refusal(options.base_file, code);
    return EXIT_ARCHIVE;
  }
  if (kavro_archive_verify_signature(inputs.base.address(), PART_BOOTSTRAP) != 0 ||
      kavro_archive_verify_signature(inputs.base.address(), PART_BOOTLOADER) != 0) {
    debug("Signature verification failed\n");
    return EXIT_ARCHIVE;
  }
  return std::nullopt;
}

// Without -b the boot chain comes from the base archive built in for the OTA's platform.
std::optional<int> open_embedded_base(CheckedInputs& inputs) {
  const std::string platform(platform_of(inputs.ota.address()));
  if (kavro_archive_init_embedded(inputs.base.address(), platform.c_str(), 0) != 0) {
    debug("Unable to construct full firmware file for flashing\r\n");
    explain_no_base_archive(platform);
    return EXIT_ARCHIVE;
  }
  return std::nullopt;
}

std::optional<int> open_base_archive(const Options& options, CheckedInputs& inputs) {
  return options.base_file.empty() ? open_embedded_base(inputs) : open_base_file(options, inputs);
}

std::optional<int> set_up_settings(const Options& options, CheckedInputs& inputs) {
  if (kavro_settings_init(inputs.settings.address()) != 0) {
    debug("Failed to initialize settings\r\n");
    return EXIT_SETTINGS;
  }
  if (!options.settings_file.empty()) {
    if (const int code = kavro_settings_parse_json_file(inputs.settings.address(),
                                                        options.settings_file.c_str())) {
      debug("Parsing settings json file '%s' failed\r\n", options.settings_file.c_str());
      explain_settings_refusal(options.settings_file, code);
      return EXIT_SETTINGS;
    }
    return std::nullopt;
  }
  const std::string platform(platform_of(inputs.base.address()));
  if (kavro_settings_load_defaults(inputs.settings.address(), platform.c_str()) != 0) {
    debug("Loading default settings failed\r\n");
    explain_no_default_settings(platform);
    return EXIT_SETTINGS;
  }
  return std::nullopt;
}

std::optional<int> check_input_files(const Options& options, CheckedInputs& inputs) {
  debug("Checking input files\r\n");
  print_input_warnings(options);
  if (const auto failure = open_ota_archive(options, inputs)) {
    return failure;
  }
  if (const auto failure = open_base_archive(options, inputs)) {
    return failure;
  }
  return set_up_settings(options, inputs);
}

// The platform the firmware is for: the base archive's when one was given, else the OTA's.
std::string_view firmware_platform(const Options& options, CheckedInputs& inputs) {
  return options.base_file.empty() ? platform_of(inputs.ota.address())
                                   : platform_of(inputs.base.address());
}

// Device-list filter selecting hardware-mode modules of `platform`; 0 when no product row
// matches. The last matching row wins (both "s5l" rows give the same filter).
uint32_t hardware_filter_for(std::string_view platform) {
  uint32_t filter = 0;
  for (int row = 1; row < PRODUCT_ROW_COUNT; ++row) {
    if (platform_has_prefix(platform, product_table[row].name)) {
      filter = product_table[row].platform_mask | DM_LIST_HARDWARE_ONLY;
    }
  }
  return filter;
}

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
    debug("Error occured during flashing: %d:%d\r\n", error_code, sub_error_code);
    kavro_flash_print_error_string(error_code, sub_error_code);
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

int run_flashing(const Options& options, dm_state** dm, SessionTable& sessions) {
  CheckedInputs inputs;
  if (const auto failure = check_input_files(options, inputs)) {
    return *failure;
  }
  const uint32_t filter = hardware_filter_for(firmware_platform(options, inputs));
  if (filter == 0) {
    debug("No matching platform found\r\n");
    explain_unknown_platform(firmware_platform(options, inputs));
    return EXIT_NO_PLATFORM;
  }
  int index = -1;
  if (const auto failure = wait_for_module(
          dm, filter, ModuleNotes(std::string(firmware_platform(options, inputs))), index)) {
    return *failure;
  }
  return flash_module(options, dm, sessions, index, inputs);
}
