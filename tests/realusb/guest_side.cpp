#include "tests/realusb/guest_side.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace realusb_test {

GuestSide::GuestSide(sim::redir::UniqueFd socket)
    : socket_(std::move(socket)), parser_(usbredirparser_create()) {
  set_callbacks();
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                  usb_redir_cap_device_disconnect_ack, usb_redir_cap_ep_info_max_packet_size,
                  usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
    usbredirparser_caps_set_cap(caps, cap);
  }
  usbredirparser_init(parser_.get(), "guest-side test", caps, USB_REDIR_CAPS_SIZE, 0);
}

// Only what the server sends unasked, and the answers to control and bulk transfers.
void GuestSide::set_callbacks() {
  usbredirparser* p = parser_.get();
  p->priv = this;
  p->log_func = [](void*, int, const char*) {};
  p->read_func = [](void* priv, uint8_t* data, int count) -> int {
    const ssize_t got = ::recv(self(priv).socket_.get(), data, static_cast<size_t>(count), 0);
    if (got > 0) {
      return static_cast<int>(got);
    }
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  };
  p->write_func = [](void* priv, uint8_t* data, int count) -> int {
    const ssize_t sent =
        ::send(self(priv).socket_.get(), data, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (sent >= 0) {
      return static_cast<int>(sent);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  };
  p->hello_func = [](void*, usb_redir_hello_header*) {};
  p->device_connect_func = [](void* priv, usb_redir_device_connect_header* header) {
    self(priv).connects.push_back(*header);
  };
  p->device_disconnect_func = [](void* priv) { ++self(priv).disconnects; };  // acknowledged
  p->interface_info_func = [](void*, usb_redir_interface_info_header*) {};
  p->ep_info_func = [](void* priv, usb_redir_ep_info_header* header) {
    self(priv).ep_infos.push_back(*header);
  };
  p->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* header,
                              uint8_t* data, int length) {
    self(priv).replies[id] = {header->status, std::vector<uint8_t>(data, data + length)};
    usbredirparser_free_packet_data(self(priv).parser_.get(), data);
  };
  p->configuration_status_func = [](void* priv, uint64_t id,
                                    usb_redir_configuration_status_header* header) {
    self(priv).replies[id] = {header->status, {header->configuration}};
  };
  p->alt_setting_status_func = [](void* priv, uint64_t id,
                                  usb_redir_alt_setting_status_header* header) {
    self(priv).replies[id] = {header->status, {header->alt}};
  };
  p->iso_stream_status_func = [](void* priv, uint64_t id,
                                 usb_redir_iso_stream_status_header* header) {
    self(priv).replies[id] = {header->status, {}};
  };
  p->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* header,
                           uint8_t* data, int length) {
    self(priv).replies[id] = {header->status, std::vector<uint8_t>(data, data + length)};
    usbredirparser_free_packet_data(self(priv).parser_.get(), data);
  };
}

bool GuestSide::run_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    if (usbredirparser_has_data_to_write(parser_.get()) != 0 &&
        usbredirparser_do_write(parser_.get()) != 0) {
      return false;
    }
    const bool pending = usbredirparser_has_data_to_write(parser_.get()) != 0;
    pollfd fd{socket_.get(), static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) > 0 && (fd.revents & POLLIN) != 0 &&
        usbredirparser_do_read(parser_.get()) != 0) {
      return done();
    }
  }
  return true;
}

uint64_t GuestSide::send_control(uint8_t requesttype, uint8_t request, uint16_t value,
                                 uint16_t index, uint16_t length, std::vector<uint8_t> out) {
  usb_redir_control_packet_header header{
      static_cast<uint8_t>(requesttype & 0x80), request, requesttype, 0, value, index, length};
  const uint64_t id = next_id_++;
  usbredirparser_send_control_packet(parser_.get(), id, &header, out.empty() ? nullptr : out.data(),
                                     static_cast<int>(out.size()));
  return id;
}

uint64_t GuestSide::send_bulk(uint8_t endpoint, uint32_t length, std::vector<uint8_t> out) {
  usb_redir_bulk_packet_header header{endpoint, 0, static_cast<uint16_t>(length & 0xffff), 0,
                                      static_cast<uint16_t>(length >> 16)};
  const uint64_t id = next_id_++;
  usbredirparser_send_bulk_packet(parser_.get(), id, &header, out.empty() ? nullptr : out.data(),
                                  static_cast<int>(out.size()));
  return id;
}

uint64_t GuestSide::set_configuration(uint8_t configuration) {
  usb_redir_set_configuration_header header{configuration};
  usbredirparser_send_set_configuration(parser_.get(), next_id_, &header);
  return next_id_++;
}

uint64_t GuestSide::get_alt_setting(uint8_t interface) {
  usb_redir_get_alt_setting_header header{interface};
  usbredirparser_send_get_alt_setting(parser_.get(), next_id_, &header);
  return next_id_++;
}

uint64_t GuestSide::start_iso_stream(uint8_t endpoint) {
  usb_redir_start_iso_stream_header header{endpoint, 8, 2};
  usbredirparser_send_start_iso_stream(parser_.get(), next_id_, &header);
  return next_id_++;
}

}  // namespace realusb_test
