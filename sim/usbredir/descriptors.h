#pragma once
// The standard part of a module's USB personality. A real module's USB controller answers these
// requests in hardware; only vendor requests reach its firmware. The redirection server answers
// them here so that the guest kernel can enumerate the simulated module like a real one.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usb/bus.h"

namespace sim::redir {

inline constexpr uint16_t kMaxPacketSize = 512;       // high-speed bulk
inline constexpr uint8_t kControlMaxPacketSize = 64;  // endpoint 0
inline constexpr uint8_t kConfigurationValue = 1;

struct DeviceIdentity {
  uint16_t vid = 0;
  uint16_t pid = 0;
  std::vector<uint8_t> endpoints;  // bulk endpoint addresses of interface 0
  std::string serial;              // the serial number string; empty: none
};

struct StandardReply {
  bool stall = false;
  std::vector<uint8_t> data;  // IN data, already cut to wLength
};

// Answers a standard request (type bits 0) on endpoint 0. Returns nothing for class and vendor
// requests, which belong to the module's firmware.
std::optional<StandardReply> answer_standard_request(const DeviceIdentity& identity,
                                                     const usb::SetupPacket& setup);

std::vector<uint8_t> device_descriptor(const DeviceIdentity& identity);
std::vector<uint8_t> configuration_descriptor(const DeviceIdentity& identity);

}  // namespace sim::redir
