// Any bytes as a settings file.
#include "firmware/settings.h"
#include "tests/fuzz/input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputFile file(data, size);
  kavro_settings* settings = nullptr;
  if (kavro_settings_init(&settings) != 0) {
    __builtin_trap();
  }
  if (kavro_settings_parse_json_file(&settings, file.path().c_str()) == 0) {
    for (int32_t index = -1; index <= 8; ++index) {
      kavro_settings_get_custom_name(&settings, index);
      kavro_settings_get_custom_maxsize(&settings, index);
    }
    kavro_settings_get_platform(&settings);
  }
  kavro_settings_destroy(&settings);
  return 0;
}
