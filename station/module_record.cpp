// The times of one module's record.
#include "station/module_record.h"

namespace station {

std::chrono::duration<double> elapsed(const ModuleRecord& record,
                                      std::chrono::system_clock::time_point now) {
  return (record.outcome == Outcome::Running ? now : record.finished) - record.started;
}

}  // namespace station
