// SIGINT and SIGTERM: blocked everywhere except where a stop is expected.

#include "app/stop_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ctime>

namespace {

// Lock-free, so that the handler may use it.
std::atomic<int> signals_seen{0};

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Runs on the only thread that accepts the signals. The first one ends the reading of
// requests: standard input becomes empty, so the read it interrupted, or the next one, finds
// its end.
void on_stop_signal(int signal_number) {
  if (signals_seen.fetch_add(1) > 0) {
    _exit(128 + signal_number);
  }
  const int empty = open("/dev/null", O_RDONLY);
  if (empty >= 0) {
    dup2(empty, STDIN_FILENO);
    close(empty);
  }
}

}  // namespace

void block_stop_signals() {
  // No SA_RESTART: the thread that accepts the signals is blocked in a read that must end.
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  const sigset_t set = stop_signal_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void accept_stop_signals() {
  const sigset_t set = stop_signal_set();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool stop_signal_within(std::chrono::milliseconds pause) {
  const sigset_t set = stop_signal_set();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(pause);
  const timespec timeout{static_cast<time_t>(seconds.count()),
                         static_cast<long>(std::chrono::nanoseconds(pause - seconds).count())};
  if (sigtimedwait(&set, nullptr, &timeout) < 0) {
    return false;
  }
  signals_seen.fetch_add(1);
  accept_stop_signals();
  return true;
}
