#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test_support {

using EnvironmentOverrides = std::vector<std::pair<std::string, std::string>>;

struct ProcessResult {
  // The exit code, 128 + the signal number when a signal ended the child, -1 when it had to be
  // killed because it did not end in time.
  int exit_status = -1;
  std::string out;  // every byte written to standard output
  std::string err;  // every byte written to standard error
};

// One child process with pipes on its standard input, output and error. Standard error is
// collected whenever standard output is read, so the child never blocks on a full pipe. The
// destructor kills a child that is still running and reaps it.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const EnvironmentOverrides& environment = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Writes all of `text` to the child's standard input; false when the child no longer reads.
  bool write(std::string_view text);
  void close_input();

  // Standard output up to and including the next "\n"; nothing when none arrives within
  // `timeout` or the output ends first (a partial last line stays buffered).
  std::optional<std::string> read_line(std::chrono::milliseconds timeout);
  // Exactly `count` bytes of standard output; nothing when they do not arrive within `timeout`
  // (what did arrive stays buffered).
  std::optional<std::string> read_bytes(size_t count, std::chrono::milliseconds timeout);
  // Reads standard output and error to their end, then waits for the exit. The result holds
  // what read_line has not returned yet.
  ProcessResult finish(std::chrono::milliseconds timeout);

  pid_t pid() const { return pid_; }
  int input_fd() const { return input_fd_; }
  int output_fd() const { return output_fd_; }
  const std::string& error_output() const { return err_; }

 private:
  // Waits up to `deadline` for output; false on timeout. Appends what arrived to the buffers.
  bool pump(std::chrono::steady_clock::time_point deadline);
  // Waits for the exit up to `deadline`, then kills the child: its exit status, or nothing
  // when it had to be killed.
  std::optional<int> reap(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int input_fd_ = -1;
  int output_fd_ = -1;
  int error_fd_ = -1;
  std::string out_;
  std::string err_;
};

// Runs `program` to its end with `input` on standard input (closed afterwards).
ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const EnvironmentOverrides& environment = {}, std::string_view input = {},
                          std::chrono::milliseconds timeout = std::chrono::minutes(2));

}  // namespace test_support
