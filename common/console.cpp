// The printers of common/console.h and the automated-mode switch they look at.

#include "common/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
// Written once on the main thread before any other thread starts, then only read.
std::atomic<int> automated_mode{0};
// Written by the session thread that shows progress, read by the main thread.
std::atomic<int> progress_shown{0};

void print_flushed(const char* format, va_list args) {
  std::vprintf(format, args);
  std::fflush(stdout);
}
}  // namespace

void enable_automated_mode() {
  automated_mode.store(1, std::memory_order_relaxed);
}

int in_automated_mode() {
  return automated_mode.load(std::memory_order_relaxed);
}

void debug(const char* format, ...) {
  if (in_automated_mode()) {
    return;
  }
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void print_and_flush(const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_flushed(format, args);
  va_end(args);
}

void diagnostic(const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_flushed(format, args);
  va_end(args);
}

void explain_refusal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(in_automated_mode() ? stderr : stdout, format, args);
  va_end(args);
}

void show_progress(const char* format, int percent) {
  if (in_automated_mode()) {
    return;
  }
  std::printf(format, percent);
  std::fflush(stdout);
  progress_shown.store(percent, std::memory_order_relaxed);
}

int last_progress_shown() {
  return progress_shown.load(std::memory_order_relaxed);
}
