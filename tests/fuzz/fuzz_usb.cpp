// A whole flash against a module that behaves correctly (the simulator's cv22) except where the
// fuzzer's bytes say otherwise. The first byte picks the session's options (reboot, move_calib,
// secure boot); then every 5 bytes are one deviation: which transfer (16 bits), what happens to
// it (a byte of its data set to a value, cut short, taking longer than its limit, timing out,
// stalling, the module unplugged), which byte and what value. The session runs on the fuzzer's
// own thread against one device manager for the whole run, so no thread starts per input. It
// must end; a failure must come with its error pair, and a flash no deviation touched must
// succeed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "firmware/archive.h"
#include "flash/session.h"
#include "flash/session_context.h"
#include "sim/module.h"
#include "sim/sim_device.h"
#include "tests/support/test_keys.h"
#include "usb/device_manager.h"

namespace {

// What a deviation does to its transfer; its kind byte has 0x80 set for a descriptor read.
enum Kind { kSetByte, kShort, kLong, kTimeout, kStall, kUnplug, kKinds };

// The deviations of one input, 5 bytes each (transfer number, kind, field, value), taken by
// transfer number on each of the two threads that talk to the module: the session's and the
// device manager's, which reads descriptors. A module is plugged in before its input is known,
// so its first descriptor read always goes through: it is the one read that may come while the
// plan is assigned, and it looks at no deviation.
class Plan {
 public:
  // The first deviation given for a transfer is the one that counts. They are looked up by
  // transfer number: a scan of a long input at every transfer would cost more than the flash.
  void assign(const uint8_t* data, size_t size) {
    bytes_.assign(data + std::min<size_t>(size, 1), data + size);
    for (size_t at = 0; at + 5 <= bytes_.size(); at += 5) {
      const bool descriptor = bytes_[at + 2] >= 0x80;
      by_transfer_[descriptor].emplace(bytes_[at] | bytes_[at + 1] << 8, &bytes_[at + 2]);
    }
  }
  const uint8_t* next(bool descriptor) {
    const uint16_t transfer = counts_[descriptor]++;
    described = described || descriptor;
    if (descriptor && transfer == 0) {
      return nullptr;
    }
    const auto found = by_transfer_[descriptor].find(transfer);
    if (found == by_transfer_[descriptor].end()) {
      return nullptr;
    }
    ++fired;
    return found->second;
  }
  std::atomic<int> fired = 0;
  std::atomic<bool> described = false;  // the slot is open: its first descriptor read began

 private:
  std::vector<uint8_t> bytes_;
  std::unordered_map<uint16_t, const uint8_t*> by_transfer_[2];  // kind, field and value
  std::atomic<uint16_t> counts_[2] = {};
};

// The simulator's handle, with the planned deviations applied on the way.
class DeviatingDevice final : public usb::Device {
 public:
  DeviatingDevice(std::shared_ptr<sim::Module> module, uint64_t generation,
                  std::shared_ptr<Plan> plan)
      : module_(module), device_(std::move(module), generation), plan_(std::move(plan)) {}
  int control(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned timeout) override {
    return deviate(plan_->next(setup.bRequest == 0x06), (setup.bmRequestType & 0x80) != 0, data,
                   [&](std::span<uint8_t> d) { return device_.control(setup, d, timeout); });
  }
  std::vector<uint8_t> endpoints() override { return device_.endpoints(); }
  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout, size_t& moved) override {
    const int result =
        deviate(plan_->next(false), (endpoint & 0x80) != 0, data, [&](std::span<uint8_t> d) {
          const int status = device_.bulk(endpoint, d, timeout, moved);
          return status == usb::kOk ? static_cast<int>(moved) : status;
        });
    moved = static_cast<size_t>(std::max(result, 0));
    return std::min(result, usb::kOk);
  }

 private:
  // `pass` hands data to the module and gives the bytes moved or a negative result.
  // `deviation` is kind, field and value.
  template <typename Pass>
  int deviate(const uint8_t* deviation, bool to_host, std::span<uint8_t> data, Pass pass) {
    if (deviation == nullptr) {
      return pass(data);
    }
    const size_t at = data.empty() ? 0 : deviation[1] % data.size();
    std::vector<uint8_t> sent(data.begin(), data.end());  // what the wire carries to the module
    switch ((deviation[0] & 0x7F) % kKinds) {
      case kSetByte:
        if (to_host) {
          const int moved = pass(data);
          if (moved > static_cast<int>(at)) {
            data[at] = deviation[2];
          }
          return moved;
        }
        if (!sent.empty()) {
          sent[at] = deviation[2];
        }
        return pass(sent);
      case kShort:
        return pass(data.first(deviation[2] % (data.size() + 1)));
      case kLong:
        pass(to_host ? data : std::span<uint8_t>(sent));
        return usb::kTimeout;
      case kTimeout:
        return usb::kTimeout;
      case kStall:
        return usb::kError;
      default:
        module_->pull_out();
        return usb::kDisconnected;
    }
  }

  std::shared_ptr<sim::Module> module_;
  sim::SimDevice device_;
  std::shared_ptr<Plan> plan_;  // a handle may outlive its input in the device manager's slot
};

// One port whose module is replaced for every input. After the jump the module comes back as
// soon as the device manager has once looked at the bus without it.
class FuzzBus final : public usb::Bus, private sim::ModuleHost {
 public:
  // Takes the last module out and puts a fresh one in.
  void plug(sim::ModuleConfig config, std::shared_ptr<Plan> plan) {
    sim::ModuleHost& host = *this;
    auto module = std::make_shared<sim::Module>(std::move(config), host);
    {
      std::lock_guard lock(mutex_);
      if (module_) {
        module_->pull_out();
      }
      module_ = module;
      plan_ = std::move(plan);
      returning_ = false;
      ++plugged_;
    }
    module->plug_in();
  }
  std::vector<usb::DeviceInfo> list(uint16_t vid) override {
    std::lock_guard lock(mutex_);
    const sim::Presence presence = module_ ? module_->presence() : sim::Presence{};
    if (returning_ && !presence.attached) {
      returning_ = false;
      module_->come_back(epoch_);
    }
    if (!presence.attached || presence.vid != vid) {
      return {};
    }
    // Each module is a new device on the port, whatever its own count of arrivals says.
    return {{presence.vid, presence.pid, "1-1", plugged_ * 1000 + presence.generation}};
  }
  std::unique_ptr<usb::Device> open(const usb::DeviceInfo& info) override {
    std::lock_guard lock(mutex_);
    const sim::Presence presence = module_->presence();
    if (!presence.attached || presence.pid != info.pid) {
      return nullptr;
    }
    return std::make_unique<DeviatingDevice>(module_, presence.generation, plan_);
  }
  // The device manager watches once, before any module is plugged in, for good.
  void watch(std::function<void()> changed) override {
    changed_ = std::move(changed);
    presence_changed();
  }

 private:
  void presence_changed() override {
    if (changed_) {
      changed_();
    }
  }
  void state_changed() override {}
  // Called with the module's lock held: the return happens at the next listing.
  void return_after(std::shared_ptr<sim::Module>, std::chrono::milliseconds,
                    uint64_t power_epoch) override {
    epoch_ = power_epoch;
    returning_ = true;
  }

  std::mutex mutex_;
  std::shared_ptr<sim::Module> module_;
  std::shared_ptr<Plan> plan_;
  std::atomic<bool> returning_ = false;
  std::atomic<uint64_t> epoch_ = 0;
  uint64_t plugged_ = 0;
  std::function<void()> changed_;
};

// The simulated module answers in microseconds and every change of the bus wakes the device
// manager and the session, so their periods and the mode switch's limit are cut to a few
// milliseconds: an input that leaves the module unready then costs little. On a busy machine
// even a good module may miss the mode switch, so a time-out is no proof of a false reject here
// (the stress is).
constexpr dm_timing kBusTiming{std::chrono::milliseconds(1), std::chrono::milliseconds(1),
                               std::chrono::milliseconds(5)};
constexpr uint32_t kModeSwitchPolls = 2;

// A short stand-in for the flash bootloader: its download is no different for being short.
const std::array<uint8_t, 64> kBootloader{};
std::shared_ptr<FuzzBus> bus;
dm_state* dm = nullptr;
std::string ads_file;
// Holds the secure-boot key pair, loaded once: checking a key costs far more than a flash.
flash_session* keys = nullptr;
// The next input's module, plugged in at the end of the input before, so that the device
// manager takes it up while the fuzzer picks the input.
std::shared_ptr<Plan> next_plan;

void plug_next_module() {
  sim::ModuleConfig module;
  module.bootloader_size = kBootloader.size();
  module.keep_image_bytes = module.record_traffic = false;
  next_plan = std::make_shared<Plan>();
  bus->plug(module, next_plan);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  const std::string prefix = "/tmp/fuzz-usb-" + std::to_string(getpid());
  ads_file = prefix + "-ads.txt";
  std::ofstream(ads_file) << "write 0xed080000,0x20f40000\npoll 0xdffe0818,0x80000000,0x0\n";
  const std::string private_key = prefix + "-key.pem";
  test_support::write_private_key_pem(private_key, test_support::make_rsa_key(1024).get());
  const std::string public_key = prefix + "-key.pub";
  std::ofstream(public_key) << std::string(512, 'k');
  std::freopen("/dev/null", "w", stdout);
  bus = std::make_shared<FuzzBus>();
  if (kavro_dm_init(&dm, bus, kBusTiming) != 0 ||
      create_session(&keys, nullptr, nullptr, "", nullptr, &dm, 1, 0, 0, public_key.c_str(),
                     private_key.c_str()) != 0) {
    __builtin_trap();
  }
  plug_next_module();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::shared_ptr<Plan> plan = next_plan;
  plan->assign(data, size);
  // A module the device manager never takes up shows as a time-out of the input.
  while (!plan->described) {
    kavro_dm_wait_for_change(&dm, kavro_dm_change_count(&dm), 1);
  }
  const uint8_t options = size > 0 ? data[0] : 0;
  flash_session* session = nullptr;
  if (create_session(&session, ads_file.c_str(), nullptr, "", KAVRO_FUZZ_OTA_FILE, &dm, 0,
                     options & 1, (options >> 1) & 1, nullptr, nullptr) != 0) {
    __builtin_trap();
  }
  if ((options & 4) != 0) {
    EVP_PKEY_up_ref(keys->private_key.get());
    session->private_key.reset(keys->private_key.get());
    session->public_key = keys->public_key;
  }
  session->flash_bootloader = kBootloader;
  session->mode_switch_poll_limit = kModeSwitchPolls;
  session_thread(*session);
  uint32_t state = 0;
  uint32_t error = 0;
  kavro_flash_get_status(&session, &state, &error, nullptr, nullptr);
  if ((state != FLASH_STATE_DONE && state != FLASH_STATE_FAILED) ||
      (state == FLASH_STATE_FAILED && error == 0) ||
      (plan->fired == 0 && state != FLASH_STATE_DONE &&
       static_cast<int>(error) != FLASH_ERR_MODE_SWITCH_TIMEOUT)) {
    std::fprintf(stderr, "state %u, error %d\n", state, static_cast<int>(error));
    __builtin_trap();
  }
  kavro_flash_destroy(&session);
  plug_next_module();
  return 0;
}
