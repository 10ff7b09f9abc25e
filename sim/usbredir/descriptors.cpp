// The USB descriptors a simulated module shows a guest kernel, and the standard requests.

#include "sim/usbredir/descriptors.h"

#include <algorithm>
#include <initializer_list>
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
constexpr uint8_t kStringSerial = 3;
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr uint16_t kUsb20 = 0x0200;
constexpr uint16_t kDeviceRelease = 0x0100;

uint8_t low(uint16_t value) {
  return static_cast<uint8_t>(value & 0xff);
}
uint8_t high(uint16_t value) {
  return static_cast<uint8_t>(value >> 8);
}

// Fills a descriptor of known length front to back. The buffer never grows, which also keeps
// GCC 12's overread warnings about growing vectors quiet at -O3.
class DescriptorWriter {
 public:
  explicit DescriptorWriter(size_t length) : bytes_(length) {}
  DescriptorWriter& put(std::initializer_list<uint8_t> values) {
    std::copy(values.begin(), values.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at_));
    at_ += values.size();
    return *this;
  }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
};

std::vector<uint8_t> string_descriptor(std::string_view text) {
  const size_t length = 2 + 2 * text.size();
  DescriptorWriter out(length);
  out.put({static_cast<uint8_t>(length), kDescString});
  for (char c : text) {
    out.put({static_cast<uint8_t>(c), 0});  // UTF-16LE of ASCII
  }
  return out.take();
}

std::optional<std::vector<uint8_t>> string_by_index(const DeviceIdentity& identity, uint8_t index) {
  switch (index) {
    case 0:
      return std::vector<uint8_t>{4, kDescString, low(kLanguageEnglishUs),
                                  high(kLanguageEnglishUs)};
    case kStringManufacturer:
      return string_descriptor("Kavro");
    case kStringProduct:
      return string_descriptor(identity.pid == kSoftwarePid ? "Kavro flash bootloader"
                                                            : "Kavro boot ROM");
    case kStringSerial:
      if (identity.serial.empty()) {
        return std::nullopt;
      }
      return string_descriptor(identity.serial);
    default:
      return std::nullopt;
  }
}

std::vector<uint8_t> qualifier_descriptor() {
  return {10, kDescQualifier, low(kUsb20), high(kUsb20), 0, 0, 0, kControlMaxPacketSize, 1, 0};
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
  return {18,
          kDescDevice,
          low(kUsb20),
          high(kUsb20),
          0,  // class, subclass and protocol are per interface
          0,
          0,
          kControlMaxPacketSize,
          low(identity.vid),
          high(identity.vid),
          low(identity.pid),
          high(identity.pid),
          low(kDeviceRelease),
          high(kDeviceRelease),
          kStringManufacturer,
          kStringProduct,
          identity.serial.empty() ? uint8_t{0} : kStringSerial,
          1};
}

std::vector<uint8_t> configuration_descriptor(const DeviceIdentity& identity) {
  const auto endpoint_count = static_cast<uint8_t>(identity.endpoints.size());
  const auto total = static_cast<uint16_t>(9 + 9 + 7 * endpoint_count);
  DescriptorWriter out(total);
  out.put({9, kDescConfiguration, low(total), high(total), 1, kConfigurationValue, 0,
           0x80,  // bus powered
           50});  // 100 mA
  out.put({9, kDescInterface, 0, 0, endpoint_count, 0xff, 0, 0, 0});
  for (uint8_t address : identity.endpoints) {
    out.put(
        {7, kDescEndpoint, address, 0x02 /* bulk */, low(kMaxPacketSize), high(kMaxPacketSize), 0});
  }
  return out.take();
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
