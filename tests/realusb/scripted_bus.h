#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/bus.h"

// A bus with at most one module on port "1-1" whose presence, product ID and answers the test
// decides, so that the redirection server's handling of each can be checked on its own.
namespace realusb_test {

struct ControlCall {
  usb::SetupPacket setup{};
  std::vector<uint8_t> out;
};

class ScriptedBus : public usb::Bus {
 public:
  static constexpr uint32_t kRegisterValue = 0x11223344;

  void attach(uint16_t pid);
  void detach();
  // The next bulk IN transfer receives these bytes (in one piece); until then IN transfers wait.
  void queue_response(std::vector<uint8_t> bytes);

  // Waits until a bulk IN transfer is blocked waiting for a response; false after `limit`.
  bool wait_for_waiting_in(std::chrono::milliseconds limit);

  std::vector<ControlCall> control_calls() const;
  std::vector<std::vector<uint8_t>> bulk_out() const;

  std::vector<usb::DeviceInfo> list(uint16_t vid) override;
  std::unique_ptr<usb::Device> open(const usb::DeviceInfo& info) override;
  void watch(std::function<void()> changed) override;

 private:
  class Device;
  void notify();

  mutable std::mutex mutex_;
  std::condition_variable response_ready_;
  std::condition_variable in_waiting_;
  int waiting_ins_ = 0;
  bool present_ = false;
  uint16_t pid_ = 0;
  unsigned generation_ = 0;  // counts attachments; an open device belongs to one of them
  std::deque<std::vector<uint8_t>> responses_;
  std::vector<ControlCall> control_calls_;
  std::vector<std::vector<uint8_t>> bulk_out_;
  std::function<void()> changed_;
};

}  // namespace realusb_test
