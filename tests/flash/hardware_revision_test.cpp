#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <ostream>
#include <string>
#include <vector>

#include "flash/hardware_revision.h"
#include "tests/flash/flash_test_support.h"

namespace flash_test {
namespace {

constexpr uint32_t kAdcStatus = 0xE801D000;
constexpr uint32_t kAdcControl = 0xE801D004;
constexpr uint32_t kMeasuredChannel = 0xE801D15C;

struct Access {
  bool write;
  uint32_t address;
  uint32_t value;

  bool operator==(const Access&) const = default;
};

std::ostream& operator<<(std::ostream& stream, const Access& access) {
  return stream << (access.write ? "write " : "read ") << std::hex << access.address << " = "
                << access.value;
}

// The boot ROM register writes and reads a module carried out, in order.
std::vector<Access> register_accesses(const sim::Module& module) {
  std::vector<Access> accesses;
  for (const sim::ControlRecord& record : module.control_log()) {
    if (record.result < 0) {
      continue;
    }
    if (record.setup.bmRequestType == 0x40 && record.length == 12) {
      accesses.push_back({true, le32(record.data, 4), le32(record.data, 8)});
    } else if (record.setup.bmRequestType == 0xC0 && record.length == 4) {
      const uint32_t address = (uint32_t{record.setup.wValue} << 16) | record.setup.wIndex;
      accesses.push_back({false, address, le32(record.data, 0)});
    }
  }
  return accesses;
}

size_t reads_of(const std::vector<Access>& accesses, uint32_t address) {
  return static_cast<size_t>(std::count_if(
      accesses.begin(), accesses.end(),
      [address](const Access& access) { return !access.write && access.address == address; }));
}

std::string unknown_reading_message(uint32_t reading) {
  return "Unknown SoM ADC value " + std::to_string(reading) + ", assuming HW version 0\n";
}

class HardwareRevisionTest : public FlashSessionTest {
 protected:
  sim::ModuleConfig s5l_module(const std::string& port, uint32_t reading) {
    sim::ModuleConfig config = module_config(port, "s5l");
    config.adc_reading = reading;
    return config;
  }

  int probe(const std::string& port, const char* platform) {
    return get_hardware_revision(dm_, slot_of(port), platform);
  }
};

TEST_F(HardwareRevisionTest, ProbeProgramsTheAdcInItsOrder) {
  start_bus({s5l_module("1-1", 1315)});
  ASSERT_EQ(probe("1-1", "s5l"), 1);

  const std::vector<Access> accesses = register_accesses(module());
  // The read-modify-writes of the control register take what the module answered.
  ASSERT_GE(accesses.size(), 18u);
  const uint32_t powered = accesses[3].value | 0x1;
  const uint32_t enabled = accesses[5].value | 0x6;
  const uint32_t started = accesses[14].value | 0x8;
  std::vector<Access> expected{
      {true, 0xEC170198, 0},
      {true, 0xEC17009C, 0x10002},
      {true, 0xEC17009C, 0x2},
      {false, kAdcControl, accesses[3].value},
      {true, kAdcControl, powered},
      {false, kAdcControl, accesses[5].value},
      {true, kAdcControl, enabled},
      {true, 0xE801D00C, 0},
      {true, 0xE801D100, 0xF},
      {true, 0xE801D010, 79},
      {true, 0xE801D150, 0},
      {true, 0xE801D154, 0},
      {true, 0xE801D158, 0},
      {true, 0xE801D15C, 0},
      {false, kAdcControl, accesses[14].value},
      {true, kAdcControl, started},
  };
  size_t next = expected.size();
  for (; next < accesses.size() && accesses[next].address == kAdcStatus; ++next) {
    const bool last = next + 1 == accesses.size() || accesses[next + 1].address != kAdcStatus;
    EXPECT_EQ(accesses[next].value & 0x1, last ? 1u : 0u);
    expected.push_back(accesses[next]);
  }
  expected.push_back({false, kMeasuredChannel, 1315});
  EXPECT_EQ(accesses, expected);
}

TEST_F(HardwareRevisionTest, ReadingsMapToRevisionsThroughTheirWindows) {
  struct Case {
    uint32_t reading;
    int revision;
    bool known;
  };
  const std::vector<Case> cases{
      {1315, 1, true},  {2048, 0, true}, {1265, 0, false}, {1266, 1, true},  {1364, 1, true},
      {1365, 0, false}, {3327, 1, true}, {3425, 1, true},  {3426, 0, false}, {1999, 0, true},
      {2097, 0, true},  {2843, 0, true}, {2941, 0, true},
  };
  std::vector<sim::ModuleConfig> configs;
  for (size_t i = 0; i < cases.size(); ++i) {
    configs.push_back(s5l_module("3-" + std::to_string(i), cases[i].reading));
  }
  start_bus(configs);
  std::vector<int> slots;
  for (const sim::ModuleConfig& config : configs) {
    slots.push_back(slot_of(config.port));
  }

  testing::internal::CaptureStdout();
  std::vector<std::future<int>> probes;
  for (const int slot : slots) {
    probes.push_back(std::async(std::launch::async,
                                [this, slot] { return get_hardware_revision(dm_, slot, "s5l"); }));
  }
  std::vector<int> revisions;
  for (auto& running : probes) {
    revisions.push_back(running.get());
  }
  const std::string output = testing::internal::GetCapturedStdout();

  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(revisions[i], cases[i].revision) << cases[i].reading;
    const bool reported =
        output.find(unknown_reading_message(cases[i].reading)) != std::string::npos;
    EXPECT_EQ(reported, !cases[i].known) << cases[i].reading;
  }
}

TEST_F(HardwareRevisionTest, PlatformWithoutProbeIsNotTouched) {
  start_bus();
  EXPECT_EQ(probe("1-1", "cv22"), 0);
  EXPECT_EQ(probe("1-1", nullptr), 0);
  EXPECT_TRUE(register_accesses(module()).empty());
}

// The converter is given a bounded number of status reads; after that the revision counts as
// unknown, without the message for an unknown reading.
TEST_F(HardwareRevisionTest, ConverterThatNeverFinishes) {
  sim::ModuleConfig config = s5l_module("1-1", 1315);
  sim::Fault fault;
  fault.kind = sim::Fault::Kind::AdcNeverDone;
  config.faults.push_back(fault);
  start_bus({config});

  testing::internal::CaptureStdout();
  EXPECT_EQ(probe("1-1", "s5l"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const std::vector<Access> accesses = register_accesses(module());
  EXPECT_EQ(reads_of(accesses, kAdcStatus), 1000u);
  EXPECT_EQ(reads_of(accesses, kMeasuredChannel), 0u);
}

TEST_F(HardwareRevisionTest, FailedAccessEndsTheProbe) {
  sim::ModuleConfig config = s5l_module("1-1", 1315);
  sim::Fault fault;
  fault.kind = sim::Fault::Kind::Unplug;
  fault.after_control_transfers = 1;
  config.faults.push_back(fault);
  start_bus({config});

  EXPECT_EQ(probe("1-1", "s5l"), 0);
  EXPECT_EQ(register_accesses(module()), (std::vector<Access>{{true, 0xEC170198, 0}}));
  const std::vector<sim::ControlRecord> log = module().control_log();
  ASSERT_FALSE(log.empty());
  EXPECT_LT(log.back().result, 0) << "the probe went on after the failed write";
}

}  // namespace
}  // namespace flash_test
