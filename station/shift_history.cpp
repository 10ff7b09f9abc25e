// The shift's history: its bars of ten minutes and its last finished modules.
#include "station/shift_history.h"

namespace station {

void note_finished(ShiftHistory& history, const ModuleRecord& module,
                   std::chrono::system_clock::time_point shift_started) {
  ++history.finished;
  history.recent.push_front(module);
  if (history.recent.size() > kRecentKept) {
    history.recent.pop_back();
  }
  if (module.outcome != Outcome::Ok && module.outcome != Outcome::Failed) {
    return;
  }
  const long index = (module.finished - shift_started) / kChartBar;
  if (history.bars.empty() || history.bars.back().index != index) {
    history.bars.push_back({index, 0, 0});
  }
  while (history.bars.front().index + static_cast<long>(kChartBars) <= index) {
    history.bars.pop_front();
  }
  ++(module.outcome == Outcome::Ok ? history.bars.back().done : history.bars.back().failed);
}

std::optional<double> yield_percent(int done, int failed) {
  if (done + failed == 0) {
    return std::nullopt;
  }
  return 100.0 * done / (done + failed);
}

}  // namespace station
