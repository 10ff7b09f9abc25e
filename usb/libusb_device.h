#pragma once
// One module opened through libusb, behind the seam's Device.

#include <libusb.h>

#include <memory>
#include <mutex>

#include "usb/libusb_context.h"

namespace usb {

// One open module. Interface 0 is claimed at the first bulk transfer (hardware mode needs only
// endpoint 0); a kernel driver holding it is detached for as long as the handle is open.
class LibusbDevice final : public Device {
 public:
  LibusbDevice(std::shared_ptr<LibusbBus::Context> context, libusb_device_handle* handle);
  LibusbDevice(const LibusbDevice&) = delete;
  LibusbDevice& operator=(const LibusbDevice&) = delete;
  ~LibusbDevice() override;

  int control(const SetupPacket& setup, std::span<uint8_t> data, unsigned timeout_ms) override;
  // Keeps up to run.depth transfers submitted through libusb's asynchronous interface.
  int control_run(const ControlRun& run) override;
  std::vector<uint8_t> endpoints() override;
  int bulk(uint8_t endpoint, std::span<uint8_t> data, unsigned timeout_ms, size_t& moved) override;

 private:
  bool claim_interface();

  std::shared_ptr<LibusbBus::Context> context_;
  libusb_device_handle* handle_;
  std::mutex claim_mutex_;
  bool claimed_ = false;
};

}  // namespace usb
