#include "tests/realusb/scripted_bus.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace realusb_test {

class ScriptedBus::Device : public usb::Device {
 public:
  Device(ScriptedBus& bus, unsigned generation) : bus_(bus), generation_(generation) {}

  int control(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned) override {
    std::lock_guard lock(bus_.mutex_);
    if (!attached()) {
      return usb::kDisconnected;
    }
    bus_.control_calls_.push_back({setup, {}});
    if ((setup.bmRequestType & 0x80) != 0) {
      const uint32_t value = kRegisterValue;
      const size_t length = std::min(data.size(), sizeof value);
      std::memcpy(data.data(), &value, length);
      return static_cast<int>(length);
    }
    bus_.control_calls_.back().out.assign(data.begin(), data.end());
    return static_cast<int>(data.size());
  }

  std::vector<uint8_t> endpoints() override { return {0x01, 0x81}; }

  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved) override {
    std::unique_lock lock(bus_.mutex_);
    moved = 0;
    if (!attached()) {
      return usb::kDisconnected;
    }
    if ((endpoint & 0x80) == 0) {
      bus_.bulk_out_.emplace_back(data.begin(), data.end());
      moved = data.size();
      return usb::kOk;
    }
    ++bus_.waiting_ins_;
    bus_.in_waiting_.notify_all();
    const bool ready =
        bus_.response_ready_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                      [this] { return !bus_.responses_.empty() || !attached(); });
    --bus_.waiting_ins_;
    if (!attached()) {
      return usb::kDisconnected;
    }
    if (!ready) {
      return usb::kTimeout;
    }
    std::vector<uint8_t> response = std::move(bus_.responses_.front());
    bus_.responses_.pop_front();
    moved = std::min(data.size(), response.size());
    std::copy_n(response.begin(), moved, data.begin());
    return usb::kOk;
  }

 private:
  bool attached() const { return bus_.present_ && bus_.generation_ == generation_; }

  ScriptedBus& bus_;
  unsigned generation_;
};

void ScriptedBus::attach(uint16_t pid) {
  std::lock_guard lock(mutex_);
  present_ = true;
  pid_ = pid;
  ++generation_;
  notify();
}

void ScriptedBus::detach() {
  std::lock_guard lock(mutex_);
  present_ = false;
  response_ready_.notify_all();
  notify();
}

void ScriptedBus::queue_response(std::vector<uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  responses_.push_back(std::move(bytes));
  response_ready_.notify_all();
}

bool ScriptedBus::wait_for_waiting_in(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return in_waiting_.wait_for(lock, limit, [this] { return waiting_ins_ > 0; });
}

std::vector<ControlCall> ScriptedBus::control_calls() const {
  std::lock_guard lock(mutex_);
  return control_calls_;
}

std::vector<std::vector<uint8_t>> ScriptedBus::bulk_out() const {
  std::lock_guard lock(mutex_);
  return bulk_out_;
}

std::vector<usb::DeviceInfo> ScriptedBus::list(uint16_t vid) {
  std::lock_guard lock(mutex_);
  if (!present_ || vid != 0x4255) {
    return {};
  }
  return {usb::DeviceInfo{0x4255, pid_, "1-1"}};
}

std::unique_ptr<usb::Device> ScriptedBus::open(const usb::DeviceInfo& info) {
  std::lock_guard lock(mutex_);
  if (!present_ || info.pid != pid_) {
    return nullptr;
  }
  return std::make_unique<Device>(*this, generation_);
}

void ScriptedBus::watch(std::function<void()> changed) {
  std::lock_guard lock(mutex_);
  changed_ = std::move(changed);
  notify();
}

void ScriptedBus::notify() {
  if (changed_) {
    changed_();
  }
}

}  // namespace realusb_test
