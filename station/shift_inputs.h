#pragma once

// The inputs every module of the shift receives, as the header and the records name them: the
// station, the flasher, and each input file with its absolute path and its SHA-256, computed
// once at start rather than per module.

#include <optional>
#include <string>
#include <vector>

#include "station/options.h"
#include "station/preflight.h"
#include "station/shift_state.h"

namespace station {

struct InputFile {
  std::string path;    // absolute; empty when not given (built in, or no such input)
  std::string sha256;  // hex; empty when not known
};

struct ShiftInputs {
  std::string station;
  std::string operator_name;    // empty: not given
  std::string flasher_version;  // what `kavro-flash -V` names
  std::string firmware_platform;
  std::string firmware_version;
  InputFile ota;
  InputFile base;  // a built-in base archive has no path, and a digest when only one fits
  InputFile settings;
  InputFile ads;
  InputFile public_key;
  bool secure_boot = false;
};

// The paths and digests of the given files, with what the checked archives say of the firmware.
ShiftInputs read_inputs(const StationOptions& options, const FirmwareFacts& firmware);
// With --expect-sha256, every archive file given must have one of the expected digests. On a
// mismatch it names the file and both digests on standard error and gives the exit status.
std::optional<int> check_expected_digests(const ShiftInputs& inputs,
                                          const std::vector<std::string>& expected);
// The firmware as the grid's header and the first event line name it.
FirmwareShown firmware_shown(const ShiftInputs& inputs);

}  // namespace station
