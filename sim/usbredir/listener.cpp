// The listening socket (Unix or loopback TCP) and the wait for QEMU to connect.

#include "sim/usbredir/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

namespace sim::redir {
namespace {

std::unique_ptr<sockaddr_un> unix_address(const std::string& path, std::string& error) {
  auto address = std::make_unique<sockaddr_un>();
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) {
    error = "unix socket path is empty or longer than " +
            std::to_string(sizeof address->sun_path - 1) + " bytes: " + path;
    return nullptr;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return address;
}

std::optional<uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

std::string system_error(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

Listener::Listener(UniqueFd socket, std::string endpoint, std::string unix_path)
    : socket_(std::move(socket)),
      endpoint_(std::move(endpoint)),
      unix_path_(std::move(unix_path)) {}

Listener::~Listener() {
  if (!unix_path_.empty()) {
    ::unlink(unix_path_.c_str());
  }
}

std::unique_ptr<Listener> Listener::open(const std::string& address, std::string& error) {
  constexpr std::string_view kUnix = "unix:";
  constexpr std::string_view kTcp = "tcp:";
  if (address.starts_with(kUnix)) {
    const std::string path = address.substr(kUnix.size());
    auto where = unix_address(path, error);
    if (!where) {
      return nullptr;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(where.get()), sizeof *where) != 0 ||
        ::listen(fd.get(), 1) != 0) {
      error = system_error("cannot listen on " + path);
      return nullptr;
    }
    return std::unique_ptr<Listener>(new Listener(std::move(fd), address, path));
  }
  if (address.starts_with(kTcp)) {
    const auto port = parse_port(std::string_view(address).substr(kTcp.size()));
    if (!port) {
      error = "not a port number: " + address.substr(kTcp.size());
      return nullptr;
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int reuse = 1;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(*port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(fd.get(), 1) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&where), &length) != 0) {
      error = system_error("cannot listen on 127.0.0.1 port " + std::to_string(*port));
      return nullptr;
    }
    return std::unique_ptr<Listener>(
        new Listener(std::move(fd), "tcp:127.0.0.1:" + std::to_string(ntohs(where.sin_port)), ""));
  }
  error = "listen address must be unix:PATH or tcp:PORT, not " + address;
  return nullptr;
}

UniqueFd Listener::accept_one(int stop_fd, std::chrono::milliseconds timeout) {
  pollfd fds[] = {{socket_.get(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
  int ready = -1;
  do {
    ready = ::poll(fds, std::size(fds), static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0 || (fds[1].revents & POLLIN) != 0 || (fds[0].revents & POLLIN) == 0) {
    return UniqueFd();
  }
  return UniqueFd(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
}

}  // namespace sim::redir
