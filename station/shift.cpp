#include "station/shift.h"

#include <array>
#include <cstdlib>
#include <string>
#include <utility>

namespace station {
namespace {

constexpr int kListModules = 1;
constexpr int kPlatform = 2;
constexpr int kStatus = 3;
constexpr int kClose = 4;
constexpr int kStartFlashing = 6;
constexpr int kError = 7;
constexpr int kDevicePath = 8;

constexpr int kStateDone = 6;
constexpr int kStateFailed = 7;
constexpr int kRefusalSessionStart = 6;

constexpr std::array<const char*, 5> kPlatforms{"?", "s5l", "cv22", "cv25", "s6lm"};

int number(const Response& response, size_t word) {
  return word < response.words.size() ? std::atoi(response.words[word].c_str()) : 0;
}

}  // namespace

Shift::Shift(FlasherLink& link, ShiftListener& listener, RemoteOf remote_of)
    : link_(link), listener_(listener), remote_of_(std::move(remote_of)) {}

std::optional<std::set<int>> Shift::list_slots() {
  const auto response = link_.request(kListModules);
  if (!response) {
    return std::nullopt;
  }
  std::set<int> slots;
  for (size_t word = 1; !response->refused && word < response->words.size(); ++word) {
    slots.insert(number(*response, word));
  }
  return slots;
}

// Command 7 answers "0 0" without a session exactly for a module in hardware mode.
std::optional<bool> Shift::in_hardware_mode_without_session(int slot) {
  const auto response = link_.request(kError, slot);
  if (!response) {
    return std::nullopt;
  }
  return !response->refused && number(*response, 0) == 0 && number(*response, 1) == 0;
}

bool Shift::poll(bool take_new) {
  const auto slots = list_slots();
  if (!slots) {
    return false;
  }
  std::erase_if(remembered_, [&](int slot) { return !slots->contains(slot); });
  for (const int slot : *slots) {
    if (!take_new || running_.contains(slot)) {
      continue;
    }
    const auto waiting = in_hardware_mode_without_session(slot);
    if (!waiting) {
      return false;
    }
    if (remembered_.contains(slot)) {
      // Still the module that failed, until it leaves hardware mode or the bus.
      if (!*waiting) {
        remembered_.erase(slot);
      }
    } else if (*waiting && !start(slot)) {
      return false;
    }
  }
  for (const auto& [slot, record] : std::map(running_)) {
    if (!poll_session(slot, record)) {
      return false;
    }
  }
  return true;
}

bool Shift::start(int slot) {
  ModuleRecord record;
  record.slot = slot;
  const auto path = link_.request(kDevicePath, slot);
  const auto platform = link_.request(kPlatform, slot);
  if (!path || !platform) {
    return false;
  }
  record.device_path =
      !path->refused && !path->words.empty() ? path->words.front() : "slot " + std::to_string(slot);
  if (remote_of_) {
    record.remote = remote_of_(record.device_path);
  }
  const int platform_number = platform->refused ? 0 : number(*platform, 0);
  record.platform = kPlatforms[platform_number > 0 && platform_number < 5 ? platform_number : 0];
  record.started = std::chrono::system_clock::now();
  records_.push_back(record);
  listener_.module_found(records_.back());

  const auto started = link_.request(kStartFlashing, slot);
  if (!started) {
    return false;
  }
  if (!started->refused) {
    running_[slot] = records_.size() - 1;
    listener_.module_started(records_.back());
    return true;
  }
  // The session could not start (its error code follows refusal 6), or the module left
  // hardware mode meanwhile: either way it is not taken again while it stays.
  ModuleRecord& refused = records_.back();
  refused.outcome = Outcome::Failed;
  refused.state = kStateFailed;
  refused.error = number(*started, 0) == kRefusalSessionStart ? number(*started, 1) : 0;
  refused.finished = std::chrono::system_clock::now();
  remembered_.insert(slot);
  listener_.module_finished(refused);
  return true;
}

bool Shift::poll_session(int slot, size_t index) {
  const auto status = link_.request(kStatus, slot);
  if (!status) {
    return false;
  }
  ModuleRecord& record = records_[index];
  if (!status->refused) {
    record.state = number(*status, 0);
    record.percent = number(*status, 1);
  }
  if (record.state == kStateDone) {
    record.outcome = Outcome::Ok;
  } else if (record.state == kStateFailed) {
    const auto error = link_.request(kError, slot);
    if (!error) {
      return false;
    }
    record.outcome = Outcome::Failed;
    record.error = number(*error, 0);
    record.sub_error = number(*error, 1);
  } else {
    return true;
  }
  return close(slot, index);
}

bool Shift::close(int slot, size_t index) {
  ModuleRecord& record = records_[index];
  record.finished = std::chrono::system_clock::now();
  running_.erase(slot);
  if (record.outcome == Outcome::Failed) {
    remembered_.insert(slot);
  }
  listener_.module_finished(record);
  return link_.request(kClose, slot).has_value();
}

bool Shift::stop_all() {
  for (const auto& [slot, index] : std::map(running_)) {
    records_[index].outcome = Outcome::Failed;
    records_[index].stopped = true;
    if (!close(slot, index)) {
      return false;
    }
  }
  return true;
}

Summary Shift::summary() const {
  Summary summary;
  for (const ModuleRecord& record : records_) {
    summary.done += record.outcome == Outcome::Ok ? 1 : 0;
    summary.failed += record.outcome == Outcome::Failed ? 1 : 0;
    summary.running += record.outcome == Outcome::Running ? 1 : 0;
  }
  const std::chrono::duration<double, std::ratio<3600>> hours =
      std::chrono::steady_clock::now() - began_;
  summary.modules_per_hour = (summary.done + summary.failed) / hours.count();
  return summary;
}

}  // namespace station
