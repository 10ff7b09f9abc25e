// The virtual bus: simulated modules on their ports, their arrivals, removals and turns.

#include "sim/virtual_bus.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "sim/sim_device.h"

namespace sim {
namespace {

// A handle that notes when its module last moved data, for a module that leaves once idle.
class StampedDevice final : public usb::Device {
 public:
  StampedDevice(std::unique_ptr<usb::Device> device, std::shared_ptr<VirtualBus::Stamp> used)
      : device_(std::move(device)), used_(std::move(used)) {}

  int control(const usb::SetupPacket& setup, std::span<uint8_t> data,
              unsigned timeout_ms) override {
    touch();
    const int result = device_->control(setup, data, timeout_ms);
    touch();
    return result;
  }
  std::vector<uint8_t> endpoints() override { return device_->endpoints(); }
  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved) override {
    touch();
    const int result = device_->bulk(endpoint, data, timeout_ms, moved);
    touch();
    return result;
  }

 private:
  void touch() { *used_ = std::chrono::steady_clock::now().time_since_epoch().count(); }

  std::unique_ptr<usb::Device> device_;
  std::shared_ptr<VirtualBus::Stamp> used_;
};

}  // namespace

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
    for (const auto& [port, followers] : followers_) {
      modules.insert(modules.end(), followers.begin(), followers.end());
    }
  }
  // Handles may outlive the bus: their modules stop calling back and end every wait first.
  for (const auto& module : modules) {
    module->disconnect_host();
  }
  loop_.stop();
}

std::shared_ptr<Module> VirtualBus::add(ModuleConfig config) {
  std::lock_guard lock(mutex_);
  if (current(config.port) != nullptr) {
    throw std::invalid_argument("port '" + config.port + "' already has a module");
  }
  ModuleHost& host = *this;
  auto module = std::make_shared<Module>(std::move(config), host);
  modules_.push_back(module);
  return module;
}

Module& VirtualBus::attach(ModuleConfig config) {
  std::deque<std::shared_ptr<Module>> followers;
  ModuleHost& host = *this;
  for (ModuleConfig& follower : config.next) {
    follower.port = config.port;
    followers.push_back(std::make_shared<Module>(std::move(follower), host));
  }
  config.next.clear();
  std::shared_ptr<Module> module = add(std::move(config));
  if (!followers.empty()) {
    std::lock_guard lock(mutex_);
    followers_[module->config().port] = std::move(followers);
  }
  schedule_arrival(module);
  return *module;
}

void VirtualBus::schedule_arrival(const std::shared_ptr<Module>& module) {
  const std::chrono::milliseconds delay(module->config().attach_after_ms);
  if (delay.count() == 0) {
    module->plug_in();
  } else {
    loop_.post_after(delay, [module] { module->plug_in(); });
  }
  if (module->config().leave_after_ms > 0) {
    const auto arrival = std::chrono::steady_clock::now() + delay;
    auto used = std::make_shared<Stamp>(arrival.time_since_epoch().count());
    {
      std::lock_guard lock(mutex_);
      last_used_[module.get()] = used;
    }
    loop_.post_after(delay + std::chrono::milliseconds(module->config().leave_after_ms),
                     [this, module, used] { leave_when_idle(module, used); });
  }
}

void VirtualBus::leave_when_idle(const std::shared_ptr<Module>& module,
                                 const std::shared_ptr<Stamp>& used) {
  using Clock = std::chrono::steady_clock;
  const auto due = Clock::time_point(Clock::duration(used->load())) +
                   std::chrono::milliseconds(module->config().leave_after_ms);
  if (Clock::now() >= due) {
    module->pull_out();
    return;
  }
  loop_.post_after(std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()),
                   [this, module, used] { leave_when_idle(module, used); });
}

void VirtualBus::take_turns() {
  std::vector<std::shared_ptr<Module>> occupants;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [port, followers] : followers_) {
      if (!followers.empty()) {
        occupants.push_back(current(port));
      }
    }
  }
  for (const auto& occupant : occupants) {
    // presence() waits for a jump in progress, so returning_ already holds a module that jumped.
    const bool left = !occupant->presence().attached && occupant->arrivals() > 0;
    std::shared_ptr<Module> next;
    {
      std::lock_guard lock(mutex_);
      auto& followers = followers_.find(occupant->config().port)->second;
      if (!left || returning_.contains(occupant.get()) || followers.empty()) {
        continue;
      }
      next = followers.front();
      followers.pop_front();
      modules_.push_back(next);
    }
    schedule_arrival(next);
  }
}

std::shared_ptr<Module> VirtualBus::current(std::string_view port) const {
  const auto found =
      std::ranges::find_if(modules_.rbegin(), modules_.rend(),
                           [port](const auto& module) { return module->config().port == port; });
  return found == modules_.rend() ? nullptr : *found;
}

std::shared_ptr<Module> VirtualBus::find(std::string_view port) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Module> module = current(port);
  if (module == nullptr) {
    throw std::out_of_range("no module on port '" + std::string(port) + "'");
  }
  return module;
}

Module& VirtualBus::module(std::string_view port) {
  return *find(port);
}

void VirtualBus::unplug(std::string_view port) {
  find(port)->pull_out();
}

void VirtualBus::replug(std::string_view port) {
  const std::shared_ptr<Module> module = find(port);
  module->pull_out();
  module->plug_in();
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
      present.push_back({presence.vid, presence.pid, module->config().port, presence.generation,
                         module->config().serial});
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
  std::unique_ptr<usb::Device> device = std::make_unique<SimDevice>(module, presence.generation);
  std::lock_guard lock(mutex_);
  if (const auto used = last_used_.find(module.get()); used != last_used_.end()) {
    return std::make_unique<StampedDevice>(std::move(device), used->second);
  }
  return device;
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
  loop_.post([this] { take_turns(); });
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
  {
    std::lock_guard lock(mutex_);
    returning_.insert(module.get());
  }
  loop_.post_after(delay, [this, module = std::move(module), power_epoch] {
    module->come_back(power_epoch);
    {
      std::lock_guard lock(mutex_);
      returning_.erase(returning_.find(module.get()));
    }
    take_turns();  // a return cancelled by a pull-out leaves the port free
  });
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
