// The attached module: standard requests answered here, the rest queued to the module.

#include "sim/usbredir/attached_module.h"

#include <algorithm>

namespace sim::redir {
namespace {

// How long one call into the module may block before the queue looks for a cancellation. The
// guest's own timeouts end a transfer by cancelling it, as they would with real hardware.
constexpr unsigned kSliceMs = 100;

uint8_t redir_status(int result) {
  return result == usb::kError ? usb_redir_stall : usb_redir_ioerror;
}

bool is_in(uint8_t endpoint) {
  return (endpoint & 0x80) != 0;
}

}  // namespace

AttachedModule::AttachedModule(std::unique_ptr<usb::Device> device, DeviceIdentity identity,
                               EndpointQueue::Complete complete)
    : device_(std::move(device)), identity_(std::move(identity)), complete_(std::move(complete)) {
  queues_[0] = std::make_unique<EndpointQueue>(
      [this](Transfer& transfer, const std::atomic<bool>& cancelled) {
        run_control(transfer, cancelled);
      },
      complete_);
  for (uint8_t endpoint : identity_.endpoints) {
    queues_[endpoint] = std::make_unique<EndpointQueue>(
        [this](Transfer& transfer, const std::atomic<bool>& cancelled) {
          run_bulk(transfer, cancelled);
        },
        complete_);
  }
}

void AttachedModule::submit(Transfer transfer) {
  const bool control = transfer.kind == Transfer::Kind::Control;
  auto queue = queues_.find(control ? 0 : transfer.endpoint);
  if (queue == queues_.end() || (control && (transfer.endpoint & 0x7f) != 0) ||
      (!control && transfer.endpoint == 0)) {
    transfer.status = usb_redir_inval;
    complete_(std::move(transfer));
    return;
  }
  queue->second->submit(std::move(transfer));
}

void AttachedModule::cancel(uint64_t id) {
  for (auto& [endpoint, queue] : queues_) {
    if (queue->cancel(id)) {
      return;
    }
  }
}

void AttachedModule::run_control(Transfer& transfer, const std::atomic<bool>& cancelled) {
  const usb_redir_control_packet_header& header = transfer.control;
  const usb::SetupPacket setup{header.requesttype, header.request, header.value, header.index,
                               header.length};
  const bool in = (header.requesttype & 0x80) != 0;
  if (auto reply = answer_standard_request(identity_, setup)) {
    transfer.status = reply->stall ? usb_redir_stall : usb_redir_success;
    transfer.in = std::move(reply->data);
    transfer.actual = static_cast<uint32_t>(in ? transfer.in.size() : transfer.out.bytes().size());
    return;
  }
  std::span<uint8_t> buffer = transfer.out.bytes();
  if (in) {
    transfer.in.resize(header.length);
    buffer = transfer.in;
  } else {
    buffer = buffer.first(std::min<size_t>(buffer.size(), header.length));
  }
  int result = usb::kTimeout;
  while (result == usb::kTimeout && !cancelled) {
    result = device_->control(setup, buffer, kSliceMs);
  }
  if (result >= 0) {
    transfer.status = usb_redir_success;
    transfer.actual = static_cast<uint32_t>(result);
  } else {
    transfer.status = cancelled ? static_cast<uint8_t>(usb_redir_cancelled) : redir_status(result);
    transfer.actual = 0;
  }
  if (in) {
    transfer.in.resize(transfer.actual);
  }
}

void AttachedModule::run_bulk(Transfer& transfer, const std::atomic<bool>& cancelled) {
  const bool in = is_in(transfer.endpoint);
  std::span<uint8_t> buffer = transfer.out.bytes();
  if (in) {
    transfer.in.resize(transfer.requested);
    buffer = transfer.in;
  }
  size_t done = 0;
  bool finished = false;
  transfer.status = usb_redir_success;
  while (!finished && !cancelled) {
    size_t moved = 0;
    const int result = device_->bulk(transfer.endpoint, buffer.subspan(done), kSliceMs, moved);
    done += moved;
    if (result != usb::kOk && result != usb::kTimeout) {
      transfer.status = redir_status(result);
      finished = true;
    }
    // A real IN transfer ends with the first short packet; an OUT transfer ends when the module
    // has taken every byte.
    finished = finished || done == buffer.size() || (in && (done > 0 || result == usb::kOk));
  }
  if (!finished) {
    transfer.status = usb_redir_cancelled;
  }
  transfer.actual = static_cast<uint32_t>(done);
  if (in) {
    transfer.in.resize(done);
  }
}

}  // namespace sim::redir
