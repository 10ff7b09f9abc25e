// The kavro-flash child process and the request protocol's lines to and from it.
#include "station/flasher_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <system_error>
#include <thread>

#include "common/request_protocol.h"
#include "station/program_output.h"

extern char** environ;

namespace station {
namespace {

constexpr auto kVersionLimit = std::chrono::seconds(10);
constexpr std::string_view kVersionWord = "version ";

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
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

// The tag and command of a response head "[TAG CMD]", or nothing for another kind of line.
std::optional<std::pair<int, int>> response_head(std::string_view line) {
  if (line.empty() || line.front() != REQUEST_LINE_START) {
    return std::nullopt;
  }
  std::istringstream head(std::string(line.substr(1, line.find(REQUEST_HEAD_END))));
  int tag = 0;
  int command = 0;
  if (!(head >> tag >> command)) {
    return std::nullopt;
  }
  return std::pair{tag, command};
}

}  // namespace

std::string flasher_version(const std::string& program) {
  const std::string output = program_output(program, {"-V"}, kVersionLimit).value_or("");
  const size_t word = output.find(kVersionWord);
  if (word == std::string::npos) {
    return "";
  }
  const size_t start = word + kVersionWord.size();
  return output.substr(start, output.find_first_of(" \r\n", start) - start);
}

FlasherLink::FlasherLink(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::seconds reply_limit)
    : reply_limit_(reply_limit) {
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0) {
    throw_errno("pipe");
  }
  if (pipe2(output, O_CLOEXEC) != 0) {
    ::close(input[0]);
    ::close(input[1]);
    throw_errno("pipe");
  }
  std::vector<std::string> words{program, "-g"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The flasher starts with the default handling of every signal the station changes.
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  const int spawned =
      posix_spawnp(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  to_child_ = input[1];
  from_child_ = output[0];
  if (spawned != 0) {
    ::close(to_child_);
    ::close(from_child_);
    throw std::system_error(spawned, std::generic_category(), "cannot start " + program);
  }
}

FlasherLink::~FlasherLink() {
  if (to_child_ >= 0) {
    ::close(to_child_);
  }
  ::close(from_child_);
  if (!exit_status_) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::optional<std::string> FlasherLink::read_line() {
  const auto deadline = std::chrono::steady_clock::now() + reply_limit_;
  while (true) {
    if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    pollfd readable{from_child_, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    char chunk[4096];
    const ssize_t got = ready > 0 ? ::read(from_child_, chunk, sizeof chunk) : -1;
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

std::optional<Response> FlasherLink::request(int command, std::optional<int> index) {
  const int tag = ++tag_;
  std::string line =
      REQUEST_LINE_START + std::to_string(tag) + " " + std::to_string(command) + REQUEST_HEAD_END;
  if (index) {
    line += " " + std::to_string(*index);
  }
  if (!write_all(to_child_, line + "\n")) {
    return std::nullopt;
  }
  // Diagnostics of the flasher and late responses to earlier requests are passed over.
  while (const auto reply = read_line()) {
    const auto head = response_head(*reply);
    if (!head || head->first != tag ||
        (head->second != command && head->second != RESPONSE_REFUSED)) {
      continue;
    }
    Response response{head->second == RESPONSE_REFUSED, {}, {}};
    response.text = reply->substr(reply->find(REQUEST_HEAD_END) + 1);
    if (response.text.starts_with(' ')) {
      response.text.erase(0, 1);
    }
    std::istringstream words(response.text);
    for (std::string word; words >> word;) {
      response.words.push_back(word);
    }
    return response;
  }
  return std::nullopt;
}

int FlasherLink::quit() {
  write_all(to_child_, std::string{REQUEST_QUIT_START, '\n'});
  ::close(to_child_);
  to_child_ = -1;
  return wait_exit();
}

int FlasherLink::wait_exit() {
  if (exit_status_) {
    return *exit_status_;
  }
  const auto deadline = std::chrono::steady_clock::now() + reply_limit_;
  int status = 0;
  pid_t ended = 0;
  // The flasher ends its sessions before it exits; waiting for that is bounded all the same.
  while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (ended == 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  exit_status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return *exit_status_;
}

}  // namespace station
