// The board-revision probe: the ADC registers of each platform, read through boot-ROM commands.

#include "flash/hardware_revision.h"

#include <array>
#include <chrono>
#include <optional>
#include <string_view>
#include <thread>

#include "common/console.h"
#include "usb/device_manager.h"

namespace {

constexpr uint32_t NO_REGISTER = 0xFFFFFFFF;
constexpr uint32_t UNUSED_WINDOW = 0xFFFFFFFF;
constexpr uint32_t WINDOW_HALF_WIDTH = 50;
constexpr uint32_t HW_COMMAND_COUNT = 1000;
constexpr auto ADC_SETTLE_TIME = std::chrono::milliseconds(200);

// The conversion normally finishes within a few reads; a converter that never reports done is
// given up on after this many and the revision counts as unknown.
constexpr int ADC_DONE_READ_LIMIT = 1000;

// ADC kind whose power-up goes through the control register.
constexpr uint32_t ADC_KIND_CONTROL_POWER_UP = 1;

struct revision_window {
  uint32_t nominal;
  uint32_t revision;
};

// Where and how the board revision is measured on one platform.
struct adc_register_map {
  std::string_view platform;
  uint32_t channel;
  uint32_t channel_count;
  uint32_t kind;
  uint32_t status_source;  // 1: wait on the status register; 0: on the control register
  uint32_t power_up_bit;
  uint32_t period_per_channel;
  uint32_t enable_bit_a;
  uint32_t enable_bit_b;
  uint32_t start_bit;
  uint32_t done_mask;
  uint32_t setup_bit;
  uint32_t first_setup_register;
  uint32_t second_setup_register;
  uint32_t control_register;
  uint32_t alternate_enable_register;
  uint32_t status_register;
  uint32_t third_setup_register;
  uint32_t period_register;
  uint32_t channel_mask_register;
  std::array<uint32_t, 12> data_registers;
  std::array<revision_window, 8> windows;
};

constexpr std::array<adc_register_map, 1> adc_regs{{
    {"s5l",
     3,
     4,
     ADC_KIND_CONTROL_POWER_UP,
     1,
     0x1,
     20,
     0x2,
     0x4,
     0x8,
     0x1,
     0x10000,
     0xEC170198,
     0xEC17009C,
     0xE801D004,
     NO_REGISTER,
     0xE801D000,
     0xE801D00C,
     0xE801D010,
     0xE801D100,
     {0xE801D150, 0xE801D154, 0xE801D158, 0xE801D15C, 0xE801D160, 0xE801D164, 0xE801D168,
      0xE801D16C, 0xE801D170, 0xE801D174, 0xE801D178, 0xE801D17C},
     {{{2048, 0},
       {2892, 0},
       {1315, 1},
       {3376, 1},
       {UNUSED_WINDOW, UNUSED_WINDOW},
       {UNUSED_WINDOW, UNUSED_WINDOW},
       {UNUSED_WINDOW, UNUSED_WINDOW},
       {UNUSED_WINDOW, UNUSED_WINDOW}}}},
}};

const adc_register_map* find_adc_registers(std::string_view platform) {
  for (const auto& row : adc_regs) {
    if (platform.substr(0, row.platform.size()) == row.platform) {
      return &row;
    }
  }
  return nullptr;
}

int som_write_reg(dm_state* dm, int index, uint32_t address, uint32_t value) {
  return kavro_dm_usb_hardware_command(&dm, index, HW_CMD_WRITE, &address, &value, nullptr,
                                       HW_COMMAND_COUNT) == 0
             ? 0
             : -1;
}

int som_read_reg(dm_state* dm, int index, uint32_t address, uint32_t* value) {
  uint32_t read = 0;
  if (kavro_dm_usb_hardware_command(&dm, index, HW_CMD_READ, &address, &read, nullptr,
                                    HW_COMMAND_COUNT) != 0) {
    return -1;
  }
  *value = read;
  return 0;
}

// Runs the register accesses of one probe; the first failed access ends it.
class adc_probe {
 public:
  adc_probe(dm_state* dm, int index, const adc_register_map& regs)
      : dm_(dm), index_(index), regs_(regs) {}

  std::optional<uint32_t> measure() {
    if (!power_up() || !clear_channels() || !start_conversion() || !wait_for_conversion()) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(ADC_SETTLE_TIME);
    uint32_t reading = 0;
    if (som_read_reg(dm_, index_, regs_.data_registers[regs_.channel], &reading) != 0) {
      return std::nullopt;
    }
    return reading;
  }

 private:
  bool write(uint32_t address, uint32_t value) {
    return som_write_reg(dm_, index_, address, value) == 0;
  }

  bool set_bits(uint32_t address, uint32_t bits) {
    uint32_t value = 0;
    return som_read_reg(dm_, index_, address, &value) == 0 && write(address, value | bits);
  }

  bool power_up() {
    if (!write(regs_.first_setup_register, 0) ||
        !write(regs_.second_setup_register, regs_.setup_bit | 0x2) ||
        !write(regs_.second_setup_register, 0x2)) {
      return false;
    }
    if (regs_.kind == ADC_KIND_CONTROL_POWER_UP) {
      if (!set_bits(regs_.control_register, regs_.power_up_bit) ||
          !set_bits(regs_.control_register, regs_.enable_bit_a | regs_.enable_bit_b)) {
        return false;
      }
      std::this_thread::sleep_for(ADC_SETTLE_TIME);
      if (!write(regs_.third_setup_register, 0) ||
          !write(regs_.channel_mask_register, (1u << regs_.channel_count) - 1) ||
          !write(regs_.period_register, regs_.period_per_channel * regs_.channel_count - 1)) {
        return false;
      }
    } else if (!write(regs_.alternate_enable_register, 1)) {
      return false;
    }
    return regs_.status_source != 0 || write(regs_.control_register, 0);
  }

  bool clear_channels() {
    for (uint32_t channel = 0; channel < regs_.channel_count; ++channel) {
      if (!write(regs_.data_registers[channel], 0)) {
        return false;
      }
    }
    return true;
  }

  bool start_conversion() { return set_bits(regs_.control_register, regs_.start_bit); }

  bool wait_for_conversion() {
    const uint32_t done_register =
        regs_.status_source != 0 ? regs_.status_register : regs_.control_register;
    for (int read = 0; read < ADC_DONE_READ_LIMIT; ++read) {
      uint32_t status = 0;
      if (som_read_reg(dm_, index_, done_register, &status) != 0) {
        return false;
      }
      if ((status & regs_.done_mask) != 0) {
        return true;
      }
    }
    return false;
  }

  dm_state* dm_;
  int index_;
  const adc_register_map& regs_;
};

std::optional<uint32_t> revision_for_reading(const adc_register_map& regs, uint32_t reading) {
  for (const auto& window : regs.windows) {
    if (window.nominal == UNUSED_WINDOW) {
      continue;
    }
    if (window.nominal - WINDOW_HALF_WIDTH < reading &&
        reading < window.nominal + WINDOW_HALF_WIDTH) {
      return window.revision;
    }
  }
  return std::nullopt;
}

}  // namespace

int get_hardware_revision(dm_state* dm, int index, const char* platform) {
  if (platform == nullptr) {
    return 0;
  }
  const adc_register_map* regs = find_adc_registers(platform);
  if (regs == nullptr) {
    return 0;
  }
  const std::optional<uint32_t> reading = adc_probe(dm, index, *regs).measure();
  if (!reading) {
    return 0;
  }
  const std::optional<uint32_t> revision = revision_for_reading(*regs, *reading);
  if (!revision) {
    debug("Unknown SoM ADC value %d, assuming HW version 0\n", static_cast<int>(*reading));
    return 0;
  }
  return static_cast<int>(*revision);
}
