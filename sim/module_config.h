#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Description of one simulated module: where it is attached, what it is, and how it misbehaves.
namespace sim {

// A fault fires when the flash bootloader receives command `command_id` for the
// `occurrence`-th time (1-based; 0 = every time). Hardware-side faults use the `point` names.
struct Fault {
  enum class Kind {
    Status,          // answer the command with `status`
    BadSignature,    // answer with a wrong response signature
    Hang,            // stop answering from this point on (transfers time out)
    Unplug,          // drop off the bus at this point
    NoReturn,        // never come back after the jump
    ShortResponses,  // deliver every response in pieces of `piece_size` bytes
    PollNeverReady,  // DRAM-controller status register never reports ready
    AdcNeverDone,    // ADC never reports a finished conversion
  };
  Kind kind = Kind::Status;
  uint32_t command_id = 0;  // software-mode command id; 0 = any (for Hang/Unplug: data blocks)
  uint32_t occurrence = 0;
  uint32_t status = 0;
  uint32_t piece_size = 8;
  // Hardware-mode trigger for Hang/Unplug: after this many control transfers (0 = unused).
  uint32_t after_control_transfers = 0;
  // Software-mode trigger for Hang/Unplug: after this many bytes of image data (0 = unused).
  uint64_t after_image_bytes = 0;
};

struct Timing {
  uint32_t control_latency_us = 0;
  uint64_t bulk_bytes_per_second = 0;   // 0 = unlimited
  uint64_t flash_bytes_per_second = 0;  // 0 = unlimited
};

struct ModuleConfig {
  std::string port = "1-1";
  std::string platform = "cv22";
  uint32_t revision = 0;
  std::optional<uint32_t> adc_reading;  // overrides the reading that `revision` implies
  std::string flash_dir;                // empty: keep nothing on disk
  uint32_t attach_after_ms = 0;
  uint32_t reenumerate_ms = 50;
  uint64_t flash_capacity = 4ull << 30;
  std::vector<Fault> faults;
  Timing timing;
};

}  // namespace sim
