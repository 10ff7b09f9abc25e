// The checks of the input files, before any module is touched.
#include "app/input_checks.h"

#include "app/exit_codes.h"
#include "app/input_warnings.h"
#include "app/refusal_cause.h"
#include "common/console.h"
#include "common/products.h"
#include "usb/device_manager.h"

namespace {

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

}  // namespace

std::optional<int> check_input_files(const Options& options, CheckedInputs& inputs,
                                     InputWarnings warnings) {
  debug("Checking input files\r\n");
  if (warnings == InputWarnings::Print) {
    print_input_warnings(options);
  }
  if (const auto failure = open_ota_archive(options, inputs)) {
    return failure;
  }
  if (const auto failure = open_base_archive(options, inputs)) {
    return failure;
  }
  return set_up_settings(options, inputs);
}

std::string_view firmware_platform(const Options& options, CheckedInputs& inputs) {
  return options.base_file.empty() ? platform_of(inputs.ota.address())
                                   : platform_of(inputs.base.address());
}

// The last matching row wins (both "s5l" rows give the same filter).
uint32_t hardware_filter_for(std::string_view platform) {
  uint32_t filter = 0;
  for (int row = 1; row < PRODUCT_ROW_COUNT; ++row) {
    if (platform_has_prefix(platform, product_table[row].name)) {
      filter = product_table[row].platform_mask | DM_LIST_HARDWARE_ONLY;
    }
  }
  return filter;
}

std::optional<int> check_platform_known(const Options& options, CheckedInputs& inputs) {
  if (hardware_filter_for(firmware_platform(options, inputs)) == 0) {
    debug("No matching platform found\r\n");
    explain_unknown_platform(firmware_platform(options, inputs));
    return EXIT_NO_PLATFORM;
  }
  return std::nullopt;
}
