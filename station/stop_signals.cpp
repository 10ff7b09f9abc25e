#include "station/stop_signals.h"

#include <poll.h>
#include <signal.h>

#include <csignal>
#include <ctime>

namespace station {
namespace {

volatile std::sig_atomic_t received = 0;

void count_signal(int) {
  received = received + 1;
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void install_stop_signals() {
  struct sigaction action {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  const sigset_t held = stop_set();
  sigprocmask(SIG_BLOCK, &held, nullptr);
}

int stop_signals() {
  return received;
}

void pause_for(std::chrono::milliseconds duration) {
  const timespec wait{static_cast<time_t>(duration.count() / 1000),
                      static_cast<long>(duration.count() % 1000) * 1'000'000};
  sigset_t open;
  sigprocmask(SIG_SETMASK, nullptr, &open);
  sigdelset(&open, SIGINT);
  sigdelset(&open, SIGTERM);
  // Unblocks the two signals for the wait only, atomically: one that arrived since the last
  // round is delivered at once and ends the wait.
  ppoll(nullptr, 0, &wait, &open);
}

}  // namespace station
