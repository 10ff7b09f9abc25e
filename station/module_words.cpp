// The words of a module and of the shift's summary.
#include "station/module_words.h"

#include <cstdio>

#include "flash/session_codes.h"
#include "station/error_texts.h"

namespace station {

std::string remote_words(const ModuleRecord& module) {
  return module.remote.empty() ? "" : " (" + module.remote + ")";
}

std::string failure_words(const ModuleRecord& module) {
  if (module.stopped) {
    return "stopped";
  }
  std::string words =
      "error " + std::to_string(module.error) + " " + std::to_string(module.sub_error);
  for (const std::string& text :
       {error_text(module.error), sub_error_text(module.error, module.sub_error)}) {
    if (!text.empty()) {
      words += ": " + text;
    }
  }
  return words;
}

std::string what_to_do(const ModuleRecord& module) {
  if (module.stopped) {
    return "stopped: plug it in again to flash it";
  }
  switch (module.error) {
    case 0:
      return "not taken: plug it in again";
    case FLASH_ERR_DEVICE_MANAGER:
    case FLASH_ERR_LIBUSB:
      return "check the cable, then plug it in again";
    case FLASH_ERR_MODE_SWITCH_TIMEOUT:
      return "did not come back: power-cycle it and plug it in again";
    case FLASH_ERR_DEVICE_STATUS:
      return "set it aside";
    case FLASH_ERR_NO_MEMORY:
      return "the station ran out of memory: plug it in again";
    default:
      // The firmware, the settings or the bring-up script were refused for this module.
      return "check the station's firmware and settings";
  }
}

std::string wrong_platform_words(const ModuleRecord& module) {
  return "wrong platform (" + module.platform + ") for this firmware: take it out";
}

std::string port_warning_words() {
  return std::to_string(kFailuresBeforeWarning) + " failures in a row: check the cable and hub";
}

std::string summary_words(const ShiftState& state, Clock::time_point now) {
  char text[200];
  int length = std::snprintf(text, sizeof text, "done %d, failed %d", state.done, state.failed);
  if (state.wrong_platform > 0) {
    length += std::snprintf(text + length, sizeof text - length, ", wrong platform %d",
                            state.wrong_platform);
  }
  if (const auto yield = yield_percent(state)) {
    length += std::snprintf(text + length, sizeof text - length, ", yield %.1f%%", *yield);
  }
  length += std::snprintf(text + length, sizeof text - length, ", running %d", running(state));
  if (const auto rate = modules_per_hour(state, now)) {
    std::snprintf(text + length, sizeof text - length, ", %.1f modules/h", *rate);
  }
  return text;
}

std::string stopping_words(const ShiftState& state) {
  return "stopping: " + std::to_string(running(state)) + " still running";
}

}  // namespace station
