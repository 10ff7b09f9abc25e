#pragma once
// The bus this process flashes through.

#include <memory>

namespace usb {
class Bus;

// The bus this process flashes through, chosen once at start-up: kavro-flash links the libusb
// implementation, kavro-flash-sim the module simulator (configured by KAVRO_SIM_CONFIG).
// Returns null after printing a clear message on stderr when the bus cannot be set up.
std::shared_ptr<Bus> make_process_bus();
}  // namespace usb
