// A simulated module on the bus: presence, control requests to the boot ROM, bulk transfers to
// the flash bootloader, timing, and the logs that tests inspect. Faults: module_faults.cpp.

#include "sim/module.h"

#include <algorithm>
#include <stdexcept>

#include "common/products.h"
#include "sim/hex.h"
#include "sim/wire.h"

namespace sim {
namespace {

constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint8_t kRequestTypeStandardIn = 0x80;
constexpr uint16_t kDeviceDescriptorValue = 0x0100;
constexpr uint8_t kVendorRequestMask = 0x60;
constexpr uint8_t kVendorRequestType = 0x40;
constexpr uint32_t kAdcReadingRevision0 = 2048;
constexpr uint32_t kAdcReadingRevision1 = 1315;

uint16_t hardware_pid_of(const ModuleConfig& config) {
  for (int row = 1; row < PRODUCT_ROW_COUNT; ++row) {
    const product_entry& entry = product_table[row];
    if (config.platform == entry.name && config.revision == entry.hw_version) {
      return static_cast<uint16_t>(entry.usb_pid);
    }
  }
  throw std::invalid_argument("no product has platform '" + config.platform + "' revision " +
                              std::to_string(config.revision));
}

std::optional<std::array<uint8_t, 32>> parse_sha256(const std::string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  const auto bytes = from_hex(text);
  if (!bytes || bytes->size() != 32) {
    throw std::invalid_argument("bootloader_sha256 must be 64 hexadecimal digits");
  }
  std::array<uint8_t, 32> digest{};
  std::ranges::copy(*bytes, digest.begin());
  return digest;
}

std::chrono::microseconds transfer_time(uint64_t bytes, uint64_t bytes_per_second) {
  if (bytes_per_second == 0) {
    return std::chrono::microseconds(0);
  }
  return std::chrono::microseconds(bytes * 1'000'000 / bytes_per_second);
}

}  // namespace

Module::Module(ModuleConfig config, ModuleHost& host)
    : config_(std::move(config)),
      hardware_pid_(hardware_pid_of(config_)),
      host_(&host),
      store_(config_.port, config_.platform, config_.flash_dir, config_.keep_image_bytes),
      bootloader_(store_, config_.flash_capacity) {
  parse_sha256(config_.bootloader_sha256);  // refuse a malformed digest up front
  for (const Fault& fault : config_.faults) {
    faults_.push_back({fault});
  }
}

Presence Module::presence() const {
  std::lock_guard lock(mutex_);
  return {attached_, mode_, static_cast<uint16_t>(KAVRO_USB_VID),
          mode_ == Mode::Software ? kSoftwareModePid : hardware_pid_, generation_};
}

BootRomSettings Module::boot_rom_settings() const {
  BootRomSettings settings;
  settings.adc_reading = config_.adc_reading.value_or(config_.revision == 1 ? kAdcReadingRevision1
                                                                            : kAdcReadingRevision0);
  settings.bootloader_size = config_.bootloader_size;
  settings.bootloader_sha256 = parse_sha256(config_.bootloader_sha256);
  settings.poll_never_ready = configured(Fault::Kind::PollNeverReady);
  settings.adc_never_done = configured(Fault::Kind::AdcNeverDone);
  return settings;
}

void Module::plug_in() {
  std::lock_guard lock(mutex_);
  if (attached_ || host_ == nullptr) {
    return;
  }
  ++power_epoch_;
  boot_rom_.emplace(boot_rom_settings());
  bootloader_.reset();
  responses_.clear();
  vendor_requests_ = 0;
  hung_ = false;
  mode_ = Mode::Hardware;
  attached_ = true;
  ++generation_;
  ++arrivals_;
  store_.save();
  host_->presence_changed();
  host_->state_changed();
}

void Module::pull_out() {
  std::lock_guard lock(mutex_);
  ++power_epoch_;  // a pending re-enumeration is cancelled: the module has no power
  if (attached_) {
    leave_bus();
  }
}

void Module::come_back(uint64_t power_epoch) {
  std::lock_guard lock(mutex_);
  if (power_epoch != power_epoch_ || attached_ || host_ == nullptr) {
    return;
  }
  bootloader_.reset();
  responses_.clear();
  hung_ = false;
  mode_ = Mode::Software;
  attached_ = true;
  ++generation_;
  ++arrivals_;
  host_->presence_changed();
  host_->state_changed();
}

void Module::disconnect_host() {
  std::lock_guard lock(mutex_);
  if (boot_rom_ && mode_ == Mode::Hardware) {
    record_download();  // what a session that never jumped left behind
  }
  host_ = nullptr;
  attached_ = false;
  ++generation_;
  wake_.notify_all();
}

void Module::leave_bus() {
  attached_ = false;
  ++generation_;
  responses_.clear();
  wake_.notify_all();
  if (host_ != nullptr) {
    host_->presence_changed();
    host_->state_changed();
  }
}

bool Module::connected(uint64_t generation) const {
  return attached_ && generation_ == generation && host_ != nullptr;
}

int Module::take_time(Lock& lock, uint64_t generation, Clock::duration duration,
                      unsigned timeout_ms, Clock::time_point from) {
  const auto limit = std::chrono::milliseconds(timeout_ms);
  const bool too_slow = timeout_ms != 0 && duration > limit;
  if (too_slow) {
    duration = limit;
  }
  store_.add_busy_time(duration);
  // The module works on one transfer at a time; a transfer that arrives while it is busy
  // waits. Counting from the modelled end of the previous one keeps waking late from adding up.
  free_at_ = std::max(from, free_at_) + duration;
  if (duration > Clock::duration::zero()) {
    wake_.wait_until(lock, free_at_, [&] { return !connected(generation); });
  }
  if (!connected(generation)) {
    return usb::kDisconnected;
  }
  return too_slow ? usb::kTimeout : usb::kOk;
}

int Module::wait_hung(Lock& lock, uint64_t generation, unsigned timeout_ms) {
  if (host_ != nullptr) {
    host_->state_changed();  // whoever waits for the hang sees it before the wait ends
  }
  const auto gone = [&] { return !connected(generation); };
  if (timeout_ms == 0) {
    wake_.wait(lock, gone);
    return usb::kDisconnected;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  return wake_.wait_until(lock, deadline, gone) ? usb::kDisconnected : usb::kTimeout;
}

int Module::control(uint64_t generation, const usb::SetupPacket& setup, std::span<uint8_t> data,
                    unsigned timeout_ms, Clock::time_point submitted) {
  Lock lock(mutex_);
  const int latency =
      take_time(lock, generation, std::chrono::microseconds(config_.timing.control_latency_us),
                timeout_ms, submitted);
  if (latency != usb::kOk) {
    return latency;
  }
  int result = usb::kError;
  if (hung_) {
    result = wait_hung(lock, generation, timeout_ms);
  } else if (setup.bmRequestType == kRequestTypeStandardIn &&
             setup.bRequest == kRequestGetDescriptor) {
    result = descriptor_request(setup, data);
  } else if ((setup.bmRequestType & kVendorRequestMask) == kVendorRequestType &&
             mode_ == Mode::Hardware) {
    result = vendor_request(setup, data);
    if (hung_) {
      result = wait_hung(lock, generation, timeout_ms);
    }
  }
  log_control(setup, data, result);
  if (host_ != nullptr) {
    host_->state_changed();
  }
  return result;
}

int Module::descriptor_request(const usb::SetupPacket& setup, std::span<uint8_t> data) const {
  if (setup.wValue != kDeviceDescriptorValue || setup.wIndex != 0) {
    return usb::kError;
  }
  const uint16_t pid = mode_ == Mode::Software ? kSoftwareModePid : hardware_pid_;
  const uint16_t vid = KAVRO_USB_VID;
  const std::array<uint8_t, kDeviceDescriptorSize> descriptor{
      kDeviceDescriptorSize,
      1,     // descriptor type: device
      0x00,  // USB 2.0
      0x02,
      0xFF,  // vendor-specific class
      0x00,
      0x00,
      64,  // control endpoint packet size
      static_cast<uint8_t>(vid),
      static_cast<uint8_t>(vid >> 8),
      static_cast<uint8_t>(pid),
      static_cast<uint8_t>(pid >> 8),
      0x00,  // device release 1.00
      0x01,
      0,  // no strings
      0,
      0,
      1,  // one configuration
  };
  const size_t length = std::min({size_t{setup.wLength}, data.size(), descriptor.size()});
  std::copy_n(descriptor.begin(), length, data.begin());
  return static_cast<int>(length);
}

int Module::vendor_request(const usb::SetupPacket& setup, std::span<uint8_t> data) {
  ++vendor_requests_;
  if (control_fault_fires(Fault::Kind::Unplug)) {
    leave_bus();
    return usb::kDisconnected;
  }
  if (control_fault_fires(Fault::Kind::Hang)) {
    hung_ = true;
    return usb::kTimeout;  // control() waits out the time limit first
  }
  const BootRom::Reply reply = boot_rom_->vendor_request(setup, data);
  switch (reply.outcome) {
    case BootRom::Outcome::Stalled:
      return usb::kError;
    case BootRom::Outcome::StartBootloader:
      start_bootloader();
      return reply.length;
    case BootRom::Outcome::IgnoredJump:
      record_download();
      return reply.length;
    case BootRom::Outcome::Completed:
      return reply.length;
  }
  return usb::kError;
}

void Module::record_download() {
  store_.set_bootloader(boot_rom_->downloaded());
  store_.set_hardware_mode(boot_rom_->hardware_mode());
  store_.save();
}

void Module::start_bootloader() {
  record_download();
  leave_bus();
  const bool returns = !configured(Fault::Kind::NoReturn);
  if (returns && host_ != nullptr) {
    host_->return_after(shared_from_this(), std::chrono::milliseconds(config_.reenumerate_ms),
                        power_epoch_);
  }
}

std::vector<uint8_t> Module::endpoints(uint64_t generation) const {
  std::lock_guard lock(mutex_);
  if (!connected(generation) || mode_ != Mode::Software) {
    return {};  // the boot ROM speaks on endpoint 0 only
  }
  return {kEndpointOut, kEndpointIn};
}

int Module::bulk(uint64_t generation, uint8_t endpoint, std::span<uint8_t> data,
                 unsigned timeout_ms, size_t& moved) {
  moved = 0;
  Lock lock(mutex_);
  if (!connected(generation)) {
    return usb::kDisconnected;
  }
  if (mode_ != Mode::Software || (endpoint != kEndpointOut && endpoint != kEndpointIn) ||
      data.empty()) {
    return usb::kError;
  }
  const int wire =
      take_time(lock, generation, transfer_time(data.size(), config_.timing.bulk_bytes_per_second),
                timeout_ms);
  if (wire != usb::kOk) {
    return wire;  // a block that does not get through in time is not taken at all
  }
  int result = usb::kError;
  if (hung_) {
    result = wait_hung(lock, generation, timeout_ms);
  } else if (endpoint == kEndpointOut) {
    result = bulk_out(data, moved);
  } else {
    result = bulk_in(lock, generation, data, timeout_ms, moved);
  }
  if (host_ != nullptr) {
    host_->state_changed();
  }
  return result;
}

int Module::bulk_out(std::span<const uint8_t> block, size_t& moved) {
  const BlockHead head = bootloader_.classify(block);
  const bool is_data = head.kind == BlockKind::Data;
  if (is_data) {
    image_bytes_ += block.size();
  }
  const BlockFaults faults = block_faults(head, is_data);
  BlockRecord record{head.kind, head.command_id, block.size(), std::nullopt};
  if (faults.unplug) {
    block_log_.push_back(record);
    leave_bus();
    return usb::kDisconnected;
  }
  moved = block.size();
  if (faults.hang) {
    hung_ = true;  // took the block and will never answer it
    block_log_.push_back(record);
    return usb::kOk;
  }
  const uint32_t status =
      faults.status ? bootloader_.refuse(block, *faults.status) : bootloader_.handle(block);
  PendingResponse response;
  wire::store_le32(response.bytes, 0,
                   faults.bad_signature ? kBadResponseSignature : kResponseSignature);
  wire::store_le32(response.bytes, 4, status);
  wire::store_le32(response.bytes, 8, head.command_id);
  const Clock::duration flash_time =
      is_data ? transfer_time(block.size(), config_.timing.flash_bytes_per_second)
              : Clock::duration::zero();
  store_.add_busy_time(flash_time);
  response.ready_at = Clock::now() + flash_time;
  response.leave_after =
      head.kind == BlockKind::Command && head.command_id == kCommandReboot && status == kStatusOk;
  responses_.push_back(response);
  record.status = status;
  block_log_.push_back(record);
  wake_.notify_all();  // a reader may be waiting for this response
  return usb::kOk;
}

int Module::bulk_in(Lock& lock, uint64_t generation, std::span<uint8_t> data, unsigned timeout_ms,
                    size_t& moved) {
  // A module with nothing to say NAKs the read until the host gives up.
  const auto deadline = timeout_ms == 0 ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (!connected(generation)) {
      return usb::kDisconnected;
    }
    if (hung_) {
      return wait_hung(lock, generation, timeout_ms);
    }
    const auto now = Clock::now();
    if (!responses_.empty() && responses_.front().ready_at <= now) {
      break;
    }
    if (now >= deadline) {
      return usb::kTimeout;
    }
    const auto until =
        responses_.empty() ? deadline : std::min(deadline, responses_.front().ready_at);
    wake_.wait_until(lock, until);
  }
  PendingResponse& response = responses_.front();
  const size_t piece = std::min(response_piece_, kResponseSize - response.sent);
  if (data.size() < piece) {
    return usb::kError;  // the packet does not fit the host's buffer (overflow)
  }
  std::copy_n(response.bytes.begin() + static_cast<std::ptrdiff_t>(response.sent), piece,
              data.begin());
  response.sent += piece;
  moved = piece;
  if (response.sent == kResponseSize) {
    const bool leaves = response.leave_after;
    responses_.pop_front();
    if (leaves) {
      leave_bus();  // rebooted into the new firmware, which does not come back as a module
    }
  }
  return usb::kOk;
}

void Module::log_control(const usb::SetupPacket& setup, std::span<const uint8_t> data, int result) {
  if (!config_.record_traffic) {
    return;
  }
  ControlRecord record;
  record.setup = setup;
  const bool data_in = (setup.bmRequestType & 0x80) != 0;
  const size_t valid = data_in ? static_cast<size_t>(std::max(result, 0)) : data.size();
  record.length = static_cast<uint8_t>(std::min(valid, record.data.size()));
  std::copy_n(data.begin(), record.length, record.data.begin());
  record.result = result;
  control_log_.push_back(record);
}

std::vector<ControlRecord> Module::control_log() const {
  std::lock_guard lock(mutex_);
  return control_log_;
}

std::vector<BlockRecord> Module::block_log() const {
  std::lock_guard lock(mutex_);
  return block_log_;
}

FlashContents Module::flash() const {
  std::lock_guard lock(mutex_);
  return store_.contents();
}

uint32_t Module::peek(uint32_t address) const {
  std::lock_guard lock(mutex_);
  return boot_rom_ ? boot_rom_->peek(address) : 0;
}

DownloadedBootloader Module::downloaded_bootloader() const {
  std::lock_guard lock(mutex_);
  return boot_rom_ ? boot_rom_->downloaded() : DownloadedBootloader{};
}

uint32_t Module::arrivals() const {
  std::lock_guard lock(mutex_);
  return arrivals_;
}

}  // namespace sim
