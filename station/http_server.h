#pragma once

// The dashboard's web server: the page, /api/state and /api/events, served read-only from the
// station's own memory through civetweb. It answers GET only, serves nothing from the disk,
// bounds every request head, serves at most kMaxClients connections at once (503 beyond), and
// with a token lets in only the requests that carry it (401 otherwise, and nothing else);
// without one, only requests that name the machine by a loopback address (403 otherwise).
// Its threads only read the event hub; none of them ever touches the shift.

#include <civetweb.h>

#include <atomic>
#include <string>

#include "common/c_handle.h"
#include "station/event_hub.h"

namespace station {

inline constexpr int kMaxClients = 32;

class HttpServer {
 public:
  // Listens on `address` (an IPv4 address) and `port` (0: any free one). An empty `token`
  // lets every request in. Throws std::runtime_error naming the reason when it cannot listen.
  HttpServer(const std::string& address, int port, std::string token, EventHub& hub);

  // The port it listens on.
  int port() const { return port_; }

 private:
  static int serve(mg_connection* connection);
  int serve_request(mg_connection* connection);
  int log_in(mg_connection* connection);
  bool authorized(mg_connection* connection) const;
  int stream_events(mg_connection* connection);

  const std::string token_;
  EventHub& hub_;
  std::atomic<int> clients_ = 0;
  int port_ = 0;
  // Last, so that it stops (and its threads end) before the rest goes.
  CHandle<mg_context, mg_stop> context_;
};

// The dashboard's token from `path`: its first line, which must be kMinTokenLength to
// kMaxTokenLength characters of the Bearer token alphabet. Throws std::runtime_error naming
// what is wrong.
inline constexpr size_t kMinTokenLength = 43;  // 32 random bytes in base64
inline constexpr size_t kMaxTokenLength = 256;
std::string read_token(const std::string& path);

}  // namespace station
