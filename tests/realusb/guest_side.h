#pragma once

#include <usbredirparser.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "sim/usbredir/unique_fd.h"

// The other end of a usbredir connection, as QEMU's usb-redir device plays it: announces the
// same capabilities, acknowledges disconnects and records everything the server sends.
namespace realusb_test {

struct ControlReply {
  usb_redir_control_packet_header header{};
  std::vector<uint8_t> data;
};

struct BulkReply {
  usb_redir_bulk_packet_header header{};
  std::vector<uint8_t> data;
  uint32_t length() const {
    return (static_cast<uint32_t>(header.length_high) << 16) | header.length;
  }
};

class GuestSide {
 public:
  explicit GuestSide(sim::redir::UniqueFd socket);
  ~GuestSide();

  // Moves bytes both ways until `done` holds; false if it does not within `limit`.
  bool run_until(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Whether the server's hello has arrived; requests sent before it are dropped by the parser.
  bool has_peer_caps() const { return usbredirparser_have_peer_caps(parser_.get()) != 0; }
  // Writes out everything queued; false if the connection fails first.
  bool flush();
  // Closes the guest's end of the connection.
  void close() { socket_.reset(); }

  uint64_t send_control(uint8_t requesttype, uint8_t request, uint16_t value, uint16_t index,
                        uint16_t length, std::vector<uint8_t> out = {});
  uint64_t send_bulk(uint8_t endpoint, uint32_t length, std::vector<uint8_t> out = {});
  void cancel(uint64_t id);
  uint64_t set_configuration(uint8_t configuration);
  uint64_t get_alt_setting(uint8_t interface);
  uint64_t start_iso_stream(uint8_t endpoint);

  std::vector<usb_redir_device_connect_header> connects;
  std::vector<usb_redir_interface_info_header> interface_infos;
  std::vector<usb_redir_ep_info_header> ep_infos;
  int disconnects = 0;
  std::map<uint64_t, ControlReply> control_replies;
  std::map<uint64_t, BulkReply> bulk_replies;
  std::map<uint64_t, usb_redir_configuration_status_header> configuration_statuses;
  std::map<uint64_t, usb_redir_alt_setting_status_header> alt_setting_statuses;
  std::map<uint64_t, usb_redir_iso_stream_status_header> iso_stream_statuses;
  std::vector<uint8_t> events;  // usb_redir_device_connect / _disconnect in arrival order

 private:
  struct ParserDeleter {
    void operator()(usbredirparser* parser) const { usbredirparser_destroy(parser); }
  };
  static GuestSide& self(void* priv) { return *static_cast<GuestSide*>(priv); }
  void set_callbacks();

  sim::redir::UniqueFd socket_;
  std::unique_ptr<usbredirparser, ParserDeleter> parser_;
  uint64_t next_id_ = 1;
};

}  // namespace realusb_test
