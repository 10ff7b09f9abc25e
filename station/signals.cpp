// Counting the station's signals, and the pause in which they are delivered.
#include "station/signals.h"

#include <poll.h>
#include <signal.h>

#include <array>
#include <csignal>
#include <ctime>

namespace station {
namespace {

constexpr std::array<int, 3> kHeldSignals{SIGINT, SIGTERM, SIGWINCH};

volatile std::sig_atomic_t stops_received = 0;
volatile std::sig_atomic_t resized = 0;

void count_stop(int) {
  stops_received = stops_received + 1;
}

void note_resize(int) {
  resized = 1;
}

}  // namespace

void install_signals() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = count_stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = note_resize;
  sigaction(SIGWINCH, &action, nullptr);
  sigset_t held;
  sigemptyset(&held);
  for (const int signal : kHeldSignals) {
    sigaddset(&held, signal);
  }
  sigprocmask(SIG_BLOCK, &held, nullptr);
}

int stop_signals() {
  return stops_received;
}

bool take_terminal_resized() {
  const bool was_resized = resized != 0;
  resized = 0;
  return was_resized;
}

void pause_for(std::chrono::milliseconds duration) {
  const timespec wait{static_cast<time_t>(duration.count() / 1000),
                      static_cast<long>(duration.count() % 1000) * 1'000'000};
  sigset_t open;
  sigprocmask(SIG_SETMASK, nullptr, &open);
  for (const int signal : kHeldSignals) {
    sigdelset(&open, signal);
  }
  // Unblocks the signals for the wait only, atomically: one that arrived since the last round
  // is delivered at once and ends the wait.
  ppoll(nullptr, 0, &wait, &open);
}

}  // namespace station
