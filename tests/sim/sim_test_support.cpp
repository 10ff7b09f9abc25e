#include "tests/sim/sim_test_support.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace simtest {
namespace {

void put32(std::vector<uint8_t>& block, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) {
    block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void put_split64(std::vector<uint8_t>& block, size_t offset, uint64_t value) {
  put32(block, offset, static_cast<uint32_t>(value >> 32));
  put32(block, offset + 4, static_cast<uint32_t>(value));
}

void put_name(std::vector<uint8_t>& block, size_t offset, std::string_view name) {
  std::copy_n(name.begin(), std::min<size_t>(name.size(), 8), block.begin() + offset);
}

std::vector<uint8_t> command(uint32_t id, size_t length) {
  std::vector<uint8_t> block(length);
  put32(block, 0, 0x4B434D44);
  put32(block, 4, id);
  return block;
}

uint32_t get32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace

std::array<uint8_t, 12> write_block(uint32_t opcode, uint32_t address, uint32_t value) {
  std::vector<uint8_t> block(12);
  put32(block, 0, opcode);
  put32(block, 4, address);
  put32(block, 8, value);
  std::array<uint8_t, 12> result{};
  std::ranges::copy(block, result.begin());
  return result;
}

int write_register(usb::Device& device, uint32_t address, uint32_t value) {
  auto data = write_block(0x30000000, address, value);
  return device.control({0x40, 0, 0, 0, 12}, data, 1000);
}

std::optional<uint32_t> read_register(usb::Device& device, uint32_t address) {
  std::array<uint8_t, 4> data{};
  const usb::SetupPacket setup{0xC0, 0, static_cast<uint16_t>(address >> 16),
                               static_cast<uint16_t>(address & 0xFFFF), 4};
  if (device.control(setup, data, 1000) != 4) {
    return std::nullopt;
  }
  return get32(data, 0);
}

int jump(usb::Device& device, uint32_t address) {
  auto data = write_block(0x00010000, address, 0);
  return device.control({0x40, 0, 0, 0, 12}, data, 1000);
}

void download(usb::Device& device, std::span<const uint8_t> bytes) {
  for (size_t offset = 0; offset < bytes.size(); offset += 4) {
    if (write_register(device, static_cast<uint32_t>(offset), get32(bytes, offset)) != 12) {
      throw std::runtime_error("download failed at offset " + std::to_string(offset));
    }
  }
}

std::vector<uint8_t> bootloader_image(size_t size) {
  return pattern(size, 0xB1);
}

std::vector<uint8_t> partition_details(uint32_t ota_enabled, uint64_t kernel_maxsize,
                                       uint64_t rootfs_maxsize, const std::vector<Custom>& custom,
                                       uint32_t move_calib) {
  std::vector<uint8_t> block = command(1, 164);
  put32(block, 8, ota_enabled);
  put_split64(block, 12, kernel_maxsize);
  put_split64(block, 20, rootfs_maxsize);
  put32(block, 28, static_cast<uint32_t>(custom.size()));
  for (size_t i = 0; i < custom.size(); ++i) {
    put_name(block, 32 + 16 * i, custom[i].name);
    put_split64(block, 40 + 16 * i, custom[i].maxsize);
  }
  put32(block, 160, move_calib);
  return block;
}

std::vector<uint8_t> image_header(std::string_view name, uint64_t size, uint32_t length, bool last,
                                  uint32_t crc, uint32_t load_address) {
  std::vector<uint8_t> block = command(2, 52);
  put_name(block, 8, name);
  put_split64(block, 16, size);
  put32(block, 24, length);
  put32(block, 32, last ? 1 : 0);
  put32(block, 36, crc);
  put32(block, 40, load_address);
  return block;
}

std::vector<uint8_t> block_header(uint32_t length, bool last, uint32_t crc) {
  std::vector<uint8_t> block = command(3, 24);
  put32(block, 8, length);
  put32(block, 16, last ? 1 : 0);
  put32(block, 20, crc);
  return block;
}

std::vector<uint8_t> erase_partition(std::string_view name) {
  std::vector<uint8_t> block = command(4, 16);
  put_name(block, 8, name);
  return block;
}

std::vector<uint8_t> ptb_write() {
  return command(5, 8);
}

std::vector<uint8_t> reboot() {
  return command(6, 8);
}

std::vector<uint8_t> device_id(uint32_t id) {
  std::vector<uint8_t> block = command(7, 12);
  put32(block, 8, id);
  return block;
}

std::vector<uint8_t> signature_block(std::string_view name, uint8_t fill) {
  std::vector<uint8_t> block = command(8, 272);
  put_name(block, 8, name);
  std::fill(block.begin() + 16, block.end(), fill);
  return block;
}

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  }
  return bytes;
}

uint32_t crc_of(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(::crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

uint32_t Reply::signature() const {
  return get32(bytes, 0);
}

uint32_t Reply::status() const {
  return get32(bytes, 4);
}

Reply transact(usb::Device& device, std::span<const uint8_t> block, unsigned timeout_ms) {
  Reply reply;
  std::vector<uint8_t> out(block.begin(), block.end());
  size_t moved = 0;
  reply.result = device.bulk(0x01, out, timeout_ms, moved);
  if (reply.result != usb::kOk) {
    return reply;
  }
  size_t done = 0;
  while (done < reply.bytes.size()) {
    reply.result = device.bulk(0x81, std::span(reply.bytes).subspan(done), timeout_ms, moved);
    if (reply.result != usb::kOk) {
      return reply;
    }
    done += moved;
  }
  return reply;
}

int64_t status_of(usb::Device& device, std::span<const uint8_t> block) {
  const Reply reply = transact(device, block);
  if (reply.result != usb::kOk || reply.signature() != 0x4B525350) {
    return -1;
  }
  return reply.status();
}

int64_t send_image(usb::Device& device, std::string_view name, std::span<const uint8_t> image,
                   uint32_t block_size, uint32_t load_address) {
  for (size_t offset = 0; offset < image.size(); offset += block_size) {
    const auto piece = image.subspan(offset, std::min<size_t>(block_size, image.size() - offset));
    const bool last = offset + piece.size() == image.size();
    const auto length = static_cast<uint32_t>(piece.size());
    const auto header =
        offset == 0 ? image_header(name, image.size(), length, last, crc_of(piece), load_address)
                    : block_header(length, last, crc_of(piece));
    for (const std::span<const uint8_t> block : {std::span<const uint8_t>(header), piece}) {
      if (const int64_t status = status_of(device, block); status != 0) {
        return status;
      }
    }
  }
  return 0;
}

sim::ModuleConfig quick_module(std::string port, std::string platform) {
  sim::ModuleConfig config;
  config.port = std::move(port);
  config.platform = std::move(platform);
  config.reenumerate_ms = 0;
  config.bootloader_size = 64;
  return config;
}

std::unique_ptr<usb::Device> open_port(sim::VirtualBus& bus, std::string_view port) {
  for (const usb::DeviceInfo& info : bus.list(kVid)) {
    if (info.device_path == port) {
      return bus.open(info);
    }
  }
  return nullptr;
}

bool wait_for_mode(sim::VirtualBus& bus, std::string_view port, sim::Mode mode) {
  sim::Module& module = bus.module(port);
  return bus.wait_until(
      [&] {
        const sim::Presence presence = module.presence();
        return presence.attached && presence.mode == mode;
      },
      kWait);
}

std::unique_ptr<usb::Device> boot_to_software(sim::VirtualBus& bus, std::string_view port) {
  auto device = open_port(bus, port);
  if (!device) {
    return nullptr;
  }
  download(*device, bootloader_image(bus.module(port).config().bootloader_size));
  if (jump(*device, 0) != 12 || !wait_for_mode(bus, port, sim::Mode::Software)) {
    return nullptr;
  }
  return open_port(bus, port);
}

std::unique_ptr<usb::Device> with_layout(sim::VirtualBus& bus, std::string_view port) {
  auto device = boot_to_software(bus, port);
  if (device && status_of(*device, partition_details(1, 16 << 20, 256 << 20)) != 0) {
    return nullptr;
  }
  return device;
}

}  // namespace simtest
