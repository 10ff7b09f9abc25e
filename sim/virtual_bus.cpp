#include "sim/virtual_bus.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "sim/sim_device.h"

namespace sim {

VirtualBus::VirtualBus(std::vector<ModuleConfig> modules) {
  for (ModuleConfig& config : modules) {
    attach(std::move(config));
  }
}

VirtualBus::~VirtualBus() {
  std::vector<std::shared_ptr<Module>> modules;
  {
    std::lock_guard lock(mutex_);
    modules = modules_;
  }
  // Handles may outlive the bus: their modules stop calling back and end every wait first.
  for (const auto& module : modules) {
    module->disconnect_host();
  }
  loop_.stop();
}

std::shared_ptr<Module> VirtualBus::add(ModuleConfig config) {
  std::lock_guard lock(mutex_);
  const bool taken = std::ranges::any_of(
      modules_, [&config](const auto& module) { return module->config().port == config.port; });
  if (taken) {
    throw std::invalid_argument("port '" + config.port + "' already has a module");
  }
  ModuleHost& host = *this;
  auto module = std::make_shared<Module>(std::move(config), host);
  modules_.push_back(module);
  return module;
}

Module& VirtualBus::attach(ModuleConfig config) {
  const std::chrono::milliseconds delay(config.attach_after_ms);
  std::shared_ptr<Module> module = add(std::move(config));
  if (delay.count() == 0) {
    module->plug_in();
  } else {
    loop_.post_after(delay, [module] { module->plug_in(); });
  }
  return *module;
}

std::shared_ptr<Module> VirtualBus::find(std::string_view port) {
  std::lock_guard lock(mutex_);
  const auto found = std::ranges::find_if(
      modules_, [port](const auto& module) { return module->config().port == port; });
  if (found == modules_.end()) {
    throw std::out_of_range("no module on port '" + std::string(port) + "'");
  }
  return *found;
}

Module& VirtualBus::module(std::string_view port) {
  return *find(port);
}

void VirtualBus::unplug(std::string_view port) {
  find(port)->pull_out();
}

std::vector<usb::DeviceInfo> VirtualBus::list(uint16_t vid) {
  std::vector<std::shared_ptr<Module>> modules;
  {
    std::lock_guard lock(mutex_);
    modules = modules_;
  }
  std::vector<usb::DeviceInfo> present;
  for (const auto& module : modules) {
    const Presence presence = module->presence();
    if (presence.attached && presence.vid == vid) {
      present.push_back({presence.vid, presence.pid, module->config().port, presence.generation});
    }
  }
  return present;
}

std::unique_ptr<usb::Device> VirtualBus::open(const usb::DeviceInfo& info) {
  std::shared_ptr<Module> module;
  try {
    module = find(info.device_path);
  } catch (const std::out_of_range&) {
    return nullptr;
  }
  const Presence presence = module->presence();
  if (!presence.attached || presence.vid != info.vid || presence.pid != info.pid) {
    return nullptr;
  }
  return std::make_unique<SimDevice>(std::move(module), presence.generation);
}

void VirtualBus::watch(std::function<void()> changed) {
  const bool registering = static_cast<bool>(changed);
  {
    std::lock_guard lock(watcher_mutex_);
    watcher_ = std::move(changed);
    watching_ = registering;
  }
  if (registering) {
    loop_.post([this] { notify_watcher(); });  // once for the modules already present
  }
}

void VirtualBus::notify_watcher() {
  std::lock_guard lock(watcher_mutex_);
  // A copy, so that the watcher may replace itself through watch() while it runs.
  const std::function<void()> watcher = watcher_;
  if (watcher) {
    watcher();
  }
}

void VirtualBus::presence_changed() {
  // Without a watcher there is nobody to tell; a watcher that registers later gets its first
  // call anyway and looks at the whole bus then.
  if (watching_) {
    loop_.post([this] { notify_watcher(); });
  }
}

void VirtualBus::state_changed() {
  {
    std::lock_guard lock(events_mutex_);
    ++event_count_;
  }
  events_.notify_all();
}

void VirtualBus::return_after(std::shared_ptr<Module> module, std::chrono::milliseconds delay,
                              uint64_t power_epoch) {
  loop_.post_after(delay,
                   [module = std::move(module), power_epoch] { module->come_back(power_epoch); });
}

bool VirtualBus::wait_until(const std::function<bool()>& condition,
                            std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(events_mutex_);
  while (true) {
    const uint64_t seen = event_count_;
    // The condition reads module state under the modules' own locks: never under ours.
    lock.unlock();
    if (condition()) {
      return true;
    }
    lock.lock();
    if (!events_.wait_until(lock, deadline, [&] { return event_count_ != seen; })) {
      lock.unlock();
      return condition();
    }
  }
}

}  // namespace sim
