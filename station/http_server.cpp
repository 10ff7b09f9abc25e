// The dashboard's web server on civetweb: who may ask, and what each path answers.
#include "station/http_server.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include "station/dashboard_files.h"

namespace station {
namespace {

// Threads beyond the client limit, so that a client past it still gets its 503 at once.
constexpr int kSpareThreads = 4;
// The request line and every header together.
constexpr const char* kMaxRequestHead = "8192";
// How long a client may take to send its request, and to take what is written to it.
constexpr const char* kRequestTimeoutMs = "3000";
// What the kernel keeps for a client that stops reading before its writes block (it doubles
// the figure for its own bookkeeping): a few seconds of a busy shift's events.
constexpr int kSendBuffer = 8192;
// How long an event stream waits for events before it looks whether the station is stopping.
constexpr auto kEventWait = std::chrono::milliseconds(500);
constexpr const char* kTokenCookie = "kavro_station_token";
constexpr std::string_view kTokenAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~+/=";

// Nothing but the station's own page, script and style, and connections back to it.
constexpr const char* kCommonHeaders =
    "Cache-Control: no-store\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Connection: close\r\n";

int reply(mg_connection* connection, int status, std::string_view content_type,
          std::string_view body, const std::string& extra_headers = "") {
  mg_printf(connection, "HTTP/1.1 %d %s\r\nContent-Type: %.*s\r\nContent-Length: %zu\r\n%s%s\r\n",
            status, mg_get_response_code_text(connection, status),
            static_cast<int>(content_type.size()), content_type.data(), body.size(), kCommonHeaders,
            extra_headers.c_str());
  mg_write(connection, body.data(), body.size());
  return status;
}

int reply_text(mg_connection* connection, int status, const std::string& extra_headers = "") {
  const std::string body = std::string(mg_get_response_code_text(connection, status)) + "\n";
  return reply(connection, status, "text/plain; charset=utf-8", body, extra_headers);
}

// Whether a request names this machine by a loopback address. Without a token that is the
// only way in: a page from elsewhere whose host name an attacker's DNS points at 127.0.0.1
// (DNS rebinding) still sends its own name. A client that sends no Host header is no browser.
bool names_loopback(const char* host) {
  if (host == nullptr) {
    return true;
  }
  const std::string_view name(host);
  const std::string_view without_port = name.substr(0, name.rfind(':'));
  in_addr address{};
  return without_port == "localhost" ||
         (inet_pton(AF_INET, std::string(without_port).c_str(), &address) == 1 &&
          without_port.starts_with("127."));
}

bool same_token(std::string_view given, const std::string& token) {
  return given.size() == token.size() &&
         CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

// civetweb hands out no socket, so the listening one is found among the process's descriptors
// by its port. Connections accepted from it inherit its small send buffer: a browser that
// stops reading its event stream makes the station's writes block within a few seconds of
// events, and time out, rather than the kernel holding megabytes for it.
void limit_send_buffers(int port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int descriptor = std::stoi(entry.path().filename());
    int listening = 0;
    socklen_t size = sizeof listening;
    sockaddr_in address{};
    socklen_t address_size = sizeof address;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
        listening == 1 &&
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &address_size) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port) {
      setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
      return;
    }
  }
  throw std::runtime_error("cannot find the dashboard's listening socket");
}

// Counts a connection in for as long as it is served.
class ClientCount {
 public:
  explicit ClientCount(std::atomic<int>& clients) : clients_(clients), count_(++clients) {}
  ~ClientCount() { --clients_; }
  int count() const { return count_; }

 private:
  std::atomic<int>& clients_;
  const int count_;
};

}  // namespace

std::string read_token(const std::string& path) {
  std::ifstream file(path);
  std::string token;
  if (!file || !std::getline(file, token)) {
    throw std::runtime_error("cannot read the token file " + path + ": " + std::strerror(errno));
  }
  if (token.size() < kMinTokenLength || token.size() > kMaxTokenLength ||
      token.find_first_not_of(kTokenAlphabet) != std::string::npos) {
    throw std::runtime_error("the token file " + path + " must begin with a line of " +
                             std::to_string(kMinTokenLength) + " to " +
                             std::to_string(kMaxTokenLength) +
                             " letters, digits or -._~+/= (openssl rand -hex 32)");
  }
  return token;
}

HttpServer::HttpServer(const std::string& address, int port, std::string token, EventHub& hub)
    : token_(std::move(token)), hub_(hub) {
  const std::string listening = address + ":" + std::to_string(port);
  const std::string threads = std::to_string(kMaxClients + kSpareThreads);
  const char* options[] = {"listening_ports",
                           listening.c_str(),
                           "num_threads",
                           threads.c_str(),
                           "max_request_size",
                           kMaxRequestHead,
                           "request_timeout_ms",
                           kRequestTimeoutMs,
                           "enable_keep_alive",
                           "no",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.begin_request = &HttpServer::serve;
  // Its complaints about clients would only garble the operator's terminal.
  callbacks.log_message = [](const mg_connection*, const char*) { return 1; };
  mg_init_data init{&callbacks, this, options};
  char error_text[256] = "";
  unsigned error_code = 0;
  mg_error_data error{&error_code, error_text, sizeof error_text};
  context_.reset(mg_start2(&init, &error));
  if (!context_) {
    throw std::runtime_error("cannot serve the dashboard on " + listening + ": " + error_text);
  }
  mg_server_port bound{};
  if (mg_get_server_ports(context_.get(), 1, &bound) != 1) {
    throw std::runtime_error("cannot serve the dashboard on " + listening);
  }
  port_ = bound.port;
  limit_send_buffers(port_);
}

int HttpServer::serve(mg_connection* connection) {
  return static_cast<HttpServer*>(mg_get_request_info(connection)->user_data)
      ->serve_request(connection);
}

int HttpServer::serve_request(mg_connection* connection) {
  const ClientCount client(clients_);
  if (client.count() > kMaxClients) {
    return reply_text(connection, 503);
  }
  const mg_request_info& request = *mg_get_request_info(connection);
  const std::string_view path = request.local_uri != nullptr ? request.local_uri : "";
  if (token_.empty() && !names_loopback(mg_get_header(connection, "Host"))) {
    return reply_text(connection, 403);
  }
  if (!token_.empty() && path == "/login") {
    return log_in(connection);
  }
  if (!authorized(connection)) {
    return reply_text(connection, 401, "WWW-Authenticate: Bearer\r\n");
  }
  if (std::string_view(request.request_method) != "GET") {
    return reply_text(connection, 405, "Allow: GET\r\n");
  }
  // Nothing here reads a body, so none is taken.
  if (request.content_length > 0 || mg_get_header(connection, "Transfer-Encoding") != nullptr) {
    return reply_text(connection, 413);
  }
  if (path == "/api/events") {
    return stream_events(connection);
  }
  if (path == "/api/state") {
    const std::string state = hub_.state();
    return state.empty() ? reply_text(connection, 503, "Retry-After: 1\r\n")
                         : reply(connection, 200, "application/json", state);
  }
  if (const auto file = dashboard_file(path)) {
    return reply(connection, 200, file->content_type, file->body);
  }
  return reply_text(connection, 404);
}

// /login?token=...: sets the token as a cookie and sends the browser on to the page, so that
// the token does not stay in its address bar or history.
int HttpServer::log_in(mg_connection* connection) {
  const char* query = mg_get_request_info(connection)->query_string;
  char given[kMaxTokenLength + 1];
  const int length =
      query == nullptr ? -1 : mg_get_var(query, std::strlen(query), "token", given, sizeof given);
  if (length < 0 || !same_token(std::string_view(given, static_cast<size_t>(length)), token_)) {
    return reply_text(connection, 401, "WWW-Authenticate: Bearer\r\n");
  }
  return reply_text(connection, 303,
                    "Location: /\r\nSet-Cookie: " + std::string(kTokenCookie) + "=" + token_ +
                        "; Path=/; HttpOnly; SameSite=Strict\r\n");
}

bool HttpServer::authorized(mg_connection* connection) const {
  if (token_.empty()) {
    return true;
  }
  if (const char* header = mg_get_header(connection, "Authorization")) {
    constexpr std::string_view kScheme = "Bearer ";
    const std::string_view value(header);
    return value.size() > kScheme.size() &&
           mg_strncasecmp(header, kScheme.data(), kScheme.size()) == 0 &&
           same_token(value.substr(kScheme.size()), token_);
  }
  const char* cookies = mg_get_header(connection, "Cookie");
  char given[kMaxTokenLength + 1];
  const int length =
      cookies == nullptr ? -1 : mg_get_cookie(cookies, kTokenCookie, given, sizeof given);
  return length >= 0 && same_token(std::string_view(given, static_cast<size_t>(length)), token_);
}

// One change per event, for as long as the browser takes them; a browser that falls behind is
// dropped by the hub, one that stops reading by the write's time-out.
int HttpServer::stream_events(mg_connection* connection) {
  mg_printf(connection,
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n%s\r\n"
            "retry: 1000\n\n",
            kCommonHeaders);
  const auto reader = hub_.subscribe();
  while (const auto text = reader->take(kEventWait)) {
    if (!text->empty() &&
        mg_write(connection, text->data(), text->size()) != static_cast<int>(text->size())) {
      break;
    }
  }
  return 200;
}

}  // namespace station
