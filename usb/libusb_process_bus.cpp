// kavro-flash's bus: libusb, or a clear message when the USB library cannot start.

#include <cstdio>
#include <string>

#include "usb/libusb_bus.h"
#include "usb/process_bus.h"

namespace usb {

std::shared_ptr<Bus> make_process_bus() {
  std::string error;
  std::shared_ptr<Bus> bus = LibusbBus::create(error);
  if (bus == nullptr) {
    std::fprintf(stderr, "Could not initialize the USB library: %s\n", error.c_str());
  }
  return bus;
}

}  // namespace usb
