// A module whose every answer comes from the fuzzer: which device the bus lists, its device
// descriptor, every boot-ROM register read and every flash-bootloader response, each with
// failures, time-outs, unplugs and short transfers. The device manager and a whole flash
// session run against it. Whatever it answers, the session must end, and a failure must come
// with its error pair.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "common/products.h"
#include "firmware/archive.h"
#include "flash/session.h"
#include "flash/session_context.h"
#include "usb/bus.h"
#include "usb/device_manager.h"

namespace {

// The input is dealt out round-robin to one stream per kind of answer. Each stream is read by
// one thread only (listing: reconciliation; descriptor: the service thread; control and bulk:
// the session), so an input replays the same way whatever the threads' timing.
enum Stream { kList, kDescriptor, kControl, kBulk, kStreams };

class Answers {
 public:
  Answers(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // The next byte of `stream`, or -1 once it is used up.
  int next(Stream stream) {
    const size_t at = position_[stream]++ * kStreams + stream;
    return at < size_ ? data_[at] : -1;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  std::array<std::atomic<size_t>, kStreams> position_{};
};

constexpr std::array<uint16_t, 4> kProductIds{0x0013, KAVRO_SOFTWARE_PID, 0x0014, 0x0777};

// How a transfer of `size` bytes ends: a failure, a time-out, the module gone (also when the
// stream is used up), a short transfer or a whole one. The byte count, or a negative result.
int outcome(Answers& answers, Stream stream, size_t size) {
  const int kind = answers.next(stream);
  if (kind < 0 || kind % 8 == 0) {
    return kind < 0 ? usb::kDisconnected : usb::kError;
  }
  if (kind % 8 == 1) {
    return usb::kTimeout;
  }
  return static_cast<int>(kind % 8 == 2 ? std::max(answers.next(stream), 0) % (size + 1) : size);
}

// An answer to a request: a transfer to the module only moves bytes, one from it also fills
// them in.
int answer(Answers& answers, Stream stream, bool to_host, std::span<uint8_t> data) {
  const int length = outcome(answers, stream, data.size());
  for (int i = 0; to_host && i < length; ++i) {
    data[i] = static_cast<uint8_t>(answers.next(stream));
  }
  return length;
}

class FuzzDevice final : public usb::Device {
 public:
  FuzzDevice(Answers& answers, std::function<void()>& changed)
      : answers_(answers), changed_(changed) {}
  int control(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned) override {
    // Each boot-ROM request may be the one after which the module re-enumerates or leaves.
    const bool descriptor = setup.bRequest == 0x06;
    if (!descriptor && changed_) {
      changed_();
    }
    return answer(answers_, descriptor ? kDescriptor : kControl, (setup.bmRequestType & 0x80) != 0,
                  data);
  }
  std::vector<uint8_t> endpoints() override { return {0x01, 0x81}; }
  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned, size_t& moved) override {
    const int result = answer(answers_, kBulk, (endpoint & 0x80) != 0, data);
    moved = static_cast<size_t>(std::max(result, 0));
    return std::min(result, usb::kOk);
  }

 private:
  Answers& answers_;
  std::function<void()>& changed_;
};

class FuzzBus final : public usb::Bus {
 public:
  explicit FuzzBus(Answers& answers) : answers_(answers) {}
  std::vector<usb::DeviceInfo> list(uint16_t vid) override {
    const int pick = answers_.next(kList);
    if (pick < 0) {
      return {};
    }
    return {{vid, kProductIds[pick % kProductIds.size()], "1-1", static_cast<uint64_t>(pick / 4)}};
  }
  std::unique_ptr<usb::Device> open(const usb::DeviceInfo&) override {
    return std::make_unique<FuzzDevice>(answers_, changed_);
  }
  void watch(std::function<void()> changed) override {
    changed_ = std::move(changed);
    if (changed_) {
      changed_();
    }
  }

 private:
  Answers& answers_;
  std::function<void()> changed_;
};

std::string ads_file;
// A short stand-in for the flash bootloader: its download is no different for being short.
const std::array<uint8_t, 64> kBootloader{};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kavro_archive_set_open_delay_for_tests(std::chrono::milliseconds(0));
  ads_file = "/tmp/fuzz-usb-ads-" + std::to_string(getpid()) + ".txt";
  std::ofstream(ads_file) << "write 0xed080000,0x20f40000\npoll 0xdffe0818,0x80000000,0x0\n";
  std::freopen("/dev/null", "w", stdout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Answers answers(data, size);
  dm_state* dm = nullptr;
  if (kavro_dm_init(&dm, std::make_shared<FuzzBus>(answers)) != 0) {
    __builtin_trap();
  }
  // The session starts once the module is listed and described, if it ever is.
  const auto listed = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  while (kavro_dm_device_get_mode(&dm, 0) <= DM_MODE_NOT_READY &&
         std::chrono::steady_clock::now() < listed) {
    kavro_dm_wait_for_change(&dm, kavro_dm_change_count(&dm), 2);
  }
  flash_session* session = nullptr;
  if (create_session(&session, ads_file.c_str(), nullptr, "", KAVRO_FUZZ_OTA_FILE, &dm, 0, 0, 0,
                     nullptr, nullptr) == 0) {
    session->flash_bootloader = kBootloader;
    session->mode_switch_poll_limit = 20;
    launch_session(&session);
    uint32_t state = FLASH_STATE_STARTED;
    uint32_t error = 0;
    // Nothing the module answers may keep the session from ending: libFuzzer's -timeout
    // reports an input that does.
    while (kavro_flash_get_status(&session, &state, &error, nullptr, nullptr) == 0 &&
           state != FLASH_STATE_DONE && state != FLASH_STATE_FAILED) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (state == FLASH_STATE_FAILED && error == 0) {
      __builtin_trap();
    }
    kavro_flash_destroy(&session);
  }
  kavro_dm_destroy(&dm);
  return 0;
}
