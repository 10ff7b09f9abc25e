// Runs one use of the console printers, named by the first argument, with standard output as
// the test's pipe. After printing it waits for the end of standard input, so that the test
// can see what reached the pipe while the program still runs.
#include <cstdio>
#include <string_view>
#include <thread>

#include "common/console.h"

namespace {

void wait_for_end_of_input() {
  while (std::getchar() != EOF) {
  }
}

void print_mode_seen_by_two_threads() {
  int seen_by_other = -1;
  std::thread([&] { seen_by_other = in_automated_mode(); }).join();
  std::fprintf(stderr, "%d %d ", in_automated_mode(), seen_by_other);
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string_view scenario = argc > 1 ? argv[1] : "";
  if (scenario == "automated") {
    enable_automated_mode();
    debug("%s\r\n", "log text");
    print_and_flush("[%d %d] %d\r\n", 3, 255, 1);
  } else if (scenario == "interactive") {
    debug("log %d\r\n", 5);
    print_and_flush("[%d %d]\r\n", 1, 6);
  } else if (scenario == "progress") {
    debug(" %d%% done\r", 42);
    flush_progress();
  } else if (scenario == "automated-progress") {
    enable_automated_mode();
    debug(" %d%% done\r", 42);
    flush_progress();
  } else if (scenario == "mode") {
    print_mode_seen_by_two_threads();
    enable_automated_mode();
    print_mode_seen_by_two_threads();
  } else {
    return 2;
  }
  wait_for_end_of_input();
  return 0;
}
