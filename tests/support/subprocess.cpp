#include "tests/support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace test_support {
namespace {

using Clock = std::chrono::steady_clock;

void close_fd(int& fd) {
  if (fd >= 0) {
    close(fd);
  }
  fd = -1;
}

// The inherited environment with `overrides` replacing or adding variables, as "NAME=value".
std::vector<std::string> environment_with(const EnvironmentOverrides& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (std::none_of(overrides.begin(), overrides.end(),
                     [&](const auto& item) { return text.starts_with(item.first + "="); })) {
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

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const EnvironmentOverrides& environment) {
  // A child that stops reading must show up as a failed write, not end the test program.
  signal(SIGPIPE, SIG_IGN);
  // Close-on-exec, so that no child inherits another child's pipe: a stray copy of a write end
  // would keep a reader from ever seeing the end of its input.
  int pipes[3][2];
  for (auto& ends : pipes) {
    if (pipe2(ends, O_CLOEXEC) != 0) {
      throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Standard input reads from its pipe; output and error write to theirs.
  const auto child_end = [&pipes](int fd) { return pipes[fd][fd == 0 ? 0 : 1]; };
  for (int fd = 0; fd < 3; ++fd) {
    posix_spawn_file_actions_adddup2(&actions, child_end(fd), fd);
  }
  std::vector<std::string> argv_texts{program};
  argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env_texts = environment_with(environment);
  const int result = posix_spawn(&pid_, program.c_str(), &actions, nullptr,
                                 pointers_to(argv_texts).data(), pointers_to(env_texts).data());
  posix_spawn_file_actions_destroy(&actions);
  for (int fd = 0; fd < 3; ++fd) {
    close(child_end(fd));
  }
  input_fd_ = pipes[0][1];
  output_fd_ = pipes[1][0];
  error_fd_ = pipes[2][0];
  if (result != 0) {
    pid_ = -1;
    throw std::runtime_error("posix_spawn " + program + ": " + std::strerror(result));
  }
}

ChildProcess::~ChildProcess() {
  close_fd(input_fd_);
  reap(Clock::now());
  close_fd(output_fd_);
  close_fd(error_fd_);
}

bool ChildProcess::write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(input_fd_, text.data(), text.size());
    if (written <= 0 && !(written < 0 && errno == EINTR)) {
      return false;
    }
    text.remove_prefix(static_cast<size_t>(std::max<ssize_t>(written, 0)));
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
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (fds.empty() || poll(fds.data(), fds.size(), std::max<int>(0, left.count())) <= 0) {
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
  while (out_.find('\n') == std::string::npos) {
    if (output_fd_ < 0 || !pump(deadline)) {
      return std::nullopt;
    }
  }
  return read_bytes(out_.find('\n') + 1, timeout);
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

std::optional<int> ChildProcess::reap(Clock::time_point deadline) {
  // The child is another process: nothing to wait on but its exit, so poll with a deadline.
  for (int status = 0; pid_ > 0; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  return std::nullopt;
}

ProcessResult ChildProcess::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while ((output_fd_ >= 0 || error_fd_ >= 0) && pump(deadline)) {
  }
  return {reap(deadline).value_or(-1), std::exchange(out_, {}), std::exchange(err_, {})};
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
