#include "usb/libusb_device.h"

#include <algorithm>
#include <climits>

namespace usb {

namespace {

// libusb reads a time limit of 0 as "wait for ever"; every transfer here has a limit.
unsigned bounded(unsigned timeout_ms) {
  return std::max(timeout_ms, 1u);
}

struct ConfigDescriptorDeleter {
  void operator()(libusb_config_descriptor* config) const { libusb_free_config_descriptor(config); }
};

}  // namespace

LibusbDevice::LibusbDevice(std::shared_ptr<LibusbBus::Context> context,
                           libusb_device_handle* handle)
    : context_(std::move(context)), handle_(handle) {
  libusb_set_auto_detach_kernel_driver(handle_, 1);
}

LibusbDevice::~LibusbDevice() {
  if (claimed_) {
    libusb_release_interface(handle_, 0);
  }
  libusb_close(handle_);
}

int LibusbDevice::control(const SetupPacket& setup, std::span<uint8_t> data, unsigned timeout_ms) {
  if (data.size() < setup.wLength) {
    return kError;
  }
  const int result =
      libusb_control_transfer(handle_, setup.bmRequestType, setup.bRequest, setup.wValue,
                              setup.wIndex, data.data(), setup.wLength, bounded(timeout_ms));
  return result >= 0 ? result : bus_result(result);
}

std::vector<uint8_t> LibusbDevice::endpoints() {
  libusb_config_descriptor* raw = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(handle_), &raw) != 0) {
    return {};
  }
  const std::unique_ptr<libusb_config_descriptor, ConfigDescriptorDeleter> config(raw);
  if (config->bNumInterfaces == 0 || config->interface[0].num_altsetting == 0) {
    return {};
  }
  const libusb_interface_descriptor& setting = config->interface[0].altsetting[0];
  std::vector<uint8_t> addresses;
  for (int i = 0; i < setting.bNumEndpoints; ++i) {
    addresses.push_back(setting.endpoint[i].bEndpointAddress);
  }
  return addresses;
}

int LibusbDevice::bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms,
                       size_t& moved) {
  moved = 0;
  if (!claim_interface()) {
    return kError;
  }
  const int length = static_cast<int>(std::min<size_t>(data.size(), INT_MAX));
  int transferred = 0;
  const int result = libusb_bulk_transfer(handle_, endpoint, data.data(), length, &transferred,
                                          bounded(timeout_ms));
  moved = static_cast<size_t>(std::max(transferred, 0));
  return result == 0 ? kOk : bus_result(result);
}

bool LibusbDevice::claim_interface() {
  std::lock_guard guard(claim_mutex_);
  if (!claimed_) {
    claimed_ = libusb_claim_interface(handle_, 0) == 0;
  }
  return claimed_;
}

}  // namespace usb
