#pragma once
// The redirection server's diagnostic lines on stderr.

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace sim::redir {

// Diagnostic lines on stderr, one whole line per write so that threads do not interleave.
// Debug lines (every packet) appear only when asked for.
class Logger {
 public:
  Logger(std::string tag, bool verbose) : tag_(std::move(tag)), verbose_(verbose) {}

  void info(std::string_view text) const { write(text); }
  void debug(std::string_view text) const {
    if (verbose_) {
      write(text);
    }
  }
  bool verbose() const { return verbose_; }

 private:
  void write(std::string_view text) const {
    std::string line = tag_ + ": ";
    line.append(text);
    line.push_back('\n');
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }

  std::string tag_;
  bool verbose_;
  mutable std::mutex mutex_;
};

}  // namespace sim::redir
