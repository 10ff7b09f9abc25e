#pragma once
// What a simulated module needs from the bus it is plugged into. Modules call these while
// holding their own lock, so an implementation must never wait for a module's lock in them.

#include <chrono>
#include <cstdint>
#include <memory>

namespace sim {

class Module;

class ModuleHost {
 public:
  // A module arrived or left the bus: the watchers hear of it.
  virtual void presence_changed() = 0;
  // Something about a module changed: wake whoever waits for a condition on it.
  virtual void state_changed() = 0;
  // Run `module->come_back(power_epoch)` after `delay` (re-enumeration after the jump).
  virtual void return_after(std::shared_ptr<Module> module, std::chrono::milliseconds delay,
                            uint64_t power_epoch) = 0;

 protected:
  ~ModuleHost() = default;
};

}  // namespace sim
