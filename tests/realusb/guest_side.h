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

struct Reply {
  int status = -1;
  std::vector<uint8_t> data;
};

class GuestSide {
 public:
  explicit GuestSide(sim::redir::UniqueFd socket);

  // Moves bytes both ways until `done` holds; false if it does not within `limit`.
  bool run_until(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

  uint64_t send_control(uint8_t requesttype, uint8_t request, uint16_t value, uint16_t index,
                        uint16_t length, std::vector<uint8_t> out = {});
  uint64_t send_bulk(uint8_t endpoint, uint32_t length, std::vector<uint8_t> out = {});
  void cancel(uint64_t id) { usbredirparser_send_cancel_data_packet(parser_.get(), id); }
  uint64_t set_configuration(uint8_t configuration);
  uint64_t get_alt_setting(uint8_t interface);
  uint64_t start_iso_stream(uint8_t endpoint);

  std::vector<usb_redir_device_connect_header> connects;
  std::vector<usb_redir_ep_info_header> ep_infos;
  int disconnects = 0;
  std::map<uint64_t, Reply> replies;  // of every request, by its id; statuses only for some

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
