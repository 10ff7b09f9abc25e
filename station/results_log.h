#pragma once

// The results log (--results FILE): one JSON record per line (JSON Lines), appended. Each line
// goes to the file in a single write and is synced before the next, so a crash never loses a
// finished record nor leaves half a line behind.

#include <string>

namespace station {

class ResultsLog {
 public:
  // Opens (creates) `path` for appending; throws std::system_error when it cannot.
  explicit ResultsLog(const std::string& path);
  ~ResultsLog();
  ResultsLog(const ResultsLog&) = delete;
  ResultsLog& operator=(const ResultsLog&) = delete;

  // Appends one line (given without its line ending); false when it could not be written.
  bool append(const std::string& line);

 private:
  int fd_ = -1;
};

}  // namespace station
