#pragma once
// The checks of the input files that every session will open, made before any module is
// touched: the archives open and list, a base archive file passes its signature check, the
// settings parse (or default for the firmware's platform), and that platform has a product.
// Each refusal is kavro-flash's message, the reason on the line after it, and the exit status.
// The interactive run makes them, and kavro-station makes them before it starts kavro-flash.

#include <cstdint>
#include <optional>
#include <string_view>

#include "app/options.h"
#include "app/owned_handle.h"
#include "firmware/archive.h"
#include "firmware/settings.h"

using ArchiveHandle = OwnedHandle<kavro_archive_t, kavro_archive_destroy>;
using SettingsHandle = OwnedHandle<kavro_settings, kavro_settings_destroy>;

// The archives and settings opened only to check the inputs before any module is touched. The
// session opens its own copies from the same paths; these stay open until the run ends.
struct CheckedInputs {
  ArchiveHandle ota;
  ArchiveHandle base;
  SettingsHandle settings;
};

// Whether the checks print what was read with loss (input_warnings.h). kavro-station leaves it
// to the kavro-flash it starts, which prints them once before it answers, so they are not
// shown twice.
enum class InputWarnings { Print, LeaveToFlasher };

// The exit status when an input is refused, nothing when all of them can be used.
std::optional<int> check_input_files(const Options& options, CheckedInputs& inputs,
                                     InputWarnings warnings);
// The platform the firmware is for: the base archive's when one was given, else the OTA's.
std::string_view firmware_platform(const Options& options, CheckedInputs& inputs);
// Device-list filter selecting hardware-mode modules of `platform`; 0 when no product row
// matches.
uint32_t hardware_filter_for(std::string_view platform);
// The exit status when no product matches the firmware's platform.
std::optional<int> check_platform_known(const Options& options, CheckedInputs& inputs);
