// Explanations of refusals on standard error, silent in automated mode.

#include "app/explain.h"

#include <cstdarg>
#include <cstdio>

#include "common/console.h"

void explain(const char* format, ...) {
  if (in_automated_mode()) {
    return;
  }
  // The message being explained may still sit in standard output's buffer.
  std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fputc('\n', stderr);
}
