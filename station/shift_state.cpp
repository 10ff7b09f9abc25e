// The shift's model: ports in their order, the counts and the figures derived from them.
#include "station/shift_state.h"

#include <algorithm>
#include <cctype>
#include <tuple>

namespace station {
namespace {

// "1-4.10" as {1, 4, 10}, so that port chains sort by number rather than by text.
std::vector<long> numbers_in(const std::string& text) {
  std::vector<long> numbers;
  for (size_t at = 0; at < text.size();) {
    if (std::isdigit(static_cast<unsigned char>(text[at])) == 0) {
      ++at;
      continue;
    }
    const size_t end = text.find_first_not_of("0123456789", at);
    numbers.push_back(std::stol(text.substr(at, end == text.npos ? text.npos : end - at)));
    at = end == text.npos ? text.size() : end;
  }
  return numbers;
}

// Local ports by their device path; remote ones after them, by host, then by bus id.
auto order_key(const std::string& device_path, const std::string& remote) {
  const std::string& place = remote.empty() ? device_path : remote;
  const size_t space = remote.find(' ');
  const std::string host = remote.substr(0, space);
  const std::string bus_id = space == remote.npos ? "" : remote.substr(space + 1);
  return std::tuple(!remote.empty(), host, numbers_in(remote.empty() ? place : bus_id), place);
}

bool same_port(const Port& port, const std::string& device_path, const std::string& remote) {
  // A remote module's local device path is only the import slot it got this time.
  return remote.empty() ? port.remote.empty() && port.device_path == device_path
                        : port.remote == remote;
}

}  // namespace

Port& port_for(ShiftState& state, const std::string& device_path, const std::string& remote) {
  const auto known = std::ranges::find_if(
      state.ports, [&](const Port& port) { return same_port(port, device_path, remote); });
  if (known != state.ports.end()) {
    known->device_path = device_path;
    return *known;
  }
  const auto key = order_key(device_path, remote);
  const auto place = std::ranges::find_if(state.ports, [&](const Port& port) {
    return key < order_key(port.device_path, port.remote);
  });
  Port port;
  port.device_path = device_path;
  port.remote = remote;
  return *state.ports.insert(place, std::move(port));
}

bool count_finished(ShiftState& state, Port& port) {
  const ModuleRecord& module = *port.module;
  note_finished(state.history, module, state.started);
  switch (module.outcome) {
    case Outcome::Ok:
      ++state.done;
      state.done_times.push_back(module.finished);
      while (module.finished - state.done_times.front() > kRateWindow) {
        state.done_times.pop_front();
      }
      port.failures_in_a_row = 0;
      return false;
    case Outcome::Failed:
      ++state.failed;
      // A session the operator stopped says nothing about the port.
      if (module.stopped) {
        return false;
      }
      return ++port.failures_in_a_row == kFailuresBeforeWarning;
    case Outcome::WrongPlatform:
      ++state.wrong_platform;
      return false;
    case Outcome::Running:
      return false;
  }
  return false;
}

void take_out(Port& port) {
  port.last = std::move(port.module);
  port.module.reset();
}

int running(const ShiftState& state) {
  return static_cast<int>(std::ranges::count_if(state.ports, [](const Port& port) {
    return port.module && port.module->outcome == Outcome::Running;
  }));
}

std::optional<double> yield_percent(const ShiftState& state) {
  return yield_percent(state.done, state.failed);
}

std::optional<double> modules_per_hour(const ShiftState& state, Clock::time_point now) {
  if (state.done == 0) {
    return std::nullopt;
  }
  const auto window = std::min<Clock::duration>(kRateWindow, now - state.started);
  const auto counted = std::ranges::count_if(
      state.done_times, [&](Clock::time_point done) { return now - done <= window; });
  const std::chrono::duration<double, std::ratio<3600>> hours = window;
  return hours.count() > 0 ? static_cast<double>(counted) / hours.count() : 0.0;
}

}  // namespace station
