#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/module_config.h"
#include "sim/virtual_bus.h"
#include "usb/bus.h"

// The host side of both module protocols, written out byte by byte for the simulator tests, so
// that they check the simulator against the wire format rather than against its own code.
namespace simtest {

using namespace std::chrono_literals;

inline constexpr uint16_t kVid = 0x4255;
inline constexpr auto kWait = 10s;  // generous bound for events that must happen

// --- hardware mode ---------------------------------------------------------------------------
std::array<uint8_t, 12> write_block(uint32_t opcode, uint32_t address, uint32_t value);
int write_register(usb::Device& device, uint32_t address, uint32_t value);
std::optional<uint32_t> read_register(usb::Device& device, uint32_t address);
int jump(usb::Device& device, uint32_t address);
// Writes `bytes` (a multiple of 4) word by word from address 0.
void download(usb::Device& device, std::span<const uint8_t> bytes);
std::vector<uint8_t> bootloader_image(size_t size);  // recognisable test pattern

// --- software mode ---------------------------------------------------------------------------
struct Custom {
  std::string name;
  uint64_t maxsize;
};
std::vector<uint8_t> partition_details(uint32_t ota_enabled, uint64_t kernel_maxsize,
                                       uint64_t rootfs_maxsize,
                                       const std::vector<Custom>& custom = {},
                                       uint32_t move_calib = 0);
std::vector<uint8_t> image_header(std::string_view name, uint64_t size, uint32_t length, bool last,
                                  uint32_t crc, uint32_t load_address = 0);
std::vector<uint8_t> block_header(uint32_t length, bool last, uint32_t crc);
std::vector<uint8_t> erase_partition(std::string_view name);
std::vector<uint8_t> ptb_write();
std::vector<uint8_t> reboot();
std::vector<uint8_t> device_id(uint32_t id);
std::vector<uint8_t> signature_block(std::string_view name, uint8_t fill);
std::vector<uint8_t> pattern(size_t size, uint8_t seed);
uint32_t crc_of(std::span<const uint8_t> bytes);  // zlib's CRC-32, independent of the simulator

struct Reply {
  int result = usb::kError;  // of the write, or of the first failing read
  std::array<uint8_t, 16> bytes{};
  uint32_t signature() const;
  uint32_t status() const;
};
// Writes one block to endpoint 0x01 and reads the 16-byte response from 0x81, in pieces if the
// module sends it so.
Reply transact(usb::Device& device, std::span<const uint8_t> block, unsigned timeout_ms = 1000);
// Status of transact(), or -1 when the exchange itself failed.
int64_t status_of(usb::Device& device, std::span<const uint8_t> block);
// Sends a whole image as the host does: image header, then for each further block a block
// header, each followed by the block's data. Returns the first non-zero status, or 0.
int64_t send_image(usb::Device& device, std::string_view name, std::span<const uint8_t> image,
                   uint32_t block_size, uint32_t load_address = 0);

// --- modules ---------------------------------------------------------------------------------
// A module that re-enumerates at once and takes a 64-byte flash bootloader.
sim::ModuleConfig quick_module(std::string port = "1-1", std::string platform = "cv22");
std::unique_ptr<usb::Device> open_port(sim::VirtualBus& bus, std::string_view port);
// Waits until `port` is on the bus in `mode`.
bool wait_for_mode(sim::VirtualBus& bus, std::string_view port, sim::Mode mode);
// Downloads the module's bootloader, jumps and opens it again in software mode.
std::unique_ptr<usb::Device> boot_to_software(sim::VirtualBus& bus, std::string_view port);
// Software-mode device that has accepted a layout with room for everything.
std::unique_ptr<usb::Device> with_layout(sim::VirtualBus& bus, std::string_view port);

}  // namespace simtest
