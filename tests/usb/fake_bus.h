#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb/bus.h"

// A bus the tests script completely: modules arrive, leave and re-enumerate when a test says
// so, opens and transfers fail on request, and every transfer is recorded. Nothing here sleeps;
// tests wait on the hooks below, which are woken by the activity they wait for.
namespace fake {

inline constexpr uint16_t KAVRO_VID = 0x4255;
inline constexpr uint16_t S5L_PID = 0x0010;
inline constexpr uint16_t CV22_PID = 0x0013;
inline constexpr uint16_t CV25_PID = 0x0014;
inline constexpr uint16_t SOFTWARE_PID = 0x4250;

struct ControlRecord {
  usb::SetupPacket setup;
  std::vector<uint8_t> data;  // what went out, or what the module answered
  unsigned timeout_ms;
};

struct BulkRecord {
  uint8_t endpoint;
  std::vector<uint8_t> data;  // bytes moved by this call
  unsigned timeout_ms;
};

// The behaviour of one physical module, kept across its attachments.
class Module {
 public:
  // Vendor reads answer these values in turn, then the steady value.
  void queue_register_values(std::vector<uint32_t> values);
  void set_register_value(uint32_t value);
  // Vendor requests return `result` instead of completing: a negative bus result, or a count
  // of bytes shorter than the request.
  void set_vendor_result(int result);

  // Descriptor reads block until released; wait_descriptor_read_held() reports one blocked.
  void hold_descriptor_reads();
  void release_descriptor_reads();
  bool wait_descriptor_read_held();
  void fail_descriptor_reads(int count);
  size_t descriptor_reads() const;

  void set_endpoints(std::vector<uint8_t> endpoints);
  void queue_response(std::vector<uint8_t> response);
  // Each bulk call moves at most this many bytes.
  void set_piece_size(size_t bytes);
  // Every bulk call fails with `result` at once.
  void set_bulk_result(int result);
  // Every bulk call waits out its time limit and times out, as a module that stopped answering.
  void set_bulk_hang();
  // Every bulk call succeeds having moved nothing.
  void set_bulk_stall();

  std::vector<ControlRecord> vendor_requests() const;
  std::vector<BulkRecord> bulk_transfers() const;
  // True if a handle of this module was closed while one of its transfers was running.
  bool closed_while_busy() const;

  // Entry points of the handles.
  int control(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned timeout_ms,
              uint16_t vid, uint16_t pid);
  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved);
  std::vector<uint8_t> endpoints() const;
  void note_close(bool busy);

 private:
  enum class BulkMode { Normal, Fail, Hang, Stall };

  int descriptor_read(std::span<uint8_t> data, uint16_t vid, uint16_t pid);
  int vendor_request(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned timeout_ms);
  size_t next_response_piece(std::span<uint8_t> data);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint32_t> register_values_;
  uint32_t steady_register_value_ = 0;
  std::optional<int> vendor_result_;
  bool hold_descriptors_ = false;
  bool descriptor_held_ = false;
  int failing_descriptor_reads_ = 0;
  size_t descriptor_reads_ = 0;
  std::vector<uint8_t> endpoints_{0x01, 0x81};
  std::deque<std::vector<uint8_t>> responses_;
  size_t piece_size_ = SIZE_MAX;
  BulkMode bulk_mode_ = BulkMode::Normal;
  int bulk_result_ = 0;
  std::vector<ControlRecord> vendor_requests_;
  std::vector<BulkRecord> bulk_transfers_;
  bool closed_while_busy_ = false;
};

class FakeBus : public usb::Bus {
 public:
  FakeBus();

  // Attaches a new module, or `module` again, and reports the arrival.
  std::shared_ptr<Module> plug(const std::string& path, uint16_t pid, uint16_t vid = KAVRO_VID);
  void plug(const std::shared_ptr<Module>& module, const std::string& path, uint16_t pid,
            uint16_t vid = KAVRO_VID);
  void unplug(const std::string& path);
  // Removal and arrival under `pid` (the same or another product ID), reported as one event.
  void reenumerate(const std::string& path, uint16_t pid);
  // The next `count` opens of the module at `path` fail.
  void fail_opens(const std::string& path, int count);

  // Waits until a listing has begun after the latest change. The device manager lists the bus
  // under its lock, so a query made after this returns sees that whole reconciliation.
  bool wait_listed();
  bool wait_open_handles(size_t count);
  size_t open_handles() const;
  bool watching() const;

  std::vector<usb::DeviceInfo> list(uint16_t vid) override;
  std::unique_ptr<usb::Device> open(const usb::DeviceInfo& info) override;
  void watch(std::function<void()> changed) override;

  struct Core;

 private:
  void report_change();

  std::shared_ptr<Core> core_;
};

}  // namespace fake
