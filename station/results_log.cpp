// Appending whole, synced lines to the results log.
#include "station/results_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace station {

ResultsLog::ResultsLog(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)) {
  if (fd_ < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot open results file '" + path + "'");
  }
}

ResultsLog::~ResultsLog() {
  ::close(fd_);
}

bool ResultsLog::append(const std::string& line) {
  const std::string whole = line + "\n";
  // One write: with O_APPEND the line lands whole at the end of the file or not at all.
  if (::write(fd_, whole.data(), whole.size()) != static_cast<ssize_t>(whole.size())) {
    return false;
  }
  return ::fdatasync(fd_) == 0;
}

}  // namespace station
