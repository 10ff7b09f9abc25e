// The boot ROM's register protocol on the control endpoint: write a word, read a word, jump.

#include <array>

#include "common/little_endian.h"
#include "common/products.h"
#include "usb/device_manager_state.h"

namespace {

constexpr uint32_t WRITE_OPCODE = 0x30000000;
constexpr uint32_t JUMP_OPCODE = 0x00010000;
constexpr uint16_t COMMAND_BLOCK_LENGTH = 12;
constexpr uint16_t REGISTER_LENGTH = 4;

// Direction in bit 7, type "vendor" (2) in bits 6..5, recipient "device" (0) in bits 1..0.
constexpr uint8_t VENDOR_OUT = 0x40;
constexpr uint8_t VENDOR_IN = 0xC0;

// One control request with the data stage in `data`; a missing handle, a failure and a time-out
// all mean the module did not take the request. A short data stage would leave a register value
// half read, so it is reported rather than taken as success.
int transfer(usb::Device* device, const usb::SetupPacket& setup, std::span<uint8_t> data) {
  if (device == nullptr) {
    return DM_ERR_CONTROL_TRANSFER;
  }
  const int moved = device->control(setup, data, DM_CONTROL_TIMEOUT_MS);
  if (moved < 0) {
    return DM_ERR_CONTROL_TRANSFER;
  }
  return moved < setup.wLength ? DM_ERR_PARTIAL_TRANSFER : 0;
}

constexpr usb::SetupPacket COMMAND_SETUP{VENDOR_OUT, 0, 0, 0, COMMAND_BLOCK_LENGTH};

void fill_command_block(std::span<uint8_t> block, uint32_t opcode, uint32_t address,
                        uint32_t value) {
  store_le32(block, 0, opcode);
  store_le32(block, 4, address);
  store_le32(block, 8, value);
}

int send_command_block(usb::Device* device, uint32_t opcode, uint32_t address, uint32_t value) {
  std::array<uint8_t, COMMAND_BLOCK_LENGTH> block{};
  fill_command_block(block, opcode, address, value);
  return transfer(device, COMMAND_SETUP, block);
}

int read_register(usb::Device* device, uint32_t address, uint32_t& value) {
  std::array<uint8_t, REGISTER_LENGTH> data{};
  const usb::SetupPacket setup{VENDOR_IN, 0, static_cast<uint16_t>(address >> 16),
                               static_cast<uint16_t>(address & 0xFFFF), REGISTER_LENGTH};
  const int result = transfer(device, setup, data);
  if (result == 0) {
    value = load_le32(data, 0);
  }
  return result;
}

// Reads while every masked bit is set; succeeds at the first read with one of them clear.
int poll_register(usb::Device* device, uint32_t address, uint32_t mask, uint32_t count) {
  for (uint32_t attempt = 0; attempt < count; ++attempt) {
    uint32_t scratch = 0;
    if (read_register(device, address, scratch) != 0) {
      return DM_ERR_CONTROL_TRANSFER;
    }
    if ((scratch & mask) != mask) {
      return 0;
    }
  }
  return DM_ERR_POLL_TIMEOUT;
}

// The checks every hardware command makes before it touches the module: the slot's device, or
// null with `result` set.
std::shared_ptr<usb::Device> hardware_mode_device(dm_state** dm, int index, int& result) {
  dm_state* state = checked_state(dm, index);
  if (state == nullptr) {
    result = DM_ERR_INVALID_PARAMETERS;
    return nullptr;
  }
  slot_snapshot slot = snapshot_slot(*state, index);
  if (slot.pid == KAVRO_SOFTWARE_PID) {
    result = DM_ERR_WRONG_MODE;
    return nullptr;
  }
  result = 0;
  return std::move(slot.device);
}

// A download that cannot start fails at its first word, as a single command would.
int fail_first_word(const std::function<bool(uint32_t& address, uint32_t& value)>& next_word,
                    const std::function<void(size_t word)>& reached, int result) {
  uint32_t address = 0;
  uint32_t value = 0;
  if (!next_word(address, value)) {
    return 0;
  }
  reached(0);
  return result;
}

}  // namespace

int kavro_dm_usb_hardware_command(dm_state** dm, int index, uint32_t command, uint32_t* address,
                                  uint32_t* value, uint32_t* /*expected*/, uint32_t count) {
  int checked = 0;
  const std::shared_ptr<usb::Device> device = hardware_mode_device(dm, index, checked);
  if (checked != 0) {
    return checked;
  }
  if (command < HW_CMD_WRITE || command > HW_CMD_JUMP) {
    return DM_ERR_INVALID_COMMAND;
  }
  if (address == nullptr || (value == nullptr && command != HW_CMD_JUMP)) {
    return DM_ERR_INVALID_PARAMETERS;
  }
  switch (command) {
    case HW_CMD_WRITE:
    case HW_CMD_DOWNLOAD:
      return send_command_block(device.get(), WRITE_OPCODE, *address, *value);
    case HW_CMD_READ:
      return read_register(device.get(), *address, *value);
    case HW_CMD_POLL:
      return poll_register(device.get(), *address, *value, count);
    default:
      return send_command_block(device.get(), JUMP_OPCODE, *address, 0);
  }
}

int kavro_dm_usb_hardware_download(
    dm_state** dm, int index, uint32_t depth,
    const std::function<bool(uint32_t& address, uint32_t& value)>& next_word,
    const std::function<void(size_t word)>& reached) {
  int checked = 0;
  const std::shared_ptr<usb::Device> device = hardware_mode_device(dm, index, checked);
  if (checked != 0) {
    return fail_first_word(next_word, reached, checked);
  }
  const usb::ControlRun run{
      .setup = COMMAND_SETUP,
      .depth = depth,
      .timeout_ms = DM_CONTROL_TIMEOUT_MS,
      .fill =
          [&next_word](size_t, std::span<uint8_t> block) {
            uint32_t address = 0;
            uint32_t value = 0;
            if (!next_word(address, value)) {
              return false;
            }
            fill_command_block(block, WRITE_OPCODE, address, value);
            return true;
          },
      .completed = reached,
  };
  if (device == nullptr) {
    return fail_first_word(next_word, reached, DM_ERR_CONTROL_TRANSFER);
  }
  const int moved = device->control_run(run);
  if (moved < 0) {
    return DM_ERR_CONTROL_TRANSFER;
  }
  return moved < COMMAND_BLOCK_LENGTH ? DM_ERR_PARTIAL_TRANSFER : 0;
}
