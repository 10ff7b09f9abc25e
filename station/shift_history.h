#pragma once

// What the shift did over time, for the views that show more than the present: the modules
// done and failed in each stretch of ten minutes since the shift began, and the last modules
// that finished, newest first. Part of the shift's model; the shift notes every finished
// module into it.

#include <chrono>
#include <deque>
#include <optional>

#include "station/module_record.h"

namespace station {

// One bar of the shift's chart.
inline constexpr auto kChartBar = std::chrono::minutes(10);
// The chart shows the last eight hours: a shift.
inline constexpr size_t kChartBars = 48;
// How many finished modules the history keeps.
inline constexpr size_t kRecentKept = 50;

struct ChartBar {
  long index = 0;  // whole kChartBar stretches between the shift's start and this bar's
  int done = 0;
  int failed = 0;
};

struct ShiftHistory {
  // In time order, within the last kChartBars stretches; those with no module are left out.
  std::deque<ChartBar> bars;
  std::deque<ModuleRecord> recent;  // at most kRecentKept, newest first
  long finished = 0;                // modules finished in the shift, of every outcome
};

// Notes a module that finished during the shift that began at `shift_started`. A module of
// another platform joins the recent ones but no bar, as it counts in neither done nor failed.
void note_finished(ShiftHistory& history, const ModuleRecord& module,
                   std::chrono::system_clock::time_point shift_started);

// Done / (done + failed) in %; nothing when neither is above 0.
std::optional<double> yield_percent(int done, int failed);

}  // namespace station
