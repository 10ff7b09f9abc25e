// The software-mode exchange on the bulk endpoints, bytes only: a block out, a response in.

#include <algorithm>
#include <chrono>

#include "common/console.h"
#include "common/products.h"
#include "usb/device_manager_state.h"

namespace {

constexpr uint8_t OUT_PIPE = 0x01;
constexpr uint8_t IN_PIPE = 0x81;

std::shared_ptr<usb::Device> wait_until_open(dm_state& state, int index) {
  std::unique_lock guard(state.lock);
  const auto& slot = state.slots[index];
  state.slot_changed.wait_for(guard, state.timing.reopen_wait, [&] { return slot.is_open(); });
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
      return DM_ERR_BULK_TIMEOUT;
    }
    size_t moved = 0;
    const int result =
        device.bulk(pipe, data.subspan(done), static_cast<unsigned>(left.count()), moved);
    if (result == usb::kTimeout) {
      return DM_ERR_BULK_TIMEOUT;
    }
    if (result < 0) {
      diagnostic("Error bulk sending: %d\n", result);
      return DM_ERR_BULK_TRANSFER;
    }
    done += std::min(moved, data.size() - done);
  }
  return 0;
}

}  // namespace

int kavro_dm_usb_software_command(dm_state** dm, int index, uint8_t* block, uint32_t length,
                                  uint32_t timeout_ms, uint8_t* response,
                                  uint32_t response_length) {
  dm_state* state = checked_state(dm, index);
  if (state == nullptr || block == nullptr) {
    return DM_ERR_INVALID_PARAMETERS;
  }
  if (snapshot_slot(*state, index).pid != KAVRO_SOFTWARE_PID) {
    return DM_ERR_WRONG_MODE;
  }
  const std::shared_ptr<usb::Device> device = wait_until_open(*state, index);
  if (device == nullptr) {
    return DM_ERR_NO_INTERFACES;
  }
  const std::vector<uint8_t> pipes = device->endpoints();
  if (std::find(pipes.begin(), pipes.end(), OUT_PIPE) == pipes.end()) {
    diagnostic("Write pipe %02Xh not found.\n", OUT_PIPE);
    return DM_ERR_INVALID_PARAMETERS;
  }
  if (const int result = bulk_transfer(*device, OUT_PIPE, {block, length}, timeout_ms)) {
    return result;
  }
  if (response == nullptr) {
    return 0;
  }
  if (std::find(pipes.begin(), pipes.end(), IN_PIPE) == pipes.end()) {
    diagnostic("Read pipe %02Xh not found.\n", IN_PIPE);
    return DM_ERR_INVALID_PARAMETERS;
  }
  return bulk_transfer(*device, IN_PIPE, {response, response_length}, timeout_ms);
}
