#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/subprocess.h"

// Drives `kavro-flash-sim -g` over its standard input and output the way a controlling script
// does: request lines in, response lines out.
class ProtocolClient {
 public:
  // Starts the program with `-g` and `arguments`, the simulator configured by `config`.
  ProtocolClient(const std::string& program, const std::string& config,
                 const std::vector<std::string>& arguments);

  // Writes `request` and a line feed.
  void send(const std::string& request);
  // The next response line, line ending included; diagnostic lines (not beginning with "[")
  // are skipped. Nothing when none arrives in time.
  std::optional<std::string> next_response(
      std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Sends `request` and returns the next response line.
  std::string ask(const std::string& request);
  // Asks "[tag 1] P" until the list shows `count` modules; false when it does not in time.
  bool wait_for_modules(size_t count, int platform = 0);
  // Asks "[tag 3] index" until the session has ended (state 6 or 7); the two numbers of the
  // final response ("6 100", "7 0").
  std::string wait_for_end(int index);
  // Asks "[tag 3] index" until the session reports `state`; false when it ends or times out
  // first.
  bool wait_for_state(int index, int state);

  // Sends "Q" and returns how the program ended, with everything it wrote afterwards.
  test_support::ProcessResult quit();
  test_support::ChildProcess& process() { return *child_; }

 private:
  std::unique_ptr<test_support::ChildProcess> child_;
  int poll_tag_ = 100000;
};
