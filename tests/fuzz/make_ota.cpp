// Writes the small cv22 OTA archive that the fuzzed flash sessions are started with.
#include "tests/support/firmware_archives.h"

int main(int argc, char* argv[]) {
  if (argc != 2) {
    return 2;
  }
  test_support::FirmwareArchive("cv22").add_ota_images(1, 4096).write(argv[1]);
  return 0;
}
