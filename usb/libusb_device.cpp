// One open libusb device: control transfers (one at a time or a queued run), endpoints, bulk.

#include "usb/libusb_device.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "common/c_handle.h"

namespace usb {

namespace {

// libusb reads a time limit of 0 as "wait for ever"; every transfer here has a limit.
unsigned bounded(unsigned timeout_ms) {
  return std::max(timeout_ms, 1u);
}

// One request of a control run in flight: its transfer, its setup-plus-data buffer and the
// completion flag that libusb's callback sets on whichever thread handles events.
struct QueuedControl {
  QueuedControl() : transfer(libusb_alloc_transfer(0)) {}
  QueuedControl(const QueuedControl&) = delete;
  QueuedControl& operator=(const QueuedControl&) = delete;
  ~QueuedControl() { libusb_free_transfer(transfer); }

  libusb_transfer* transfer;
  std::vector<uint8_t> buffer;
  int completed = 1;
};

void LIBUSB_CALL mark_completed(libusb_transfer* transfer) {
  *static_cast<int*>(transfer->user_data) = 1;
}

// The transfer's outcome as control() reports it: the bytes moved or a negative result.
int control_result(const libusb_transfer& transfer) {
  switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return transfer.actual_length;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return kTimeout;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return kDisconnected;
    default:
      return kError;
  }
}

void wait_for(libusb_context* context, int& completed) {
  while (completed == 0) {
    libusb_handle_events_completed(context, &completed);
  }
}

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

int LibusbDevice::control_run(const ControlRun& run) {
  const size_t depth = std::max(run.depth, 1u);
  std::vector<QueuedControl> queue(depth);
  for (QueuedControl& queued : queue) {
    if (queued.transfer == nullptr) {
      return kError;
    }
    queued.buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + run.setup.wLength);
  }
  size_t submitted = 0;
  size_t reported = 0;
  bool more = true;
  int result = run.setup.wLength;
  while (result == run.setup.wLength) {
    while (more && submitted - reported < depth) {
      QueuedControl& queued = queue[submitted % depth];
      more = run.fill(submitted, std::span(queued.buffer).subspan(LIBUSB_CONTROL_SETUP_SIZE));
      if (!more) {
        break;
      }
      libusb_fill_control_setup(queued.buffer.data(), run.setup.bmRequestType, run.setup.bRequest,
                                run.setup.wValue, run.setup.wIndex, run.setup.wLength);
      libusb_fill_control_transfer(queued.transfer, handle_, queued.buffer.data(), mark_completed,
                                   &queued.completed, bounded(run.timeout_ms));
      queued.completed = 0;
      const int submit = libusb_submit_transfer(queued.transfer);
      if (submit != 0) {
        queued.completed = 1;
        result = bus_result(submit);
        break;
      }
      ++submitted;
    }
    if (reported == submitted) {
      break;
    }
    QueuedControl& oldest = queue[reported % depth];
    wait_for(context_->usb, oldest.completed);
    run.completed(reported++);
    result = control_result(*oldest.transfer);
  }
  // After a failure the requests behind it must not reach the module: cancel them and wait
  // until libusb has given each one back.
  for (; reported < submitted; ++reported) {
    QueuedControl& queued = queue[reported % depth];
    libusb_cancel_transfer(queued.transfer);
    wait_for(context_->usb, queued.completed);
  }
  return result;
}

std::vector<uint8_t> LibusbDevice::endpoints() {
  libusb_config_descriptor* raw = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(handle_), &raw) != 0) {
    return {};
  }
  const CHandle<libusb_config_descriptor, libusb_free_config_descriptor> config(raw);
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
