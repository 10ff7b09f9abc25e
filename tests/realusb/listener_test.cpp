#include "sim/usbredir/listener.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sim/usbredir/wake_event.h"

namespace realusb_test {
namespace {

using sim::redir::Listener;
using sim::redir::UniqueFd;

std::string open_error(const std::string& address) {
  std::string error;
  EXPECT_EQ(Listener::open(address, error), nullptr);
  return error;
}

std::string temporary_socket_path() {
  std::string folder = (std::filesystem::temp_directory_path() / "realusb-listener.XXXXXX");
  EXPECT_NE(::mkdtemp(folder.data()), nullptr);
  return folder + "/server.sock";
}

UniqueFd connect_unix(const std::string& path) {
  UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return client;
}

TEST(Listener, RejectsMalformedAddressesWithAReason) {
  EXPECT_EQ(open_error("/tmp/x.sock"),
            "listen address must be unix:PATH or tcp:PORT, not /tmp/x.sock");
  EXPECT_EQ(open_error("tcp:"), "not a port number: ");
  EXPECT_EQ(open_error("tcp:12ab"), "not a port number: 12ab");
  EXPECT_EQ(open_error("tcp:65536"), "not a port number: 65536");
  EXPECT_EQ(open_error("unix:"), "unix socket path is empty or longer than 107 bytes: ");
  const std::string long_path(108, 'a');
  EXPECT_EQ(open_error("unix:" + long_path),
            "unix socket path is empty or longer than 107 bytes: " + long_path);
}

TEST(Listener, ReportsAPathItCannotBind) {
  EXPECT_EQ(open_error("unix:/nonexistent-folder/x.sock"),
            "cannot listen on /nonexistent-folder/x.sock: No such file or directory");
}

TEST(Listener, TcpPortZeroPicksAFreeLoopbackPort) {
  std::string error;
  const auto listener = Listener::open("tcp:0", error);
  ASSERT_NE(listener, nullptr) << error;
  EXPECT_TRUE(listener->endpoint().starts_with("tcp:127.0.0.1:"));
  EXPECT_NE(listener->endpoint(), "tcp:127.0.0.1:0");
}

TEST(Listener, AcceptsOneUnixClientAndRemovesTheSocketFileWhenDone) {
  const std::string path = temporary_socket_path();
  std::string error;
  auto listener = Listener::open("unix:" + path, error);
  ASSERT_NE(listener, nullptr) << error;
  EXPECT_EQ(listener->endpoint(), "unix:" + path);
  const UniqueFd client = connect_unix(path);
  sim::redir::WakeEvent stop;
  const UniqueFd accepted = listener->accept_one(stop.fd(), std::chrono::seconds(5));
  EXPECT_TRUE(accepted);
  listener.reset();
  struct stat status {};
  EXPECT_NE(::stat(path.c_str(), &status), 0);
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

TEST(Listener, GivesUpWhenNoClientComesOrWhenStopped) {
  std::string error;
  const auto listener = Listener::open("tcp:0", error);
  ASSERT_NE(listener, nullptr) << error;
  sim::redir::WakeEvent stop;
  EXPECT_FALSE(listener->accept_one(stop.fd(), std::chrono::milliseconds(20)));
  stop.signal();
  EXPECT_FALSE(listener->accept_one(stop.fd(), std::chrono::seconds(30)));
}

}  // namespace
}  // namespace realusb_test
