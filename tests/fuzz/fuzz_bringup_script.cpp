// Any bytes as a bring-up script, read command by command to its end or its first error.
#include "firmware/bringup_script.h"
#include "tests/fuzz/input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputFile file(data, size);
  ads_handle* script = nullptr;
  if (kavro_ads_init_file(&script, file.path().c_str()) != 0) {
    return 0;
  }
  uint32_t type = 0;
  uint32_t first = 0;
  uint32_t second = 0;
  uint32_t third = 0;
  // Every call consumes input, so a script of n bytes ends within n commands.
  for (size_t command = 0; command <= size; ++command) {
    if (kavro_ads_get_next_command(&script, &type, &first, &second, &third) != 0) {
      kavro_ads_destroy(&script);
      return 0;
    }
  }
  __builtin_trap();
}
