// Any bytes as a firmware archive: opening (libarchive's formats, the manifest), every query,
// extraction of every partition and the signature checks.
#include <chrono>
#include <cstdio>

#include "firmware/archive.h"
#include "tests/fuzz/input_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  // The signature check reports on standard output; that is of no interest here.
  return std::freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputFile file(data, size);
  kavro_archive_t* archive = nullptr;
  if (kavro_archive_init(&archive, file.path().c_str()) != 0) {
    return 0;
  }
  kavro_archive_get_platform(&archive);
  kavro_archive_get_firmware_version(&archive);
  kavro_archive_contains_bootloaders(&archive);
  kavro_archive_contains_ota_parts(&archive);
  for (int partition = PART_BOOTSTRAP; partition <= PART_CUSTOM_H; ++partition) {
    kavro_archive_contains_partition(&archive, partition);
    kavro_archive_get_partition_size(&archive, partition);
    kavro_archive_get_compressed_filename(&archive, partition);
    for (uint32_t selector = PARAM_SIZE; selector <= PARAM_LOAD_ADDRESS; ++selector) {
      kavro_archive_get_partition_param(&archive, partition, selector);
    }
    if (kavro_archive_extract_setup(&archive, partition) == 0) {
      const void* block = nullptr;
      size_t length = 0;
      int64_t offset = 0;
      while (kavro_archive_extract_block(&archive, &block, &length, &offset) == 0 && length > 0) {
      }
    }
  }
  kavro_archive_verify_signature(&archive, PART_BOOTSTRAP);
  kavro_archive_verify_signature(&archive, PART_BOOTLOADER);
  kavro_archive_destroy(&archive);
  return 0;
}
