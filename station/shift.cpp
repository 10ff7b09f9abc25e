// The shift's rounds over the request protocol, and what they write into the model.
#include "station/shift.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "common/products.h"
#include "common/request_protocol.h"

namespace station {
namespace {

constexpr const char* kUnknownPlatform = "?";

int number(const Response& response, size_t word) {
  return word < response.words.size() ? std::atoi(response.words[word].c_str()) : 0;
}

// The session compares in the same way: firmware for "cv22-lite" is for a "cv22" module.
bool firmware_fits(const std::string& firmware_platform, const std::string& module_platform) {
  return firmware_platform.empty() || module_platform == kUnknownPlatform ||
         platform_has_prefix(firmware_platform, module_platform);
}

}  // namespace

Shift::Shift(FlasherLink& link, ShiftState& state, ShiftListener& listener, RemoteOf remote_of)
    : link_(link), state_(state), listener_(listener), remote_of_(std::move(remote_of)) {}

Port& Shift::port_of(const Occupied& occupied) {
  return port_for(state_, occupied.port_device_path, occupied.port_remote);
}

std::optional<std::set<int>> Shift::list_slots() {
  const auto response = link_.request(CMD_LIST_DEVICES);
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
  const auto response = link_.request(CMD_GET_DEVICE_ERROR, slot);
  if (!response) {
    return std::nullopt;
  }
  return !response->refused && number(*response, 0) == 0 && number(*response, 1) == 0;
}

// A module off the bus is taken out once it had been seen on it after its session; one that
// left during its session (unplugged, or it never came back from the jump) stays on its row
// until the port shows a module again. A module in hardware mode where the finished one was
// left in the flash bootloader is a new one, plugged in between two rounds.
std::optional<bool> Shift::follow_finished(int slot, Occupied& occupied,
                                           const std::set<int>& listed) {
  if (!listed.contains(slot)) {
    if (occupied.on_bus) {
      remove(slot);
      return true;
    }
    return false;
  }
  const auto waiting = in_hardware_mode_without_session(slot);
  if (!waiting) {
    return std::nullopt;
  }
  const bool replaced = *waiting && (!occupied.on_bus || !occupied.left_in_hardware_mode);
  occupied.on_bus = true;
  if (replaced) {
    remove(slot);
  }
  return replaced;
}

bool Shift::poll(bool take_new) {
  const auto listed = list_slots();
  if (!listed) {
    return false;
  }
  std::set<int> free_now;
  for (auto& [slot, occupied] : std::map(occupied_)) {
    if (occupied.running) {
      continue;
    }
    const auto freed = follow_finished(slot, occupied_.at(slot), *listed);
    if (!freed) {
      return false;
    }
    if (*freed) {
      free_now.insert(slot);
    }
  }
  for (const int slot : *listed) {
    if (!take_new || occupied_.contains(slot)) {
      continue;
    }
    // A slot just freed for a module in hardware mode has been asked already.
    const auto waiting =
        free_now.contains(slot) ? std::optional(true) : in_hardware_mode_without_session(slot);
    if (!waiting) {
      return false;
    }
    if (*waiting && !start(slot, *listed)) {
      return false;
    }
  }
  for (const auto& [slot, occupied] : std::map(occupied_)) {
    if (occupied.running && !poll_session(slot, *listed)) {
      return false;
    }
  }
  return true;
}

bool Shift::start(int slot, const std::set<int>& listed) {
  const auto path = link_.request(CMD_GET_DEVICE_PATH, slot);
  const auto platform = link_.request(CMD_GET_DEVICE_INFO, slot);
  const auto serial = link_.request(CMD_GET_DEVICE_SERIAL, slot);
  if (!path || !platform || !serial) {
    return false;
  }
  ModuleRecord module;
  module.slot = slot;
  module.device_path =
      !path->refused && !path->words.empty() ? path->words.front() : "slot " + std::to_string(slot);
  if (remote_of_) {
    module.remote = remote_of_(module.device_path);
  }
  // A kavro-flash that does not know the request refuses it: no serial then.
  module.usb_serial = serial->refused ? "" : serial->text;
  const int platform_number = platform->refused ? 0 : number(*platform, 0);
  const std::string_view platform_name = platform_name_of(platform_number);
  module.platform = platform_name.empty() ? kUnknownPlatform : std::string(platform_name);
  module.started = Clock::now();
  module.state_since = module.started;
  last_found_ = module.started;

  Port& port = port_for(state_, module.device_path, module.remote);
  if (port.module) {
    // A remote host's bus id that another import slot had: that module is gone.
    for (const auto& [other, occupied] : std::map(occupied_)) {
      if (&port_of(occupied) == &port) {
        remove(other);
      }
    }
  }
  port.module = module;
  occupied_[slot] = {port.device_path, port.remote, true, false, false};
  listener_.module_found(*port.module);

  if (!firmware_fits(state_.firmware.platform, module.platform)) {
    port.module->outcome = Outcome::WrongPlatform;
    finish(slot, true);
    return true;
  }
  const auto started = link_.request(CMD_BEGIN_FLASH, slot);
  if (!started) {
    return false;
  }
  if (!started->refused) {
    listener_.module_started(*port_of(occupied_.at(slot)).module);
    return true;
  }
  // The session could not start (its error code follows refusal 6), or the module left
  // hardware mode meanwhile: either way it is not taken again while it stays.
  ModuleRecord& refused = *port_of(occupied_.at(slot)).module;
  refused.outcome = Outcome::Failed;
  refused.error = number(*started, 0) == REFUSE_SESSION_START ? number(*started, 1) : 0;
  finish(slot, listed.contains(slot));
  return true;
}

bool Shift::poll_session(int slot, const std::set<int>& listed) {
  const auto status = link_.request(CMD_GET_STATUS, slot);
  if (!status) {
    return false;
  }
  ModuleRecord& module = *port_of(occupied_.at(slot)).module;
  const int state = status->refused ? module.state : number(*status, 0);
  if (state == SESSION_STATE_DONE) {
    module.outcome = Outcome::Ok;
  } else if (state == SESSION_STATE_FAILED) {
    const auto error = link_.request(CMD_GET_DEVICE_ERROR, slot);
    if (!error) {
      return false;
    }
    module.outcome = Outcome::Failed;
    module.error = number(*error, 0);
    module.sub_error = number(*error, 1);
  } else {
    if (state != module.state) {
      module.state = state;
      module.state_since = Clock::now();
    }
    module.percent = status->refused ? module.percent : number(*status, 1);
    return true;
  }
  return close(slot, listed);
}

// Records the end of the slot's module: the counts, the port's history, the listener.
void Shift::finish(int slot, bool on_bus) {
  Occupied& occupied = occupied_.at(slot);
  Port& port = port_of(occupied);
  ModuleRecord& module = *port.module;
  module.finished = Clock::now();
  occupied.running = false;
  occupied.on_bus = on_bus;
  // Before the jump the module is still in the boot ROM (a refused start or a wrong platform
  // never left it).
  occupied.left_in_hardware_mode = module.state < SESSION_STATE_MODE_SWITCH;
  const bool unhealthy = count_finished(state_, port);
  listener_.module_finished(module);
  if (unhealthy) {
    listener_.port_unhealthy(port);
  }
}

bool Shift::close(int slot, const std::set<int>& listed) {
  finish(slot, listed.contains(slot));
  return link_.request(CMD_CLOSE_SESSION, slot).has_value();
}

void Shift::remove(int slot) {
  Port& port = port_of(occupied_.at(slot));
  occupied_.erase(slot);
  const ModuleRecord module = *port.module;
  take_out(port);
  listener_.module_removed(module, Clock::now());
}

bool Shift::stop_all() {
  for (const auto& [slot, occupied] : std::map(occupied_)) {
    if (!occupied.running) {
      continue;
    }
    ModuleRecord& module = *port_of(occupied).module;
    module.outcome = Outcome::Failed;
    module.stopped = true;
    if (!close(slot, {slot})) {
      return false;
    }
  }
  return true;
}

}  // namespace station
