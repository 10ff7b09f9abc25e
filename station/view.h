#pragma once

// How the operator sees the shift: a live table redrawn in place on a terminal, or one plain
// line per event when standard output is a file or a pipe.

#include <memory>
#include <string>
#include <vector>

#include "station/module_record.h"
#include "station/shift.h"

namespace station {

class View : public ShiftListener {
 public:
  virtual ~View() = default;
  // Called a few times a second.
  virtual void refresh(const std::vector<ModuleRecord>& records, const Summary& summary) = 0;
  // The first signal: no new modules are taken, `running` sessions go on.
  virtual void stopping(int running) = 0;
  // The end of the shift.
  virtual void finish(const std::vector<ModuleRecord>& records, const Summary& summary) = 0;
};

std::unique_ptr<View> make_event_lines();
std::unique_ptr<View> make_live_table();

// "done 8, failed 1, running 0, 95.3 modules per hour"
std::string summary_line(const Summary& summary);
// " (HOST BUSID)" for a module imported over USB/IP, "" for a local one.
std::string remote_words(const ModuleRecord& record);
// "error -22 5: <error text>: <sub error text>", or "stopped" for a session the operator ended.
std::string failure_words(const ModuleRecord& record);

}  // namespace station
