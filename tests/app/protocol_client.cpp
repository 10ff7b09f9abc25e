#include "tests/app/protocol_client.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollPause = std::chrono::milliseconds(20);
constexpr auto kSetUpTime = std::chrono::seconds(60);

}  // namespace

ProtocolClient::ProtocolClient(const std::string& program, const std::string& config,
                               const std::vector<std::string>& arguments) {
  std::vector<std::string> all{"-g"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  child_ = std::make_unique<test_support::ChildProcess>(
      program, all, test_support::EnvironmentOverrides{{"KAVRO_SIM_CONFIG", config}});
}

void ProtocolClient::send(const std::string& request) {
  if (!child_->write(request + "\n")) {
    throw std::runtime_error("kavro-flash-sim no longer reads its input");
  }
}

std::optional<std::string> ProtocolClient::next_response(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto line = child_->read_line(std::max(left, std::chrono::milliseconds(0)));
    if (!line || line->starts_with("[")) {
      return line;
    }
  }
}

std::string ProtocolClient::ask(const std::string& request) {
  send(request);
  return next_response().value_or("<no response>");
}

// The program is another process: its device manager finds the modules on its own time, so
// poll with a deadline.
bool ProtocolClient::wait_for_modules(size_t count, int platform) {
  const auto deadline = Clock::now() + kSetUpTime;
  while (Clock::now() < deadline) {
    const std::string tag = std::to_string(++poll_tag_);
    const std::string response = ask("[" + tag + " 1] " + std::to_string(platform));
    if (response.starts_with("[" + tag + " 1] " + std::to_string(count) + " ") ||
        response == "[" + tag + " 1] " + std::to_string(count) + "\r\n") {
      return true;
    }
    std::this_thread::sleep_for(kPollPause);
  }
  return false;
}

std::string ProtocolClient::wait_for_end(int index) {
  const auto deadline = Clock::now() + kSetUpTime;
  std::string numbers;
  while (Clock::now() < deadline) {
    const std::string head = "[" + std::to_string(++poll_tag_) + " 3] ";
    const std::string response = ask(head + std::to_string(index));
    numbers = response.substr(std::min(head.size(), response.size()));
    numbers = numbers.substr(0, numbers.find('\r'));
    if (numbers.starts_with("6 ") || numbers.starts_with("7 ")) {
      return numbers;
    }
    std::this_thread::sleep_for(kPollPause);
  }
  return "still running: " + numbers;
}

bool ProtocolClient::wait_for_state(int index, int state) {
  const auto deadline = Clock::now() + kSetUpTime;
  while (Clock::now() < deadline) {
    const std::string head = "[" + std::to_string(++poll_tag_) + " 3] ";
    const std::string response = ask(head + std::to_string(index));
    if (response.starts_with(head + std::to_string(state) + " ")) {
      return true;
    }
    if (response.starts_with(head + "6 ") || response.starts_with(head + "7 ")) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

test_support::ProcessResult ProtocolClient::quit() {
  child_->write("Q\n");
  child_->close_input();
  return child_->finish(std::chrono::seconds(120));
}
