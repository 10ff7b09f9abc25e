#include "sim/usbredir/descriptors.h"

#include <algorithm>
#include <string_view>

namespace sim::redir {
namespace {

constexpr uint16_t kSoftwarePid = 0x4250;

constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kDirectionIn = 0x80;

constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kGetDescriptor = 6;

constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescString = 3;
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescEndpoint = 5;
constexpr uint8_t kDescQualifier = 6;

constexpr uint8_t kStringManufacturer = 1;
constexpr uint8_t kStringProduct = 2;
constexpr uint16_t kLanguageEnglishUs = 0x0409;

void put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xff));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> string_descriptor(std::string_view text) {
  std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), kDescString};
  for (char c : text) {
    put16(out, static_cast<uint8_t>(c));
  }
  return out;
}

std::optional<std::vector<uint8_t>> string_by_index(const DeviceIdentity& identity, uint8_t index) {
  switch (index) {
    case 0: {
      std::vector<uint8_t> out{4, kDescString};
      put16(out, kLanguageEnglishUs);
      return out;
    }
    case kStringManufacturer:
      return string_descriptor("Kavro");
    case kStringProduct:
      return string_descriptor(identity.pid == kSoftwarePid ? "Kavro flash bootloader"
                                                            : "Kavro boot ROM");
    default:
      return std::nullopt;
  }
}

std::vector<uint8_t> qualifier_descriptor() {
  std::vector<uint8_t> out{10, kDescQualifier};
  put16(out, 0x0200);
  out.insert(out.end(), {0, 0, 0, kControlMaxPacketSize, 1, 0});
  return out;
}

std::optional<std::vector<uint8_t>> descriptor(const DeviceIdentity& identity, uint16_t value) {
  const auto type = static_cast<uint8_t>(value >> 8);
  const auto index = static_cast<uint8_t>(value & 0xff);
  switch (type) {
    case kDescDevice:
      return device_descriptor(identity);
    case kDescConfiguration:
      return configuration_descriptor(identity);
    case kDescString:
      return string_by_index(identity, index);
    case kDescQualifier:
      return qualifier_descriptor();
    default:
      return std::nullopt;
  }
}

StandardReply reply_in(std::vector<uint8_t> data, uint16_t length) {
  data.resize(std::min<size_t>(data.size(), length));
  return StandardReply{false, std::move(data)};
}

}  // namespace

std::vector<uint8_t> device_descriptor(const DeviceIdentity& identity) {
  std::vector<uint8_t> out{18, kDescDevice};
  put16(out, 0x0200);  // USB 2.0
  out.insert(out.end(), {0, 0, 0, kControlMaxPacketSize});
  put16(out, identity.vid);
  put16(out, identity.pid);
  put16(out, 0x0100);
  out.insert(out.end(), {kStringManufacturer, kStringProduct, 0, 1});
  return out;
}

std::vector<uint8_t> configuration_descriptor(const DeviceIdentity& identity) {
  const auto endpoint_count = static_cast<uint8_t>(identity.endpoints.size());
  std::vector<uint8_t> out{9, kDescConfiguration};
  put16(out, static_cast<uint16_t>(9 + 9 + 7 * endpoint_count));
  out.insert(out.end(), {1, kConfigurationValue, 0, 0x80, 50});  // bus powered, 100 mA
  out.insert(out.end(), {9, kDescInterface, 0, 0, endpoint_count, 0xff, 0, 0, 0});
  for (uint8_t address : identity.endpoints) {
    out.insert(out.end(), {7, kDescEndpoint, address, 0x02});  // bulk
    put16(out, kMaxPacketSize);
    out.push_back(0);
  }
  return out;
}

std::optional<StandardReply> answer_standard_request(const DeviceIdentity& identity,
                                                     const usb::SetupPacket& setup) {
  if ((setup.bmRequestType & kTypeMask) != kTypeStandard) {
    return std::nullopt;
  }
  const bool in = (setup.bmRequestType & kDirectionIn) != 0;
  if (in && setup.bRequest == kGetDescriptor) {
    auto found = descriptor(identity, setup.wValue);
    if (!found) {
      return StandardReply{true, {}};
    }
    return reply_in(std::move(*found), setup.wLength);
  }
  if (in && setup.bRequest == kGetStatus) {
    return reply_in({0, 0}, setup.wLength);  // bus powered, no wakeup, no endpoint halted
  }
  if (!in && setup.bRequest == kClearFeature) {
    return StandardReply{};  // endpoint halt: the module never halts an endpoint
  }
  return StandardReply{true, {}};
}

}  // namespace sim::redir
