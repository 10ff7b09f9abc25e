#pragma once
// The simulated module as the guest sees it while it is attached.

#include <atomic>
#include <map>
#include <memory>

#include "sim/usbredir/descriptors.h"
#include "sim/usbredir/endpoint_queue.h"
#include "usb/bus.h"

namespace sim::redir {

// The module while the guest sees it attached: its open device and one transfer queue per
// endpoint. Standard control requests are answered from the descriptors; vendor requests and
// bulk transfers go to the module. Destroying it completes every pending transfer as cancelled.
class AttachedModule {
 public:
  AttachedModule(std::unique_ptr<usb::Device> device, DeviceIdentity identity,
                 EndpointQueue::Complete complete);
  AttachedModule(const AttachedModule&) = delete;
  AttachedModule& operator=(const AttachedModule&) = delete;

  const DeviceIdentity& identity() const { return identity_; }
  // A transfer for an endpoint the module does not have completes at once as invalid.
  void submit(Transfer transfer);
  void cancel(uint64_t id);

 private:
  void run_control(Transfer& transfer, const std::atomic<bool>& cancelled);
  void run_bulk(Transfer& transfer, const std::atomic<bool>& cancelled);

  std::unique_ptr<usb::Device> device_;
  DeviceIdentity identity_;
  EndpointQueue::Complete complete_;
  std::map<uint8_t, std::unique_ptr<EndpointQueue>> queues_;  // by endpoint address
};

}  // namespace sim::redir
