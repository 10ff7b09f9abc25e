#include "station/module_record.h"

namespace station {

const char* state_words(int state) {
  switch (state) {
    case 0:
      return "loading firmware";
    case 2:
      return "bring-up script";
    case 3:
      return "sending bootloader";
    case 4:
      return "waiting for module";
    case 5:
      return "writing images";
    case 6:
      return "finished";
    case 7:
      return "failed";
    default:
      return "unknown";
  }
}

std::chrono::duration<double> elapsed(const ModuleRecord& record) {
  const auto end =
      record.outcome == Outcome::Running ? std::chrono::system_clock::now() : record.finished;
  return end - record.started;
}

}  // namespace station
