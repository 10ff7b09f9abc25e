#pragma once

// The results log (--results FILE): one JSON object per finished module, one per line (JSON
// Lines), appended. Each line goes to the file in a single write and is synced before the
// next, so a crash never loses a finished record nor leaves half a line behind.

#include <optional>
#include <string>

#include "station/module_record.h"

namespace station {

// The firmware every module of the shift receives, as the log names it.
struct FirmwareInfo {
  std::string version;    // from the OTA archive's manifest (else the base archive's)
  std::string ota_file;   // as given with -o; empty: none
  std::string base_file;  // as given with -b; empty: the built-in one
};

class ResultsLog {
 public:
  // Opens (creates) `path` for appending; throws std::system_error when it cannot.
  ResultsLog(const std::string& path, FirmwareInfo firmware);
  ~ResultsLog();
  ResultsLog(const ResultsLog&) = delete;
  ResultsLog& operator=(const ResultsLog&) = delete;

  // Appends the record of a finished module; false when the line could not be written.
  bool append(const ModuleRecord& record);

 private:
  int fd_ = -1;
  FirmwareInfo firmware_;
};

// The JSON line of a finished module, without its line ending.
std::string result_line(const ModuleRecord& record, const FirmwareInfo& firmware);
// A time as UTC ISO 8601 with milliseconds, e.g. "2026-12-07T02:10:00.123Z".
std::string utc_iso8601(std::chrono::system_clock::time_point time);

}  // namespace station
