// The warnings of the settings file and the bring-up script file, printed once at start.

#include "app/input_warnings.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/owned_handle.h"
#include "firmware/bringup_script.h"
#include "firmware/settings.h"

void print_input_warnings(const Options& options) {
  std::vector<std::string> warnings;
  if (!options.settings_file.empty()) {
    OwnedHandle<kavro_settings, kavro_settings_destroy> settings;
    if (kavro_settings_init(settings.address()) == 0) {
      kavro_settings_parse_json_file(settings.address(), options.settings_file.c_str(), &warnings);
    }
  }
  if (!options.ads_file.empty()) {
    OwnedHandle<ads_handle, kavro_ads_destroy> script;
    kavro_ads_init_file(script.address(), options.ads_file.c_str(), &warnings);
  }
  // The log line before them may still sit in standard output's buffer.
  std::fflush(stdout);
  for (const std::string& warning : warnings) {
    std::fprintf(stderr, "%s\n", warning.c_str());
  }
}
