// kavro-usbredir-sim as a program: its refusals and exit codes, and one connection served with
// the real module simulator behind it.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <string>

#include "sim/usbredir/unique_fd.h"
#include "tests/realusb/guest_side.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_directory.h"

namespace realusb_test {
namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using test_support::run_process;

const std::string kServer = KAVRO_USBREDIR_SIM_PATH;
const std::string kPrefix = "kavro-usbredir-sim: ";

sim::redir::UniqueFd connect_loopback(uint16_t port) {
  sim::redir::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int result = ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  EXPECT_TRUE(result == 0 || errno == EINPROGRESS);
  return socket;
}

// Reads the "listening on tcp:127.0.0.1:PORT" line and returns the port.
uint16_t listening_port(ChildProcess& server) {
  const auto line = server.read_line(10s);
  EXPECT_TRUE(line) << server.error_output();
  const std::string prefix = "listening on tcp:127.0.0.1:";
  if (!line || !line->starts_with(prefix)) {
    return 0;
  }
  return static_cast<uint16_t>(std::stoi(line->substr(prefix.size())));
}

TEST(ServerCli, RefusesABadCommandLineWithUsageAndStatus2) {
  const auto result = run_process(kServer, {"--accept-timeout", "5"}, {}, {}, 10s);
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_TRUE(result.err.starts_with(kPrefix + "--listen is required\nusage: kavro-usbredir-sim"))
      << result.err;
}

TEST(ServerCli, RefusesAConfigThatIsNotExactlyOneModule) {
  test_support::TempDirectory folder;
  const auto config =
      folder.write_file("two.json", R"({"modules": [{"port": "1-1"}, {"port": "1-2"}]})");
  const auto result = run_process(kServer, {"--listen", "tcp:0", "--config", config}, {}, {}, 10s);
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.err,
            kPrefix + config + ": describes 2 modules; this server serves exactly one\n");
  EXPECT_TRUE(result.out.empty());
}

TEST(ServerCli, RefusesAnUnreadableConfigOrAnUnknownPlatform) {
  test_support::TempDirectory folder;
  const auto missing = folder.file("missing.json");
  const auto unreadable =
      run_process(kServer, {"--listen", "tcp:0", "--config", missing}, {}, {}, 10s);
  EXPECT_EQ(unreadable.exit_status, 2);
  EXPECT_TRUE(unreadable.err.starts_with(kPrefix)) << unreadable.err;
  EXPECT_NE(unreadable.err.find(missing), std::string::npos) << unreadable.err;

  const auto unknown =
      run_process(kServer, {"--listen", "tcp:0", "--platform", "z80"}, {}, {}, 10s);
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_TRUE(unknown.err.starts_with(kPrefix)) << unknown.err;
  EXPECT_NE(unknown.err.find("z80"), std::string::npos) << unknown.err;
}

TEST(ServerCli, FailsWhenItCannotListen) {
  const auto result =
      run_process(kServer, {"--listen", "unix:/nonexistent-folder/m.sock"}, {}, {}, 10s);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err,
            kPrefix + "cannot listen on /nonexistent-folder/m.sock: No such file or directory\n");
}

TEST(ServerCli, GivesUpWhenNoGuestConnects) {
  const auto result =
      run_process(kServer, {"--listen", "tcp:0", "--accept-timeout", "1"}, {}, {}, 20s);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(result.out.starts_with("listening on tcp:127.0.0.1:")) << result.out;
  EXPECT_EQ(result.err, "kavro-usbredir-sim 1-1: no connection within 1 s\n");
}

TEST(ServerCli, EndsCleanlyOnSigtermWhileWaiting) {
  ChildProcess server(kServer, {"--listen", "tcp:0"});
  ASSERT_NE(listening_port(server), 0);
  ::kill(server.pid(), SIGTERM);
  const auto result = server.finish(10s);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "kavro-usbredir-sim 1-1: stopped by signal\n");
}

TEST(ServerCli, ServesTheSimulatedBootRomUntilTheGuestSideCloses) {
  ChildProcess server(kServer, {"--listen", "tcp:0", "--platform", "cv25", "--port", "3-2"});
  const uint16_t port = listening_port(server);
  ASSERT_NE(port, 0);
  {
    GuestSide guest(connect_loopback(port));
    ASSERT_TRUE(guest.run_until([&] { return !guest.connects.empty(); }));
    EXPECT_EQ(guest.connects[0].vendor_id, 0x4255);
    EXPECT_EQ(guest.connects[0].product_id, 0x0014);  // cv25 boot ROM
    // The boot ROM speaks on endpoint 0 only; the bulk pair comes with the flash bootloader.
    ASSERT_EQ(guest.ep_infos.size(), 1u);
    EXPECT_EQ(guest.ep_infos[0].type[0], usb_redir_type_control);
    EXPECT_EQ(guest.ep_infos[0].type[1], usb_redir_type_invalid);
    EXPECT_EQ(guest.ep_infos[0].type[17], usb_redir_type_invalid);

    // A register read goes to the simulated boot ROM.
    const uint64_t read = guest.send_control(0xC0, 0, 0xE801, 0xD000, 4);
    ASSERT_TRUE(guest.run_until([&] { return guest.control_replies.contains(read); }));
    EXPECT_EQ(guest.control_replies[read].header.status, usb_redir_success);
    EXPECT_EQ(guest.control_replies[read].data.size(), 4u);
  }
  const auto result = server.finish(10s);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_NE(result.err.find("kavro-usbredir-sim 3-2: module 3-2 connected as 4255:0014\n"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("the guest side closed the connection\n"), std::string::npos)
      << result.err;
}

}  // namespace
}  // namespace realusb_test
