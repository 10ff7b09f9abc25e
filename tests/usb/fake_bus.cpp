#include "tests/usb/fake_bus.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace fake {

namespace {

constexpr auto HOOK_DEADLINE = std::chrono::seconds(10);

bool is_descriptor_request(const usb::SetupPacket& setup) {
  return setup.bmRequestType == 0x80 && setup.bRequest == 0x06;
}

bool is_vendor_request(const usb::SetupPacket& setup) {
  return (setup.bmRequestType & 0x60) == 0x40;
}

}  // namespace

// ---- Module ----

void Module::queue_register_values(std::vector<uint32_t> values) {
  std::lock_guard guard(mutex_);
  register_values_.insert(register_values_.end(), values.begin(), values.end());
}

void Module::set_register_value(uint32_t value) {
  std::lock_guard guard(mutex_);
  steady_register_value_ = value;
}

void Module::set_vendor_result(int result) {
  std::lock_guard guard(mutex_);
  vendor_result_ = result;
}

void Module::hold_descriptor_reads() {
  std::lock_guard guard(mutex_);
  hold_descriptors_ = true;
}

void Module::release_descriptor_reads() {
  {
    std::lock_guard guard(mutex_);
    hold_descriptors_ = false;
  }
  changed_.notify_all();
}

bool Module::wait_descriptor_read_held() {
  std::unique_lock guard(mutex_);
  return changed_.wait_for(guard, HOOK_DEADLINE, [&] { return descriptor_held_; });
}

void Module::fail_descriptor_reads(int count) {
  std::lock_guard guard(mutex_);
  failing_descriptor_reads_ = count;
}

size_t Module::descriptor_reads() const {
  std::lock_guard guard(mutex_);
  return descriptor_reads_;
}

void Module::set_endpoints(std::vector<uint8_t> endpoints) {
  std::lock_guard guard(mutex_);
  endpoints_ = std::move(endpoints);
}

void Module::queue_response(std::vector<uint8_t> response) {
  std::lock_guard guard(mutex_);
  responses_.push_back(std::move(response));
}

void Module::set_piece_size(size_t bytes) {
  std::lock_guard guard(mutex_);
  piece_size_ = bytes;
}

void Module::set_bulk_result(int result) {
  std::lock_guard guard(mutex_);
  bulk_mode_ = BulkMode::Fail;
  bulk_result_ = result;
}

void Module::set_bulk_hang() {
  std::lock_guard guard(mutex_);
  bulk_mode_ = BulkMode::Hang;
}

void Module::set_bulk_stall() {
  std::lock_guard guard(mutex_);
  bulk_mode_ = BulkMode::Stall;
}

std::vector<ControlRecord> Module::vendor_requests() const {
  std::lock_guard guard(mutex_);
  return vendor_requests_;
}

std::vector<BulkRecord> Module::bulk_transfers() const {
  std::lock_guard guard(mutex_);
  return bulk_transfers_;
}

bool Module::closed_while_busy() const {
  std::lock_guard guard(mutex_);
  return closed_while_busy_;
}

int Module::control(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned timeout_ms,
                    uint16_t vid, uint16_t pid) {
  if (is_descriptor_request(setup)) {
    return descriptor_read(data, vid, pid);
  }
  if (is_vendor_request(setup)) {
    return vendor_request(setup, data, timeout_ms);
  }
  return usb::kError;
}

int Module::descriptor_read(std::span<uint8_t> data, uint16_t vid, uint16_t pid) {
  std::unique_lock guard(mutex_);
  ++descriptor_reads_;
  if (hold_descriptors_) {
    descriptor_held_ = true;
    changed_.notify_all();
    changed_.wait(guard, [&] { return !hold_descriptors_; });
    descriptor_held_ = false;
  }
  if (failing_descriptor_reads_ > 0) {
    --failing_descriptor_reads_;
    return usb::kError;
  }
  const std::vector<uint8_t> descriptor{18,
                                        1,
                                        0x00,
                                        0x02,
                                        0,
                                        0,
                                        0,
                                        64,
                                        static_cast<uint8_t>(vid),
                                        static_cast<uint8_t>(vid >> 8),
                                        static_cast<uint8_t>(pid),
                                        static_cast<uint8_t>(pid >> 8),
                                        0,
                                        1,
                                        1,
                                        2,
                                        0,
                                        1};
  const size_t length = std::min(data.size(), descriptor.size());
  std::copy_n(descriptor.begin(), length, data.begin());
  return static_cast<int>(length);
}

int Module::vendor_request(const usb::SetupPacket& setup, std::span<uint8_t> data,
                           unsigned timeout_ms) {
  std::lock_guard guard(mutex_);
  const bool inbound = (setup.bmRequestType & 0x80) != 0;
  if (inbound) {
    uint32_t value = steady_register_value_;
    if (!register_values_.empty()) {
      value = register_values_.front();
      register_values_.pop_front();
    }
    for (size_t i = 0; i < data.size() && i < 4; ++i) {
      data[i] = static_cast<uint8_t>(value >> (8 * i));
    }
  }
  vendor_requests_.push_back({setup, {data.begin(), data.end()}, timeout_ms});
  return vendor_result_.value_or(setup.wLength);
}

size_t Module::next_response_piece(std::span<uint8_t> data) {
  auto& response = responses_.front();
  const size_t length = std::min({data.size(), piece_size_, response.size()});
  std::copy_n(response.begin(), length, data.begin());
  response.erase(response.begin(), response.begin() + static_cast<std::ptrdiff_t>(length));
  if (response.empty()) {
    responses_.pop_front();
  }
  return length;
}

int Module::bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved) {
  std::unique_lock guard(mutex_);
  moved = 0;
  const bool inbound = (endpoint & 0x80) != 0;
  if (bulk_mode_ == BulkMode::Stall) {
    return usb::kOk;
  }
  if (bulk_mode_ == BulkMode::Fail) {
    bulk_transfers_.push_back({endpoint, {}, timeout_ms});
    return bulk_result_;
  }
  if (bulk_mode_ == BulkMode::Hang || (inbound && responses_.empty())) {
    bulk_transfers_.push_back({endpoint, {}, timeout_ms});
    // Stands in for the bus's own time limit: nothing arrives, the limit runs out.
    changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [] { return false; });
    return usb::kTimeout;
  }
  moved = inbound ? next_response_piece(data) : std::min(data.size(), piece_size_);
  bulk_transfers_.push_back({endpoint, {data.begin(), data.begin() + moved}, timeout_ms});
  return usb::kOk;
}

std::vector<uint8_t> Module::endpoints() const {
  std::lock_guard guard(mutex_);
  return endpoints_;
}

void Module::note_close(bool busy) {
  std::lock_guard guard(mutex_);
  closed_while_busy_ = closed_while_busy_ || busy;
}

// ---- Bus ----

namespace {

struct Attachment {
  std::shared_ptr<Module> module;
  usb::DeviceInfo info;
  uint64_t id;
};

}  // namespace

struct FakeBus::Core {
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<Attachment> attached;
  uint64_t generation = 0;
  uint64_t listed_generation = 0;
  uint64_t next_attachment_id = 1;
  size_t open_handles = 0;
  std::map<std::string, int> failing_opens;

  mutable std::mutex callback_mutex;
  std::function<void()> callback;

  bool still_attached(uint64_t id) const {
    std::lock_guard guard(mutex);
    return std::any_of(attached.begin(), attached.end(), [&](const auto& a) { return a.id == id; });
  }
};

namespace {

// An open handle of one attachment: once the module leaves or re-enumerates, the handle is
// dead and every transfer on it reports the disconnection.
class Handle final : public usb::Device {
 public:
  Handle(std::shared_ptr<FakeBus::Core> core, std::shared_ptr<Module> module, usb::DeviceInfo info,
         uint64_t id)
      : core_(std::move(core)), module_(std::move(module)), info_(std::move(info)), id_(id) {}

  ~Handle() override {
    module_->note_close(busy_.load() > 0);
    {
      std::lock_guard guard(core_->mutex);
      --core_->open_handles;
    }
    core_->changed.notify_all();
  }

  int control(const usb::SetupPacket& setup, std::span<uint8_t> data,
              unsigned timeout_ms) override {
    const BusyScope busy(busy_);
    if (!core_->still_attached(id_)) {
      return usb::kDisconnected;
    }
    return module_->control(setup, data, timeout_ms, info_.vid, info_.pid);
  }

  std::vector<uint8_t> endpoints() override { return module_->endpoints(); }

  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved) override {
    const BusyScope busy(busy_);
    moved = 0;
    if (!core_->still_attached(id_)) {
      return usb::kDisconnected;
    }
    return module_->bulk(endpoint, data, timeout_ms, moved);
  }

 private:
  struct BusyScope {
    explicit BusyScope(std::atomic<int>& count) : count_(count) { ++count_; }
    ~BusyScope() { --count_; }
    std::atomic<int>& count_;
  };

  std::shared_ptr<FakeBus::Core> core_;
  std::shared_ptr<Module> module_;
  usb::DeviceInfo info_;
  uint64_t id_;
  std::atomic<int> busy_{0};
};

}  // namespace

FakeBus::FakeBus() : core_(std::make_shared<Core>()) {}

std::shared_ptr<Module> FakeBus::plug(const std::string& path, uint16_t pid, uint16_t vid) {
  auto module = std::make_shared<Module>();
  plug(module, path, pid, vid);
  return module;
}

void FakeBus::plug(const std::shared_ptr<Module>& module, const std::string& path, uint16_t pid,
                   uint16_t vid) {
  {
    std::lock_guard guard(core_->mutex);
    const uint64_t id = core_->next_attachment_id++;
    core_->attached.push_back({module, {vid, pid, path, id}, id});
    ++core_->generation;
  }
  report_change();
}

void FakeBus::unplug(const std::string& path) {
  {
    std::lock_guard guard(core_->mutex);
    std::erase_if(core_->attached, [&](const auto& a) { return a.info.device_path == path; });
    ++core_->generation;
  }
  report_change();
}

void FakeBus::reenumerate(const std::string& path, uint16_t pid) {
  {
    std::lock_guard guard(core_->mutex);
    for (auto& attachment : core_->attached) {
      if (attachment.info.device_path == path) {
        attachment.info.pid = pid;
        attachment.id = core_->next_attachment_id++;
        attachment.info.enumeration = attachment.id;
      }
    }
    ++core_->generation;
  }
  report_change();
}

void FakeBus::fail_opens(const std::string& path, int count) {
  std::lock_guard guard(core_->mutex);
  core_->failing_opens[path] = count;
}

void FakeBus::report_change() {
  std::lock_guard guard(core_->callback_mutex);
  if (core_->callback) {
    core_->callback();
  }
}

bool FakeBus::wait_listed() {
  std::unique_lock guard(core_->mutex);
  const uint64_t target = core_->generation;
  return core_->changed.wait_for(guard, HOOK_DEADLINE,
                                 [&] { return core_->listed_generation >= target; });
}

bool FakeBus::wait_open_handles(size_t count) {
  std::unique_lock guard(core_->mutex);
  return core_->changed.wait_for(guard, HOOK_DEADLINE,
                                 [&] { return core_->open_handles == count; });
}

size_t FakeBus::open_handles() const {
  std::lock_guard guard(core_->mutex);
  return core_->open_handles;
}

bool FakeBus::watching() const {
  std::lock_guard guard(core_->callback_mutex);
  return static_cast<bool>(core_->callback);
}

std::vector<usb::DeviceInfo> FakeBus::list(uint16_t vid) {
  std::vector<usb::DeviceInfo> devices;
  {
    std::lock_guard guard(core_->mutex);
    core_->listed_generation = core_->generation;
    for (const auto& attachment : core_->attached) {
      if (attachment.info.vid == vid) {
        devices.push_back(attachment.info);
      }
    }
  }
  core_->changed.notify_all();
  return devices;
}

std::unique_ptr<usb::Device> FakeBus::open(const usb::DeviceInfo& info) {
  std::lock_guard guard(core_->mutex);
  const auto it = std::find_if(core_->attached.begin(), core_->attached.end(), [&](const auto& a) {
    return a.info.device_path == info.device_path && a.info.pid == info.pid;
  });
  if (it == core_->attached.end()) {
    return nullptr;
  }
  if (int& failing = core_->failing_opens[info.device_path]; failing > 0) {
    --failing;
    return nullptr;
  }
  ++core_->open_handles;
  return std::make_unique<Handle>(core_, it->module, it->info, it->id);
}

void FakeBus::watch(std::function<void()> changed) {
  std::lock_guard guard(core_->callback_mutex);
  core_->callback = std::move(changed);
  if (core_->callback) {
    core_->callback();
  }
}

}  // namespace fake
