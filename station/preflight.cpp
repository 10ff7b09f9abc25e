// The station's check of its inputs before the first module.
#include "station/preflight.h"

#include <unistd.h>

#include <cstdio>

#include "app/exit_codes.h"
#include "app/flashing_run.h"
#include "app/input_checks.h"
#include "firmware/bringup_script.h"
#include "flash/session_codes.h"

namespace station {
namespace {

using ScriptHandle = OwnedHandle<ads_handle, kavro_ads_destroy>;

// kavro-flash writes a refusal to standard output, where the station keeps its view: while
// the checks run, standard output goes to standard error.
class OutputOnStandardError {
 public:
  OutputOnStandardError() : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~OutputOnStandardError() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  OutputOnStandardError(const OutputOnStandardError&) = delete;
  OutputOnStandardError& operator=(const OutputOnStandardError&) = delete;

 private:
  int saved_;
};

// A session loads the script file before it touches the module; kavro-flash reports a script
// it cannot load as the session's failure.
std::optional<int> check_bringup_script(const Options& options) {
  if (options.ads_file.empty()) {
    return std::nullopt;
  }
  ScriptHandle script;
  if (const int code = kavro_ads_init_file(script.address(), options.ads_file.c_str())) {
    print_session_failure(FLASH_ERR_ADS, code);
    return EXIT_SESSION;
  }
  return std::nullopt;
}

std::string text_of(const char* text) {
  return text != nullptr ? text : "";
}

}  // namespace

std::variant<FirmwareFacts, int> check_inputs(const Options& options) {
  const OutputOnStandardError redirected;
  if (const auto failure = check_image_and_key_pair(options)) {
    return *failure;
  }
  CheckedInputs inputs;
  if (const auto failure = check_input_files(options, inputs, InputWarnings::LeaveToFlasher)) {
    return *failure;
  }
  if (const auto failure = check_platform_known(options, inputs)) {
    return *failure;
  }
  if (const auto failure = check_bringup_script(options)) {
    return *failure;
  }
  kavro_archive_t** versioned =
      options.ota_file.empty() ? inputs.base.address() : inputs.ota.address();
  return FirmwareFacts{std::string(firmware_platform(options, inputs)),
                       text_of(kavro_archive_get_firmware_version(versioned))};
}

}  // namespace station
