#pragma once
// The module simulator behind the USB seam. It holds simulated modules on their ports, reports
// them under vendor ID 0x4255 with the product ID of their current mode, and tells the watcher
// of every arrival and removal from a thread of its own, as a USB library's hot-plug thread
// would. Tests drive it further through attach/unplug/replug and inspect each module.
//
// Thread-safe throughout. Hot-plug callbacks run on the bus's event thread; a callback must
// not block on something that a thread calling watch() holds meanwhile.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/event_loop.h"
#include "sim/module.h"
#include "sim/module_config.h"
#include "sim/module_host.h"
#include "usb/bus.h"

namespace sim {

class VirtualBus final : public usb::Bus, private ModuleHost {
 public:
  using Stamp = std::atomic<std::chrono::steady_clock::rep>;

  // Modules with attach_after_ms 0 are on the bus when the constructor returns, in the order
  // given; the others arrive after their delay. A module's `next` ones take its port in turn,
  // each once the one before has left for good; module(port) is then the latest. Throws
  // std::invalid_argument for a module whose platform and revision no product has, a malformed
  // bootloader_sha256, or a port used twice.
  explicit VirtualBus(std::vector<ModuleConfig> modules = {});
  ~VirtualBus() override;
  VirtualBus(const VirtualBus&) = delete;
  VirtualBus& operator=(const VirtualBus&) = delete;

  std::vector<usb::DeviceInfo> list(uint16_t vid) override;
  std::unique_ptr<usb::Device> open(const usb::DeviceInfo& info) override;
  void watch(std::function<void()> changed) override;

  // Adds a module on a port not used before (attach_after_ms is honoured). Throws like the
  // constructor.
  Module& attach(ModuleConfig config);
  // Pulls the module on `port` off the bus; open handles fail from then on.
  void unplug(std::string_view port);
  // Power-cycles the module on `port`: off the bus if it was on, then back in hardware mode
  // with a fresh boot ROM. Its flash keeps what was written.
  void replug(std::string_view port);
  // The module on `port`; throws std::out_of_range for a port without one.
  Module& module(std::string_view port);
  // Waits until `condition` holds, re-checking it whenever a module's state changes (each
  // transfer, arrival or removal). Returns whether it held before `timeout` ran out.
  bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

 private:
  void presence_changed() override;
  void state_changed() override;
  void return_after(std::shared_ptr<Module> module, std::chrono::milliseconds delay,
                    uint64_t power_epoch) override;
  void notify_watcher();
  std::shared_ptr<Module> find(std::string_view port);
  std::shared_ptr<Module> current(std::string_view port) const;  // mutex_ held; null: none
  std::shared_ptr<Module> add(ModuleConfig config);
  void schedule_arrival(const std::shared_ptr<Module>& module);
  // Pulls `module` out once it has been idle for its leave_after_ms, or looks again then.
  void leave_when_idle(const std::shared_ptr<Module>& module, const std::shared_ptr<Stamp>& used);
  // Lets the next module onto every port whose module has left for good.
  void take_turns();

  std::mutex mutex_;  // guards modules_, followers_, returning_ and last_used_
  std::vector<std::shared_ptr<Module>> modules_;  // the latest one of a port is its current one
  std::map<std::string, std::deque<std::shared_ptr<Module>>, std::less<>> followers_;
  // Modules that jumped to the flash bootloader and are not back yet.
  std::multiset<const Module*> returning_;
  // When each module with leave_after_ms last moved data (or arrived), through its handles.
  std::map<const Module*, std::shared_ptr<Stamp>> last_used_;
  std::recursive_mutex watcher_mutex_;  // held while the watcher runs, so watch({}) can wait
  std::function<void()> watcher_;
  std::atomic<bool> watching_ = false;  // readable without watcher_mutex_, which a watcher holds
  std::mutex events_mutex_;
  std::condition_variable events_;
  uint64_t event_count_ = 0;
  EventLoop loop_;  // last: its thread stops before the members it uses go away
};

}  // namespace sim
