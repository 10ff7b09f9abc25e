#pragma once

// Every input checked before kavro-flash is started, the way each session will use it and with
// kavro-flash's own checks: an image given and the secure-boot key pair (app/options.h), the
// archives with a base archive file's signature, the settings and the firmware's platform
// (app/input_checks.h), and a bring-up script file given with -a. A refusal is kavro-flash's
// message with the reason after it, on standard error, and kavro-flash's exit status for it; no
// module has been touched then.

#include <string>
#include <variant>

#include "app/options.h"

namespace station {

// What the checked archives say of the firmware.
struct FirmwareFacts {
  std::string platform;  // the base archive's when one was given, else the OTA archive's
  std::string version;   // the OTA archive's when one was given, else the base archive's
};

std::variant<FirmwareFacts, int> check_inputs(const Options& options);

}  // namespace station
