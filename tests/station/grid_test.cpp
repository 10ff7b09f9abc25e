// The operator's grid as a table: a shift's state and a terminal size, and the screen lines
// they must give.
#include "station/grid.h"

#include <gtest/gtest.h>

namespace station {
void PrintTo(const ScreenLine& line, std::ostream* out) {
  *out << "\n{\"" << line.text << "\", " << static_cast<int>(line.style) << "}";
}
}  // namespace station

namespace {

using namespace station;
using namespace std::chrono;
using enum LineStyle;

const Clock::time_point kNow = sys_days(2026y / 12 / 7) + 6h + 30min;

// A module on a port, started `age` ago.
ModuleRecord module(Outcome outcome, seconds age, int state = 5, int percent = 0) {
  ModuleRecord record;
  record.platform = outcome == Outcome::WrongPlatform ? "cv25" : "cv22";
  record.outcome = outcome;
  record.state = state;
  record.percent = percent;
  record.started = kNow - age;
  record.state_since = kNow - 12s;
  record.finished = kNow;
  return record;
}

ModuleRecord failed(int error, int sub_error) {
  ModuleRecord record = module(Outcome::Failed, 95s);
  record.error = error;
  record.sub_error = sub_error;
  return record;
}

struct Case {
  const char* name;
  TerminalSize size;
  std::vector<Port> ports;
  std::vector<ScreenLine> lines;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

ShiftState shift(std::vector<Port> ports) {
  ShiftState state;
  state.station = "bench-3";
  state.firmware = {"cv22", "1.7.0", "ota-cv22.7z", "3f2a9c01b4de5566778899aabbccddeeff"};
  state.started = kNow - 30min;
  state.ports = std::move(ports);
  state.done = 8;
  state.failed = 1;
  state.done_times.assign(8, kNow - 5min);
  return state;
}

std::vector<Port> idle_ports(int count) {
  std::vector<Port> ports;
  for (int port = 1; port <= count; ++port) {
    ports.push_back({"2-" + std::to_string(port), "", std::nullopt, std::nullopt, 0});
  }
  return ports;
}

const ScreenLine kHeader{"kavro-station bench-3, shift since 2026-12-07 06:00 UTC", Header};
const ScreenLine kFirmware{"firmware cv22 1.7.0: ota-cv22.7z sha256 3f2a9c01b4de", Header};
const ScreenLine kSummary{"done 8, failed 1, yield 88.9%, running 1, 32.0 modules/h", Plain};

const std::vector<Case> kCases{
    {"EveryStateOfAPort",
     {80, 24},
     {{"1-1", "", module(Outcome::Ok, 41s), std::nullopt, 0},
      {"1-2", "", module(Outcome::Running, 31s, 5, 42), std::nullopt, 0},
      {"1-3", "", failed(-22, 5), std::nullopt, 0},
      {"1-4", "", std::nullopt, module(Outcome::Ok, 60s), 0},
      {"1-5", "", failed(-4, -9), std::nullopt, 3},
      {"1-6", "", std::nullopt, failed(-4, -9), 3},
      {"1-7", "", std::nullopt, std::nullopt, 0}},
     {kHeader,
      kFirmware,
      {"1-1  0:41  done: take it out", Done},
      {"1-2  0:31  writing images 42%", Running},
      {"1-3  1:35  failed (set it aside): error -22 5: Error returned from device: CRC m", Failed},
      {"1-4        empty (last: done)", Dimmed},
      {"1-5  1:35  failed (3 failures in a row: check the cable and hub): error -4 -9: E", Failed},
      {"1-6        empty: 3 failures in a row: check the cable and hub", Attention},
      {"1-7        empty", Plain},
      kSummary}},
    {"NeitherTheJumpNorAnotherPlatformShowsAPercentage",
     {70, 24},
     {{"1-1", "", module(Outcome::Running, 20s, 4, 100), std::nullopt, 0},
      {"3-1", "10.42.0.11 1-1", module(Outcome::WrongPlatform, 1s), std::nullopt, 0}},
     {kHeader,
      kFirmware,
      {"1-1                   0:20  waiting for the module to return (12 s)", Running},
      {"3-1 (10.42.0.11 1-1)        wrong platform (cv25) for this firmware: t", Attention},
      kSummary}},
    {"ASmallTerminalKeepsTheRunningModuleInSight",
     {80, 8},
     [] {
       std::vector<Port> ports = idle_ports(20);
       ports[17].module = module(Outcome::Running, 31s, 3, 60);
       ports[18].module = failed(-15, 0);
       return ports;
     }(),
     {kHeader,
      kFirmware,
      {"2-1         empty", Plain},
      {"2-2         empty", Plain},
      {"2-18  0:31  sending bootloader 60%", Running},
      {"2-19  1:35  failed (did not come back: power-cycle it and plug it in again): err", Failed},
      {"+16 ports idle", Plain},
      kSummary}},
};

class Grid : public testing::TestWithParam<Case> {};

TEST_P(Grid, DrawsTheShiftAsScreenLines) {
  const Case& c = GetParam();
  EXPECT_EQ(render_grid(shift(c.ports), c.size, kNow), c.lines);
}

INSTANTIATE_TEST_SUITE_P(States, Grid, testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
