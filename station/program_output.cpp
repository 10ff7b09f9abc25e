// Running a helper program for its output, bounded in time.
#include "station/program_output.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace station {
namespace {

// In the child: a process group of its own, so that a Ctrl-C meant for the station does not
// cut it short, no signals held back, and the tool's complaints kept off the view. Only
// system calls here: another thread of the station may have held the allocator's lock at the
// fork.
[[noreturn]] void exec_program(char* const* argv, int output) {
  ::setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::dup2(output, STDOUT_FILENO);
  if (const int null = ::open("/dev/null", O_RDWR); null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDERR_FILENO);
  }
  ::execvp(argv[0], argv);
  ::_exit(127);
}

// Everything the child writes until it closes its output, or false at the deadline.
bool read_all(int from_child, std::chrono::steady_clock::time_point deadline, std::string& text) {
  std::array<char, 4096> chunk;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd ready{from_child, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      continue;  // the deadline, or a signal
    }
    const ssize_t got = ::read(from_child, chunk.data(), chunk.size());
    if (got == 0) {
      return true;
    }
    if (got > 0) {
      text.append(chunk.data(), static_cast<size_t>(got));
    }
  }
}

}  // namespace

std::optional<std::string> program_output(const std::string& program,
                                          const std::vector<std::string>& arguments,
                                          std::chrono::milliseconds limit) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    exec_program(argv.data(), pipe_ends[1]);
  }
  ::close(pipe_ends[1]);
  std::string text;
  const bool ended =
      pid > 0 && read_all(pipe_ends[0], std::chrono::steady_clock::now() + limit, text);
  ::close(pipe_ends[0]);
  if (pid < 0) {
    return std::nullopt;
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  return text;
}

}  // namespace station
