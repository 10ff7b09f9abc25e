#pragma once
// Description of one simulated module: where it is attached, what it is, and how it misbehaves.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Selectors for Fault::command_id besides the software-mode command ids 1 to 8.
inline constexpr uint32_t kAnyBlock = 0;       // every block: command blocks and raw image data
inline constexpr uint32_t kDataBlock = 0x100;  // raw image data blocks only

// One way a module misbehaves.
//
// Software-mode faults select the blocks the flash bootloader receives by `command_id` (a
// command id, kAnyBlock or kDataBlock) and `occurrence` (the k-th matching block, 1-based;
// 0 = every matching block).
//
// Hang and Unplug fire once, at the first point that matches, in this order of precedence:
// `after_control_transfers` > 0: on the next boot-ROM request after that many (the transfer
// that would have been number after_control_transfers + 1); `after_image_bytes` > 0: on the
// data block during which the image data received reaches that many bytes; otherwise on the
// block selected by `command_id`/`occurrence`.
struct Fault {
  enum class Kind {
    Status,          // answer the selected blocks with `status` instead of handling them
    BadSignature,    // answer the selected blocks with a wrong response signature
    Hang,            // stop answering from this point on (transfers time out)
    Unplug,          // drop off the bus at this point (until VirtualBus::replug)
    NoReturn,        // never come back after the jump to the flash bootloader
    ShortResponses,  // from the selected block on, deliver responses in `piece_size` pieces
    PollNeverReady,  // DRAM-controller status registers never report ready
    AdcNeverDone,    // the ADC never reports a finished conversion
  };
  Kind kind = Kind::Status;
  uint32_t command_id = kAnyBlock;
  uint32_t occurrence = 0;
  uint32_t status = 0;
  uint32_t piece_size = 8;
  uint32_t after_control_transfers = 0;
  uint64_t after_image_bytes = 0;
};

// Speed of a module; 0 everywhere means as fast as possible.
struct Timing {
  uint32_t control_latency_us = 0;      // added to every control transfer
  uint64_t bulk_bytes_per_second = 0;   // bulk transfer bandwidth
  uint64_t flash_bytes_per_second = 0;  // how fast received image data is written to flash
};

inline constexpr uint32_t kDefaultBootloaderSize = 154304;

struct ModuleConfig {
  std::string port = "1-1";
  std::string platform = "cv22";
  std::string serial;  // the USB serial number string; empty: the descriptor names none
  uint32_t revision = 0;
  std::optional<uint32_t> adc_reading;  // overrides the reading that `revision` implies
  std::string flash_dir;                // empty: keep nothing on disk
  uint32_t attach_after_ms = 0;         // 0: present from the start
  // Pulled out once it has moved no data for this long since it was plugged in, as an operator
  // takes a module out after its session (automated mode leaves it in software mode); 0: stays.
  uint32_t leave_after_ms = 0;
  uint32_t reenumerate_ms = 50;  // pause between the jump and the software-mode arrival
  uint64_t flash_capacity = 4ull << 30;
  // The flash bootloader the module accepts: a jump to 0 starts it only when exactly this many
  // bytes have been downloaded from address 0 on and, when given, their SHA-256 (64 lowercase
  // hex digits) matches.
  uint32_t bootloader_size = kDefaultBootloaderSize;
  std::string bootloader_sha256;
  bool keep_image_bytes = true;  // keep received images in memory for inspection
  bool record_traffic = true;    // keep the log of control transfers
  std::vector<Fault> faults;
  Timing timing;
  // Modules plugged into the same port in turn: each arrives attach_after_ms after the one
  // before it has left the bus for good (pulled out, unplugged by a fault, or rebooted into
  // its new firmware), never during the re-enumeration after the jump.
  std::vector<ModuleConfig> next;
};

}  // namespace sim
