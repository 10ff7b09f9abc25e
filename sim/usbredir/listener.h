#pragma once
// The listening socket that QEMU's usb-redir chardev connects to.

#include <chrono>
#include <memory>
#include <string>

#include "sim/usbredir/unique_fd.h"

namespace sim::redir {

// The socket QEMU's usb-redir chardev connects to: "unix:PATH" (a Unix socket, removed again
// on close) or "tcp:PORT" (127.0.0.1 only; port 0 picks a free one).
class Listener {
 public:
  // Returns null and sets `error` when the address is malformed or cannot be bound.
  static std::unique_ptr<Listener> open(const std::string& address, std::string& error);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Where clients reach it: "unix:PATH" or "tcp:127.0.0.1:PORT" with the actual port.
  const std::string& endpoint() const { return endpoint_; }
  // Waits for one client, at most `timeout`, or until `stop_fd` becomes readable. Returns an
  // invalid descriptor on timeout, stop or failure. The accepted socket is non-blocking.
  UniqueFd accept_one(int stop_fd, std::chrono::milliseconds timeout);

 private:
  Listener(UniqueFd socket, std::string endpoint, std::string unix_path);

  UniqueFd socket_;
  std::string endpoint_;
  std::string unix_path_;
};

}  // namespace sim::redir
