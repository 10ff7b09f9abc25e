#include "tests/support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace test_support {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  int read_end = -1;
  int write_end = -1;
};

// Close-on-exec, so that a child never inherits the pipes of another child: a stray copy of a
// write end would keep a reader from ever seeing the end of its input.
Pipe make_pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  }
  return {ends[0], ends[1]};
}

void close_fd(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

std::vector<std::string> environment_with(const EnvironmentOverrides& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    bool overridden = false;
    for (const auto& [name, value] : overrides) {
      overridden = overridden || text.substr(0, name.size() + 1) == name + "=";
    }
    if (!overridden) {
      entries.emplace_back(text);
    }
  }
  for (const auto& [name, value] : overrides) {
    entries.push_back(name + "=" + value);
  }
  return entries;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int status_of(int wait_status) {
  if (WIFEXITED(wait_status)) {
    return WEXITSTATUS(wait_status);
  }
  return 128 + WTERMSIG(wait_status);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const EnvironmentOverrides& environment) {
  // A child that stops reading must show up as a failed write, not end the test program.
  signal(SIGPIPE, SIG_IGN);
  Pipe input = make_pipe();
  Pipe output = make_pipe();
  Pipe error = make_pipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input.read_end, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output.write_end, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error.write_end, STDERR_FILENO);
  std::vector<std::string> argv_texts{program};
  argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = pointers_to(argv_texts);
  std::vector<std::string> env_texts = environment_with(environment);
  std::vector<char*> envp = pointers_to(env_texts);
  const int result =
      posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(input.read_end);
  close(output.write_end);
  close(error.write_end);
  input_fd_ = input.write_end;
  output_fd_ = output.read_end;
  error_fd_ = error.read_end;
  if (result != 0) {
    pid_ = -1;
    throw std::runtime_error("posix_spawn " + program + ": " + std::strerror(result));
  }
}

ChildProcess::~ChildProcess() {
  close_fd(input_fd_);
  if (pid_ > 0 && !wait_exit(Clock::now())) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close_fd(output_fd_);
  close_fd(error_fd_);
}

bool ChildProcess::write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(input_fd_, text.data(), text.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

void ChildProcess::close_input() {
  close_fd(input_fd_);
}

bool ChildProcess::pump(Clock::time_point deadline) {
  std::vector<pollfd> fds;
  for (const int fd : {output_fd_, error_fd_}) {
    if (fd >= 0) {
      fds.push_back({fd, POLLIN, 0});
    }
  }
  if (fds.empty()) {
    return false;
  }
  const int ready = poll(fds.data(), fds.size(), remaining_ms(deadline));
  if (ready <= 0) {
    return false;
  }
  for (const auto& entry : fds) {
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t got = read(entry.fd, buffer, sizeof buffer);
    const bool is_output = entry.fd == output_fd_;
    if (got > 0) {
      (is_output ? out_ : err_).append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      close_fd(is_output ? output_fd_ : error_fd_);
    }
  }
  return true;
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const size_t end = out_.find('\n');
    if (end != std::string::npos) {
      std::string line = out_.substr(0, end + 1);
      out_.erase(0, end + 1);
      return line;
    }
    if (output_fd_ < 0 || !pump(deadline)) {
      return std::nullopt;
    }
  }
}

std::optional<std::string> ChildProcess::read_bytes(size_t count,
                                                    std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_.size() < count) {
    if (output_fd_ < 0 || !pump(deadline)) {
      return std::nullopt;
    }
  }
  std::string bytes = out_.substr(0, count);
  out_.erase(0, count);
  return bytes;
}

std::optional<int> ChildProcess::wait_exit(Clock::time_point deadline) {
  // The child is another process: nothing to wait on but its exit, so poll with a deadline.
  while (true) {
    int wait_status = 0;
    const pid_t done = waitpid(pid_, &wait_status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return status_of(wait_status);
    }
    if (Clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ProcessResult ChildProcess::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while ((output_fd_ >= 0 || error_fd_ >= 0) && pump(deadline)) {
  }
  ProcessResult result;
  const auto exit_status = wait_exit(deadline);
  if (exit_status) {
    result.exit_status = *exit_status;
  } else {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  result.out = std::move(out_);
  result.err = std::move(err_);
  out_.clear();
  err_.clear();
  return result;
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const EnvironmentOverrides& environment, std::string_view input,
                          std::chrono::milliseconds timeout) {
  ChildProcess child(program, arguments, environment);
  child.write(input);
  child.close_input();
  return child.finish(timeout);
}

}  // namespace test_support
