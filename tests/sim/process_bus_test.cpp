// The bus kavro-flash-sim flashes through: the configuration KAVRO_SIM_CONFIG names, a single
// default module without it, and exit status 2 for a configuration it cannot use.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/temp_directory.h"
#include "usb/bus.h"
#include "usb/process_bus.h"

namespace {

constexpr uint16_t kVid = 0x4255;

class ProcessBusTest : public testing::Test {
 protected:
  // Earlier tests leave the virtual bus's thread behind in this process: re-execute for the
  // death tests instead of forking a threaded process.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  void TearDown() override { unsetenv("KAVRO_SIM_CONFIG"); }
  test_support::TempDirectory dir_;
};

TEST_F(ProcessBusTest, WithoutConfigOneCv22OnPort1_1) {
  unsetenv("KAVRO_SIM_CONFIG");
  const auto bus = usb::make_process_bus();
  ASSERT_NE(bus, nullptr);
  const auto devices = bus->list(kVid);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].device_path, "1-1");
  EXPECT_EQ(devices[0].pid, 0x0013);
}

TEST_F(ProcessBusTest, ConfigNamesTheModules) {
  setenv("KAVRO_SIM_CONFIG",
         dir_.write_file("sim.json",
                         R"({"modules": [{"port": "2-1", "platform": "cv25"},
                                         {"port": "2-2", "platform": "s6lm"}]})")
             .c_str(),
         1);
  const auto bus = usb::make_process_bus();
  const auto devices = bus->list(kVid);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].device_path, "2-1");
  EXPECT_EQ(devices[0].pid, 0x0014);
  EXPECT_EQ(devices[1].device_path, "2-2");
  EXPECT_EQ(devices[1].pid, 0x0015);
}

TEST_F(ProcessBusTest, BadConfigEndsTheProgramWithStatus2) {
  setenv("KAVRO_SIM_CONFIG", dir_.write_file("sim.json", "{\"modules\": [{\"port\": 7}]}").c_str(),
         1);
  EXPECT_EXIT(usb::make_process_bus(), testing::ExitedWithCode(2),
              "kavro-flash-sim: simulator config '.*sim.json': modules\\[0\\].port: must be a "
              "string\n");
}

TEST_F(ProcessBusTest, MissingConfigFileEndsTheProgramWithStatus2) {
  setenv("KAVRO_SIM_CONFIG", dir_.file("absent.json").c_str(), 1);
  EXPECT_EXIT(usb::make_process_bus(), testing::ExitedWithCode(2),
              "kavro-flash-sim: cannot read simulator config '.*absent.json': No such file or "
              "directory\n");
}

}  // namespace
