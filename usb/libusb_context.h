#pragma once
// What the libusb bus and its devices share: the context, its event thread's notifier, and
// libusb's results in the seam's terms.

#include <libusb.h>

#include <functional>
#include <mutex>

#include "usb/libusb_bus.h"

namespace usb {

// Hands bus events to whoever watches. Cleared under its lock, so once set({}) has returned no
// call is running or will start, even if libusb still delivers an event on some thread.
class Notifier {
 public:
  void set(std::function<void()> changed) {
    std::lock_guard guard(mutex_);
    changed_ = std::move(changed);
  }

  void fire() {
    std::lock_guard guard(mutex_);
    if (changed_) {
      changed_();
    }
  }

 private:
  std::mutex mutex_;
  std::function<void()> changed_;
};

// One libusb context, shared by the bus and every handle opened through it, so it ends only
// after the last handle is closed.
struct LibusbBus::Context {
  explicit Context(libusb_context* context) : usb(context) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { libusb_exit(usb); }

  libusb_context* usb;
  Notifier notifier;  // lives as long as libusb may call back into it
};

inline int bus_result(int libusb_error) {
  switch (libusb_error) {
    case LIBUSB_ERROR_TIMEOUT:
      return kTimeout;
    case LIBUSB_ERROR_NO_DEVICE:
      return kDisconnected;
    default:
      return kError;
  }
}

}  // namespace usb
