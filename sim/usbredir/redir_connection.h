#pragma once
// One usbredir connection: the simulated module presented to a QEMU guest.

#include <usbredirparser.h>

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "common/c_handle.h"
#include "sim/usbredir/attached_module.h"
#include "sim/usbredir/logger.h"
#include "sim/usbredir/unique_fd.h"
#include "sim/usbredir/wake_event.h"
#include "usb/bus.h"

namespace sim::redir {

// One usbredir connection, this side playing the USB host that owns the device. Presents the
// module found on `bus` to the guest: announces it when it appears, withdraws it when it leaves
// (or comes back under another product ID, as after the jump to the flash bootloader) and
// carries the guest's transfers to it.
class RedirConnection {
 public:
  RedirConnection(UniqueFd socket, std::shared_ptr<usb::Bus> bus, const Logger& log);
  ~RedirConnection();
  RedirConnection(const RedirConnection&) = delete;
  RedirConnection& operator=(const RedirConnection&) = delete;

  enum class End { PeerClosed, Stopped, Failed };
  // Serves until the guest side closes the connection, `stop_fd` becomes readable, or the
  // connection breaks.
  End serve(int stop_fd);

 private:
  using Clock = std::chrono::steady_clock;

  void set_callbacks();
  static RedirConnection& self(void* priv) { return *static_cast<RedirConnection*>(priv); }
  int read_socket(uint8_t* data, int count);
  int write_socket(const uint8_t* data, int count);
  void on_hello();
  void on_set_configuration(uint64_t id, uint8_t configuration);
  void on_set_alt_setting(uint64_t id, uint8_t interface, uint8_t alt);
  void on_device_disconnect_ack();
  void on_control_packet(uint64_t id, const usb_redir_control_packet_header& header,
                         PacketData data);
  void on_bulk_packet(uint64_t id, const usb_redir_bulk_packet_header& header, PacketData data);
  void cancel(uint64_t id);

  void submit(Transfer transfer);
  void complete(Transfer&& transfer);
  void send_completed();
  void send_reply(const Transfer& transfer);
  void reconcile();
  void announce(const usb::DeviceInfo& info, std::unique_ptr<usb::Device> device);
  void withdraw();
  int poll_timeout_ms() const;

  UniqueFd socket_;
  std::shared_ptr<usb::Bus> bus_;
  const Logger& log_;
  WakeEvent wake_;
  CHandle<usbredirparser, usbredirparser_destroy> parser_;
  bool peer_closed_ = false;
  bool hello_received_ = false;
  uint8_t configuration_ = kConfigurationValue;
  std::optional<usb::DeviceInfo> announced_;
  std::optional<Clock::time_point> disconnect_ack_deadline_;
  std::optional<Clock::time_point> retry_open_at_;

  std::mutex mutex_;  // guards what the module's threads and the bus hand over
  std::deque<Transfer> completed_;
  bool bus_changed_ = true;

  std::unique_ptr<AttachedModule> module_;  // destroyed first: its threads complete into the above
};

}  // namespace sim::redir
