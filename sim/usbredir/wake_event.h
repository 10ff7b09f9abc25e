#pragma once
// An eventfd that lets other threads wake a poll() loop.

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "sim/usbredir/unique_fd.h"

namespace sim::redir {

// Lets other threads wake a poll() loop: readable after signal(), until drain().
class WakeEvent {
 public:
  WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  bool valid() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  void signal() const {
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_.get(), &one, sizeof one);
  }
  void drain() const {
    uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(fd_.get(), &count, sizeof count);
  }

 private:
  UniqueFd fd_;
};

}  // namespace sim::redir
