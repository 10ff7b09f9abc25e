// What module.json tells a check from outside about hardware mode and the timing model: the
// register accesses the boot ROM served (a poll's equal reads folded into one entry), the
// download's word count and jump address, and the busy time the model charged.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <memory>

#include "tests/sim/sim_test_support.h"
#include "tests/support/temp_directory.h"

namespace {

using namespace simtest;

constexpr uint32_t DRAM_STATUS = 0xDFFE0818;

TEST(ModuleReport, HardwareModeAccessesAndModelledBusyTime) {
  test_support::TempDirectory dir;
  sim::ModuleConfig config = quick_module();
  config.flash_dir = (dir.path() / "m").string();
  config.timing.control_latency_us = 2000;
  sim::VirtualBus bus({config});
  {
    auto device = open_port(bus, "1-1");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(write_register(*device, DRAM_STATUS, 7), 12);
    for (int read = 0; read < 4; ++read) {
      ASSERT_TRUE(read_register(*device, DRAM_STATUS));
    }
  }
  ASSERT_NE(boot_to_software(bus, "1-1"), nullptr);

  const std::unique_ptr<json_object, decltype(&json_object_put)> root(
      json_object_from_file((dir.path() / "m" / "module.json").c_str()), json_object_put);
  ASSERT_NE(root, nullptr);
  json_object* mode = json_object_object_get(root.get(), "hardware_mode");
  json_object* registers = json_object_object_get(mode, "registers");
  std::string accesses;
  for (size_t i = 0; i < json_object_array_length(registers); ++i) {
    json_object* access = json_object_array_get_idx(registers, i);
    for (const char* key : {"op", "address", "value", "count"}) {
      accesses += json_object_get_string(json_object_object_get(access, key));
      accesses += ' ';
    }
  }
  EXPECT_EQ(accesses,
            "write 0xdffe0818 0x00000007 1 read 0xdffe0818 0xffffffff 3 "
            "read 0xdffe0818 0x00000000 1 ");
  EXPECT_EQ(json_object_get_int64(json_object_object_get(mode, "download_writes")),
            config.bootloader_size / 4);
  EXPECT_STREQ(json_object_get_string(json_object_object_get(mode, "jump_address")), "0x00000000");
  // At least every vendor request above at 2 ms each.
  const int64_t requests = 1 + 4 + config.bootloader_size / 4 + 1;
  EXPECT_GE(json_object_get_int64(json_object_object_get(root.get(), "modelled_busy_ms")),
            requests * 2);
}

}  // namespace
