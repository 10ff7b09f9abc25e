// Reading the shift's inputs once: paths, digests, the firmware's platform and version.
#include "station/shift_inputs.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "app/exit_codes.h"
#include "common/products.h"
#include "data/embedded.h"
#include "station/file_digest.h"

namespace station {
namespace {

InputFile input_file(const std::string& given) {
  if (given.empty()) {
    return {};
  }
  const std::string path = std::filesystem::absolute(given).lexically_normal().string();
  return {path, file_sha256(path).value_or("")};
}

// The built-in base archive a module of `platform` receives, when only one fits: s5l modules
// of two revisions take different ones, and the station cannot ask a module its revision.
std::string built_in_base_sha256(const std::string& platform) {
  int fitting_row = -1;
  for (int row = 1; row < PRODUCT_ROW_COUNT; ++row) {
    if (platform_has_prefix(platform, product_table[row].name)) {
      if (fitting_row >= 0) {
        return "";
      }
      fitting_row = row;
    }
  }
  const auto bytes = embedded::base_archive(fitting_row);
  return bytes.empty() ? "" : sha256_hex(bytes);
}

}  // namespace

ShiftInputs read_inputs(const StationOptions& options, const FirmwareFacts& facts) {
  ShiftInputs inputs;
  inputs.station = options.station;
  inputs.operator_name = options.operator_name;
  const Options& firmware = options.firmware;
  inputs.ota = input_file(firmware.ota_file);
  inputs.base = input_file(firmware.base_file);
  inputs.settings = input_file(firmware.settings_file);
  inputs.ads = input_file(firmware.ads_file);
  inputs.public_key = input_file(firmware.public_key);
  inputs.secure_boot = !firmware.public_key.empty() && !firmware.private_key.empty();
  inputs.firmware_platform = facts.platform;
  inputs.firmware_version = facts.version;
  if (inputs.base.path.empty()) {
    inputs.base.sha256 = built_in_base_sha256(inputs.firmware_platform);
  }
  return inputs;
}

std::optional<int> check_expected_digests(const ShiftInputs& inputs,
                                          const std::vector<std::string>& expected) {
  if (expected.empty()) {
    return std::nullopt;
  }
  for (const InputFile* archive : {&inputs.ota, &inputs.base}) {
    if (archive->path.empty() || std::ranges::count(expected, archive->sha256) > 0) {
      continue;
    }
    std::string wanted;
    for (const std::string& digest : expected) {
      wanted += (wanted.empty() ? "" : " or ") + digest;
    }
    std::fprintf(stderr, "kavro-station: '%s' is not the expected firmware\n",
                 archive->path.c_str());
    std::fprintf(
        stderr, "  reason: its SHA-256 is %s, expected %s\n",
        archive->sha256.empty() ? "unknown (the file cannot be read)" : archive->sha256.c_str(),
        wanted.c_str());
    return EXIT_ARCHIVE;
  }
  return std::nullopt;
}

FirmwareShown firmware_shown(const ShiftInputs& inputs) {
  const InputFile& archive = inputs.ota.path.empty() ? inputs.base : inputs.ota;
  return {inputs.firmware_platform, inputs.firmware_version,
          archive.path.empty() ? "" : std::filesystem::path(archive.path).filename().string(),
          archive.sha256};
}

}  // namespace station
