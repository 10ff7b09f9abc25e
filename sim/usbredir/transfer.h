#pragma once
// A guest's transfer and its OUT data on their way to the module and back.

#include <usbredirparser.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace sim::redir {

// OUT data of a guest packet. The parser hands its buffer over with the packet; it goes back
// to the parser once the module has consumed it.
class PacketData {
 public:
  PacketData() = default;
  PacketData(usbredirparser* parser, uint8_t* data, int length)
      : parser_(parser), data_(data), length_(length > 0 ? static_cast<size_t>(length) : 0) {}
  PacketData(PacketData&& other) noexcept
      : parser_(std::exchange(other.parser_, nullptr)),
        data_(std::exchange(other.data_, nullptr)),
        length_(std::exchange(other.length_, 0)) {}
  PacketData& operator=(PacketData&& other) noexcept {
    if (this != &other) {
      release();
      parser_ = std::exchange(other.parser_, nullptr);
      data_ = std::exchange(other.data_, nullptr);
      length_ = std::exchange(other.length_, 0);
    }
    return *this;
  }
  PacketData(const PacketData&) = delete;
  PacketData& operator=(const PacketData&) = delete;
  ~PacketData() { release(); }

  std::span<uint8_t> bytes() const { return {data_, length_}; }

 private:
  void release() {
    if (data_ != nullptr) {
      usbredirparser_free_packet_data(parser_, data_);
      data_ = nullptr;
    }
  }

  usbredirparser* parser_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t length_ = 0;
};

// One guest transfer on its way to the module and back. The header is returned to the guest
// with the status and length filled in.
struct Transfer {
  enum class Kind { Control, Bulk };
  Kind kind = Kind::Control;
  uint64_t id = 0;
  uint8_t endpoint = 0;
  usb_redir_control_packet_header control{};
  usb_redir_bulk_packet_header bulk{};
  PacketData out;           // OUT data from the guest
  std::vector<uint8_t> in;  // IN data for the guest; its size is what the module delivered
  uint32_t requested = 0;   // bytes the guest asked for (IN) or sent (OUT)
  uint32_t actual = 0;      // bytes moved
  uint8_t status = usb_redir_success;
};

}  // namespace sim::redir
