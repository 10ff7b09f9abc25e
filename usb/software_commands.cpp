// The flash bootloader's exchange on the bulk endpoints: a block out, a 16-byte response in.

#include <algorithm>
#include <array>
#include <chrono>

#include "common/console.h"
#include "common/little_endian.h"
#include "common/products.h"
#include "usb/device_manager_state.h"

namespace {

constexpr uint8_t OUT_PIPE = 0x01;
constexpr uint8_t IN_PIPE = 0x81;
constexpr size_t RESPONSE_LENGTH = 16;

// A module that is re-enumerating gets this long to be opened again.
constexpr auto REOPEN_WAIT = std::chrono::milliseconds(1000);

std::shared_ptr<usb::Device> wait_until_open(dm_state& state, int index) {
  std::unique_lock guard(state.lock);
  const auto& slot = state.slots[index];
  state.slot_changed.wait_for(guard, REOPEN_WAIT, [&] { return slot.is_open(); });
  return slot.device;
}

// Moves all of `data`, continuing short transfers, within `timeout_ms` for the whole of it: a
// module that stops answering, or keeps moving nothing, ends in a time-out instead of a wait
// without end.
int bulk_transfer(usb::Device& device, uint8_t pipe, std::span<uint8_t> data, uint32_t timeout_ms) {
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t done = 0;
  while (done < data.size()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) {
      return -9;
    }
    size_t moved = 0;
    const int result =
        device.bulk(pipe, data.subspan(done), static_cast<unsigned>(left.count()), moved);
    if (result == usb::kTimeout) {
      return -9;
    }
    if (result < 0) {
      print_and_flush("Error bulk sending: %d\n", result);
      return -10;
    }
    done += std::min(moved, data.size() - done);
  }
  return 0;
}

}  // namespace

int kavro_dm_usb_software_command(dm_state** dm, int index, uint8_t* block, uint32_t length,
                                  uint32_t timeout_ms, uint32_t* status) {
  dm_state* state = checked_state(dm, index);
  if (state == nullptr || block == nullptr) {
    return -1;
  }
  if (snapshot_slot(*state, index).pid != KAVRO_SOFTWARE_PID) {
    return -8;
  }
  const std::shared_ptr<usb::Device> device = wait_until_open(*state, index);
  if (device == nullptr) {
    return -11;
  }
  const std::vector<uint8_t> pipes = device->endpoints();
  if (std::find(pipes.begin(), pipes.end(), OUT_PIPE) == pipes.end()) {
    print_and_flush("Write pipe %02Xh not found.\n", OUT_PIPE);
    return -1;
  }
  if (const int result = bulk_transfer(*device, OUT_PIPE, {block, length}, timeout_ms)) {
    return result;
  }
  if (status == nullptr) {
    return 0;
  }
  if (std::find(pipes.begin(), pipes.end(), IN_PIPE) == pipes.end()) {
    print_and_flush("Read pipe %02Xh not found.\n", IN_PIPE);
    return -1;
  }
  std::array<uint8_t, RESPONSE_LENGTH> response{};
  if (const int result = bulk_transfer(*device, IN_PIPE, response, timeout_ms)) {
    return result;
  }
  if (load_le32(response, 0) != SW_RESPONSE_SIGNATURE_WORD) {
    return -13;
  }
  *status = load_le32(response, 4);
  return *status == 0 ? 0 : DM_ERR_DEVICE_STATUS;
}
