// One usbredir connection: usbredirparser's callbacks, the socket and the guest's transfers.

#include "sim/usbredir/redir_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <usbredirfilter.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace sim::redir {
namespace {

constexpr uint16_t kVendorId = 0x4255;
constexpr uint16_t kDeviceVersionBcd = 0x0100;
constexpr auto kDisconnectAckWait = std::chrono::seconds(2);
constexpr auto kOpenRetryDelay = std::chrono::milliseconds(100);

// QEMU attaches a redirected device to an xHCI port only when the peer speaks these.
constexpr int kRequiredPeerCaps[] = {usb_redir_cap_ep_info_max_packet_size,
                                     usb_redir_cap_32bits_bulk_length, usb_redir_cap_64bits_ids};

int endpoint_index(uint8_t address) {
  return ((address & 0x80) >> 3) | (address & 0x0f);
}

std::string hex(unsigned value, int width) {
  std::string text(static_cast<size_t>(width), '0');
  for (int i = width - 1; i >= 0 && value != 0; --i, value >>= 4) {
    text[static_cast<size_t>(i)] = "0123456789abcdef"[value & 0xf];
  }
  return text;
}

}  // namespace

RedirConnection::RedirConnection(UniqueFd socket, std::shared_ptr<usb::Bus> bus, const Logger& log)
    : socket_(std::move(socket)),
      bus_(std::move(bus)),
      log_(log),
      parser_(usbredirparser_create()) {
  set_callbacks();
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                  usb_redir_cap_device_disconnect_ack, usb_redir_cap_ep_info_max_packet_size,
                  usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
    usbredirparser_caps_set_cap(caps, cap);
  }
  usbredirparser_init(parser_.get(), "kavro-usbredir-sim", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
  bus_->watch([this] {
    {
      std::lock_guard lock(mutex_);
      bus_changed_ = true;
    }
    wake_.signal();
  });
}

RedirConnection::~RedirConnection() {
  bus_->watch({});
  module_.reset();
}

void RedirConnection::set_callbacks() {
  usbredirparser* p = parser_.get();
  p->priv = this;
  p->log_func = [](void* priv, int level, const char* message) {
    if (level <= usbredirparser_warning) {
      self(priv).log_.info(std::string("usbredir: ") + message);
    } else {
      self(priv).log_.debug(std::string("usbredir: ") + message);
    }
  };
  p->read_func = [](void* priv, uint8_t* data, int count) {
    return self(priv).read_socket(data, count);
  };
  p->write_func = [](void* priv, uint8_t* data, int count) {
    return self(priv).write_socket(data, count);
  };
  p->hello_func = [](void* priv, usb_redir_hello_header*) { self(priv).on_hello(); };
  p->reset_func = [](void* priv) { self(priv).log_.debug("guest reset the device"); };
  p->set_configuration_func = [](void* priv, uint64_t id,
                                 usb_redir_set_configuration_header* header) {
    self(priv).on_set_configuration(id, header->configuration);
  };
  p->get_configuration_func = [](void* priv, uint64_t id) {
    RedirConnection& c = self(priv);
    usb_redir_configuration_status_header status{usb_redir_success, c.configuration_};
    usbredirparser_send_configuration_status(c.parser_.get(), id, &status);
  };
  p->set_alt_setting_func = [](void* priv, uint64_t id, usb_redir_set_alt_setting_header* header) {
    self(priv).on_set_alt_setting(id, header->interface, header->alt);
  };
  p->get_alt_setting_func = [](void* priv, uint64_t id, usb_redir_get_alt_setting_header* header) {
    RedirConnection& c = self(priv);
    usb_redir_alt_setting_status_header status{
        static_cast<uint8_t>(header->interface == 0 ? usb_redir_success : usb_redir_inval),
        header->interface, 0};
    usbredirparser_send_alt_setting_status(c.parser_.get(), id, &status);
  };
  // The module has no isochronous or interrupt endpoints and no bulk streams.
  p->start_iso_stream_func = [](void* priv, uint64_t id,
                                usb_redir_start_iso_stream_header* header) {
    usb_redir_iso_stream_status_header status{usb_redir_inval, header->endpoint};
    usbredirparser_send_iso_stream_status(self(priv).parser_.get(), id, &status);
  };
  p->stop_iso_stream_func = [](void* priv, uint64_t id, usb_redir_stop_iso_stream_header* header) {
    usb_redir_iso_stream_status_header status{usb_redir_inval, header->endpoint};
    usbredirparser_send_iso_stream_status(self(priv).parser_.get(), id, &status);
  };
  p->start_interrupt_receiving_func = [](void* priv, uint64_t id,
                                         usb_redir_start_interrupt_receiving_header* header) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_inval, header->endpoint};
    usbredirparser_send_interrupt_receiving_status(self(priv).parser_.get(), id, &status);
  };
  p->stop_interrupt_receiving_func = [](void* priv, uint64_t id,
                                        usb_redir_stop_interrupt_receiving_header* header) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_inval, header->endpoint};
    usbredirparser_send_interrupt_receiving_status(self(priv).parser_.get(), id, &status);
  };
  p->alloc_bulk_streams_func = [](void* priv, uint64_t id,
                                  usb_redir_alloc_bulk_streams_header* header) {
    usb_redir_bulk_streams_status_header status{header->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(self(priv).parser_.get(), id, &status);
  };
  p->free_bulk_streams_func = [](void* priv, uint64_t id,
                                 usb_redir_free_bulk_streams_header* header) {
    usb_redir_bulk_streams_status_header status{header->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(self(priv).parser_.get(), id, &status);
  };
  p->start_bulk_receiving_func = [](void* priv, uint64_t id,
                                    usb_redir_start_bulk_receiving_header* header) {
    usb_redir_bulk_receiving_status_header status{header->stream_id, header->endpoint,
                                                  usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(self(priv).parser_.get(), id, &status);
  };
  p->stop_bulk_receiving_func = [](void* priv, uint64_t id,
                                   usb_redir_stop_bulk_receiving_header* header) {
    usb_redir_bulk_receiving_status_header status{header->stream_id, header->endpoint,
                                                  usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(self(priv).parser_.get(), id, &status);
  };
  p->cancel_data_packet_func = [](void* priv, uint64_t id) { self(priv).cancel(id); };
  p->filter_reject_func = [](void* priv) {
    self(priv).log_.info("the guest's filter rejected the module");
  };
  p->filter_filter_func = [](void*, usbredirfilter_rule* rules, int) {
    usbredirfilter_free(rules);  // the guest's rules only matter to a host with many devices
  };
  p->device_disconnect_ack_func = [](void* priv) { self(priv).on_device_disconnect_ack(); };
  p->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* header,
                              uint8_t* data, int length) {
    RedirConnection& c = self(priv);
    c.on_control_packet(id, *header, PacketData(c.parser_.get(), data, length));
  };
  p->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* header,
                           uint8_t* data, int length) {
    RedirConnection& c = self(priv);
    c.on_bulk_packet(id, *header, PacketData(c.parser_.get(), data, length));
  };
  p->iso_packet_func = [](void* priv, uint64_t, usb_redir_iso_packet_header*, uint8_t* data,
                          int length) {
    RedirConnection& c = self(priv);
    PacketData dropped(c.parser_.get(), data, length);
    c.log_.info("dropped an isochronous packet: the module has no such endpoint");
  };
  p->interrupt_packet_func = [](void* priv, uint64_t, usb_redir_interrupt_packet_header*,
                                uint8_t* data, int length) {
    RedirConnection& c = self(priv);
    PacketData dropped(c.parser_.get(), data, length);
    c.log_.info("dropped an interrupt packet: the module has no such endpoint");
  };
  // Only a USB host sends these; the parser rejects them from the guest side before they get
  // here, but it calls every callback without checking for null.
  p->device_connect_func = [](void* priv, usb_redir_device_connect_header*) {
    self(priv).log_.info("unexpected device_connect from the guest side");
  };
  p->device_disconnect_func = [](void* priv) {
    self(priv).log_.info("unexpected device_disconnect from the guest side");
  };
  p->interface_info_func = [](void* priv, usb_redir_interface_info_header*) {
    self(priv).log_.info("unexpected interface_info from the guest side");
  };
  p->ep_info_func = [](void* priv, usb_redir_ep_info_header*) {
    self(priv).log_.info("unexpected ep_info from the guest side");
  };
  p->configuration_status_func = [](void* priv, uint64_t, usb_redir_configuration_status_header*) {
    self(priv).log_.info("unexpected configuration_status from the guest side");
  };
  p->alt_setting_status_func = [](void* priv, uint64_t, usb_redir_alt_setting_status_header*) {
    self(priv).log_.info("unexpected alt_setting_status from the guest side");
  };
  p->iso_stream_status_func = [](void* priv, uint64_t, usb_redir_iso_stream_status_header*) {
    self(priv).log_.info("unexpected iso_stream_status from the guest side");
  };
  p->interrupt_receiving_status_func = [](void* priv, uint64_t,
                                          usb_redir_interrupt_receiving_status_header*) {
    self(priv).log_.info("unexpected interrupt_receiving_status from the guest side");
  };
  p->bulk_streams_status_func = [](void* priv, uint64_t, usb_redir_bulk_streams_status_header*) {
    self(priv).log_.info("unexpected bulk_streams_status from the guest side");
  };
  p->bulk_receiving_status_func = [](void* priv, uint64_t,
                                     usb_redir_bulk_receiving_status_header*) {
    self(priv).log_.info("unexpected bulk_receiving_status from the guest side");
  };
  p->buffered_bulk_packet_func = [](void* priv, uint64_t, usb_redir_buffered_bulk_packet_header*,
                                    uint8_t* data, int length) {
    RedirConnection& c = self(priv);
    PacketData dropped(c.parser_.get(), data, length);
    c.log_.info("unexpected buffered_bulk_packet from the guest side");
  };
  // The parser does its own locking only for callers that share it between threads; this one
  // is only ever touched by the thread that serves the connection.
  p->alloc_lock_func = nullptr;
  p->lock_func = nullptr;
  p->unlock_func = nullptr;
  p->free_lock_func = nullptr;
}

int RedirConnection::read_socket(uint8_t* data, int count) {
  const ssize_t got = ::recv(socket_.get(), data, static_cast<size_t>(count), 0);
  if (got > 0) {
    return static_cast<int>(got);
  }
  if (got == 0 || errno == ECONNRESET) {
    peer_closed_ = true;
    return -1;
  }
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

int RedirConnection::write_socket(const uint8_t* data, int count) {
  const ssize_t sent = ::send(socket_.get(), data, static_cast<size_t>(count), MSG_NOSIGNAL);
  if (sent >= 0) {
    return static_cast<int>(sent);
  }
  // QEMU closes its end when the guest powers off, possibly before it read every answer.
  peer_closed_ = errno == EPIPE || errno == ECONNRESET;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void RedirConnection::on_hello() {
  for (int cap : kRequiredPeerCaps) {
    if (!usbredirparser_peer_has_cap(parser_.get(), cap)) {
      log_.info("the guest side lacks capability " + std::to_string(cap) +
                "; QEMU's xHCI will refuse the module");
    }
  }
  hello_received_ = true;
  reconcile();
}

void RedirConnection::on_set_configuration(uint64_t id, uint8_t configuration) {
  usb_redir_configuration_status_header status{usb_redir_success, configuration};
  if (configuration == 0 || configuration == kConfigurationValue) {
    configuration_ = configuration;
  } else {
    status.status = usb_redir_inval;
    status.configuration = configuration_;
  }
  usbredirparser_send_configuration_status(parser_.get(), id, &status);
}

void RedirConnection::on_set_alt_setting(uint64_t id, uint8_t interface, uint8_t alt) {
  const bool valid = interface == 0 && alt == 0;
  usb_redir_alt_setting_status_header status{
      static_cast<uint8_t>(valid ? usb_redir_success : usb_redir_inval), interface, 0};
  usbredirparser_send_alt_setting_status(parser_.get(), id, &status);
}

void RedirConnection::on_device_disconnect_ack() {
  disconnect_ack_deadline_.reset();
  reconcile();
}

void RedirConnection::on_control_packet(uint64_t id, const usb_redir_control_packet_header& header,
                                        PacketData data) {
  log_.debug("control " + std::to_string(id) + ": " + hex(header.requesttype, 2) + " " +
             hex(header.request, 2) + " " + hex(header.value, 4) + " " + hex(header.index, 4) +
             " " + hex(header.length, 4));
  Transfer transfer;
  transfer.kind = Transfer::Kind::Control;
  transfer.id = id;
  transfer.endpoint = header.endpoint;
  transfer.control = header;
  transfer.requested = header.length;
  transfer.out = std::move(data);
  submit(std::move(transfer));
}

void RedirConnection::on_bulk_packet(uint64_t id, const usb_redir_bulk_packet_header& header,
                                     PacketData data) {
  Transfer transfer;
  transfer.kind = Transfer::Kind::Bulk;
  transfer.id = id;
  transfer.endpoint = header.endpoint;
  transfer.bulk = header;
  transfer.requested = (static_cast<uint32_t>(header.length_high) << 16) | header.length;
  transfer.out = std::move(data);
  log_.debug("bulk " + std::to_string(id) + ": ep " + hex(header.endpoint, 2) + " length " +
             std::to_string(transfer.requested));
  submit(std::move(transfer));
}

void RedirConnection::submit(Transfer transfer) {
  if (!module_) {
    transfer.status = usb_redir_ioerror;  // the module has just left the bus
    send_reply(transfer);
    return;
  }
  module_->submit(std::move(transfer));
}

void RedirConnection::cancel(uint64_t id) {
  log_.debug("cancel " + std::to_string(id));
  if (module_) {
    module_->cancel(id);
  }
}

void RedirConnection::complete(Transfer&& transfer) {
  {
    std::lock_guard lock(mutex_);
    completed_.push_back(std::move(transfer));
  }
  wake_.signal();
}

void RedirConnection::send_completed() {
  std::deque<Transfer> completed;
  {
    std::lock_guard lock(mutex_);
    completed.swap(completed_);
  }
  for (const Transfer& transfer : completed) {
    send_reply(transfer);
  }
}

void RedirConnection::send_reply(const Transfer& transfer) {
  // An IN reply carries exactly the data the module delivered; an OUT reply carries the number
  // of bytes the module accepted and no data.
  const bool in = (transfer.endpoint & 0x80) != 0;
  uint8_t* data = in && !transfer.in.empty() ? const_cast<uint8_t*>(transfer.in.data()) : nullptr;
  const int length = in ? static_cast<int>(transfer.in.size()) : 0;
  if (transfer.kind == Transfer::Kind::Control) {
    usb_redir_control_packet_header header = transfer.control;
    header.status = transfer.status;
    header.length = static_cast<uint16_t>(transfer.actual);
    log_.debug("control " + std::to_string(transfer.id) + " done: status " +
               std::to_string(transfer.status) + " length " + std::to_string(transfer.actual));
    usbredirparser_send_control_packet(parser_.get(), transfer.id, &header, data, length);
    return;
  }
  usb_redir_bulk_packet_header header = transfer.bulk;
  header.status = transfer.status;
  header.length = static_cast<uint16_t>(transfer.actual & 0xffff);
  header.length_high = static_cast<uint16_t>(transfer.actual >> 16);
  log_.debug("bulk " + std::to_string(transfer.id) + " done: status " +
             std::to_string(transfer.status) + " length " + std::to_string(transfer.actual));
  usbredirparser_send_bulk_packet(parser_.get(), transfer.id, &header, data, length);
}

void RedirConnection::reconcile() {
  retry_open_at_.reset();
  if (!hello_received_) {
    return;
  }
  std::optional<usb::DeviceInfo> present;
  if (auto found = bus_->list(kVendorId); !found.empty()) {
    present = std::move(found.front());
  }
  if (announced_ && (!present || present->pid != announced_->pid ||
                     present->device_path != announced_->device_path)) {
    withdraw();
  }
  if (announced_ || !present) {
    return;
  }
  if (disconnect_ack_deadline_) {
    if (Clock::now() < *disconnect_ack_deadline_) {
      return;  // the guest has not yet let go of the previous device
    }
    log_.info("no disconnect acknowledgement from the guest side; connecting anyway");
    disconnect_ack_deadline_.reset();
  }
  auto device = bus_->open(*present);
  if (!device) {
    retry_open_at_ = Clock::now() + kOpenRetryDelay;
    return;
  }
  announce(*present, std::move(device));
}

void RedirConnection::announce(const usb::DeviceInfo& info, std::unique_ptr<usb::Device> device) {
  DeviceIdentity identity{info.vid, info.pid, {}, info.serial};
  for (uint8_t address : device->endpoints()) {
    if ((address & 0x0f) != 0) {
      identity.endpoints.push_back(address);
    }
  }

  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface_class[0] = 0xff;  // vendor specific
  usbredirparser_send_interface_info(parser_.get(), &interfaces);

  usb_redir_ep_info_header endpoints{};
  std::fill(std::begin(endpoints.type), std::end(endpoints.type), usb_redir_type_invalid);
  for (uint8_t control : {0x00, 0x80}) {
    endpoints.type[endpoint_index(control)] = usb_redir_type_control;
    endpoints.max_packet_size[endpoint_index(control)] = kControlMaxPacketSize;
  }
  for (uint8_t address : identity.endpoints) {
    endpoints.type[endpoint_index(address)] = usb_redir_type_bulk;
    endpoints.max_packet_size[endpoint_index(address)] = kMaxPacketSize;
  }
  usbredirparser_send_ep_info(parser_.get(), &endpoints);

  usb_redir_device_connect_header connect{usb_redir_speed_high, 0, 0, 0, info.vid, info.pid,
                                          kDeviceVersionBcd};
  usbredirparser_send_device_connect(parser_.get(), &connect);

  configuration_ = kConfigurationValue;
  module_ = std::make_unique<AttachedModule>(
      std::move(device), std::move(identity),
      [this](Transfer&& transfer) { complete(std::move(transfer)); });
  announced_ = info;
  log_.info("module " + info.device_path + " connected as " + hex(info.vid, 4) + ":" +
            hex(info.pid, 4));
}

void RedirConnection::withdraw() {
  module_.reset();
  send_completed();  // answers for transfers that were under way go out before the disconnect
  usbredirparser_send_device_disconnect(parser_.get());
  if (usbredirparser_peer_has_cap(parser_.get(), usb_redir_cap_device_disconnect_ack)) {
    disconnect_ack_deadline_ = Clock::now() + kDisconnectAckWait;
  }
  log_.info("module " + announced_->device_path + " disconnected");
  announced_.reset();
}

int RedirConnection::poll_timeout_ms() const {
  std::optional<Clock::time_point> next;
  for (const auto& deadline : {disconnect_ack_deadline_, retry_open_at_}) {
    if (deadline && (!next || *deadline < *next)) {
      next = deadline;
    }
  }
  if (!next) {
    return -1;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

RedirConnection::End RedirConnection::serve(int stop_fd) {
  if (!wake_.valid()) {
    log_.info("could not create the wake-up event");
    return End::Failed;
  }
  while (true) {
    const bool pending_output = usbredirparser_has_data_to_write(parser_.get()) != 0;
    pollfd fds[] = {
        {socket_.get(), static_cast<short>(POLLIN | (pending_output ? POLLOUT : 0)), 0},
        {wake_.fd(), POLLIN, 0},
        {stop_fd, POLLIN, 0},
    };
    if (::poll(fds, std::size(fds), poll_timeout_ms()) < 0 && errno != EINTR) {
      log_.info("poll failed");
      return End::Failed;
    }
    if ((fds[2].revents & POLLIN) != 0) {
      return End::Stopped;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      if (usbredirparser_do_read(parser_.get()) != 0) {
        if (peer_closed_) {
          log_.info("the guest side closed the connection");
          return End::PeerClosed;
        }
        log_.info("reading from the guest side failed");
        return End::Failed;
      }
    }
    if ((fds[1].revents & POLLIN) != 0) {
      wake_.drain();
    }
    send_completed();
    bool bus_changed = false;
    {
      std::lock_guard lock(mutex_);
      bus_changed = std::exchange(bus_changed_, false);
    }
    const auto now = Clock::now();
    if (bus_changed || (retry_open_at_ && now >= *retry_open_at_) ||
        (disconnect_ack_deadline_ && now >= *disconnect_ack_deadline_)) {
      reconcile();
    }
    if (usbredirparser_has_data_to_write(parser_.get()) != 0 &&
        usbredirparser_do_write(parser_.get()) != 0) {
      if (peer_closed_) {
        log_.info("the guest side closed the connection");
        return End::PeerClosed;
      }
      log_.info("writing to the guest side failed");
      return End::Failed;
    }
  }
}

}  // namespace sim::redir
