// kavro-usbredir-sim as a program, with the real module simulator behind it: the boot ROM on
// endpoint 0 and the standard requests, the jump to a downloaded flash bootloader, the module's
// return under the software-mode product ID with its bulk pair, a command block answered through
// it; and the command lines and configurations it refuses.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "tests/realusb/guest_side.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_directory.h"

namespace realusb_test {
namespace {

using namespace std::chrono_literals;

sim::redir::UniqueFd connect_unix(const std::string& path) {
  sim::redir::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return socket;
}

// Three little-endian words, as the boot ROM takes its commands.
std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> bytes;
  for (uint32_t value : values) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
  }
  return bytes;
}

TEST(UsbredirServer, ServesTheModuleThroughTheJumpToItsFlashBootloader) {
  test_support::TempDirectory folder;
  const auto config = folder.write_file("module.json", R"({"modules": [{"bootloader_size": 8}]})");
  const std::string socket = folder.file("module.sock");
  test_support::ChildProcess server(KAVRO_USBREDIR_SIM_PATH,
                                    {"--listen", "unix:" + socket, "--config", config, "--platform",
                                     "cv25", "--port", "3-2", "--revision", "0", "--flash-dir",
                                     folder.file("flash"), "--accept-timeout", "10", "--verbose"});
  ASSERT_EQ(server.read_line(10s), "listening on unix:" + socket + "\n");
  {
    GuestSide guest(connect_unix(socket));
    const auto reply = [&](uint64_t id) {
      EXPECT_TRUE(guest.run_until([&] { return guest.replies.contains(id); })) << id;
      return guest.replies[id];
    };
    ASSERT_TRUE(guest.run_until([&] { return guest.connects.size() == 1; }));
    EXPECT_EQ(guest.connects[0].vendor_id, 0x4255);
    EXPECT_EQ(guest.connects[0].product_id, 0x0014);                  // the cv25 boot ROM
    EXPECT_EQ(guest.ep_infos.at(0).type[1], usb_redir_type_invalid);  // endpoint 0 only
    const auto device = reply(guest.send_control(0x80, 6, 0x0100, 0, 18));
    EXPECT_EQ(device.data, (std::vector<uint8_t>{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x55, 0x42, 0x14,
                                                 0x00, 0x00, 0x01, 1, 2, 0, 1}));
    // Standard requests the server answers itself: the boot ROM sees vendor requests only.
    const std::tuple<uint8_t, uint8_t, uint16_t, uint16_t, int, size_t> requests[] = {
        {0x80, 6, 0x0200, 255, usb_redir_success, 18},  // configuration and interface, no endpoints
        {0x80, 6, 0x0300, 255, usb_redir_success, 4},   // languages
        {0x80, 6, 0x0600, 10, usb_redir_success, 10},   // device qualifier
        {0x80, 6, 0x0F00, 5, usb_redir_stall, 0},       // BOS
        {0x80, 6, 0x0304, 255, usb_redir_stall, 0},     // a string it does not have
        {0x00, 3, 1, 0, usb_redir_stall, 0},            // SET_FEATURE
    };
    for (const auto& [type, request, value, length, status, size] : requests) {
      const auto answer = reply(guest.send_control(type, request, value, 0, length));
      EXPECT_EQ(answer.status, status) << value;
      EXPECT_EQ(answer.data.size(), size) << value;
    }
    EXPECT_EQ(reply(guest.set_configuration(1)).status, usb_redir_success);
    EXPECT_EQ(reply(guest.set_configuration(2)).status, usb_redir_inval);
    EXPECT_EQ(reply(guest.get_alt_setting(0)).status, usb_redir_success);
    EXPECT_EQ(reply(guest.start_iso_stream(0x83)).status, usb_redir_inval);
    for (uint32_t address : {0u, 4u}) {
      const auto write = words({0x30000000, address, 0xC0DE0000 + address});
      EXPECT_EQ(reply(guest.send_control(0x40, 0, 0, 0, 12, write)).status, usb_redir_success);
    }
    EXPECT_EQ(reply(guest.send_control(0xC0, 0, 0, 4, 4)).data, words({0xC0DE0004}));
    guest.send_control(0x40, 0, 0, 0, 12, words({0x00010000, 0, 0}));

    ASSERT_TRUE(guest.run_until([&] { return guest.connects.size() == 2; }));
    EXPECT_EQ(guest.disconnects, 1);
    EXPECT_EQ(guest.connects[1].product_id, 0x4250);
    EXPECT_EQ(guest.ep_infos.at(1).type[1], usb_redir_type_bulk);
    EXPECT_EQ(guest.ep_infos.at(1).type[17], usb_redir_type_bulk);
    const auto command = words({0x4B434D44, 7, 42});  // the device-id command
    EXPECT_EQ(reply(guest.send_bulk(0x01, 12, command)).status, usb_redir_success);
    const auto response = reply(guest.send_bulk(0x81, 512));
    EXPECT_EQ(response.status, usb_redir_success);
    ASSERT_EQ(response.data.size(), 16u);  // a short packet ends the transfer
    EXPECT_EQ(std::vector<uint8_t>(response.data.begin(), response.data.begin() + 4),
              words({0x4B525350}));
    // A read the module has nothing for waits until the guest cancels it.
    const uint64_t waiting = guest.send_bulk(0x81, 16);
    guest.cancel(waiting);
    EXPECT_EQ(reply(waiting).status, usb_redir_cancelled);
    EXPECT_EQ(reply(guest.send_bulk(0x82, 16)).status, usb_redir_inval);
  }
  const auto result = server.finish(10s);
  EXPECT_EQ(result.exit_status, 0);
  std::ifstream record(folder.file("flash") + "/module.json");
  const std::string recorded(std::istreambuf_iterator<char>(record), {});
  EXPECT_NE(recorded.find("\"bytes\":8,"), std::string::npos) << recorded;  // the download
  EXPECT_NE(result.err.find("module 3-2 connected as 4255:0014\n"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("the guest side closed the connection\n"), std::string::npos)
      << result.err;
}

struct Refusal {
  std::vector<std::string> arguments;
  int exit_status;
  std::string error;  // the first line of standard error
};

TEST(UsbredirServer, EndsOnWhatItCannotServe) {
  test_support::TempDirectory folder;
  const auto two =
      folder.write_file("two.json", R"({"modules": [{"port": "1-1"}, {"port": "1-2"}]})");
  const Refusal cases[] = {
      {{"--accept-timeout", "5"}, 2, "kavro-usbredir-sim: --listen is required"},
      {{"--listen", "tcp:0", "extra"}, 2, "kavro-usbredir-sim: unexpected argument: extra"},
      {{"--listen", "tcp:0", "--colour"},
       2,
       "kavro-usbredir-sim: unknown option or missing value: --colour"},
      {{"--listen", "tcp:0", "--accept-timeout", "0"},
       2,
       "kavro-usbredir-sim: --accept-timeout needs a positive number of seconds, not '0'"},
      {{"--listen", "tcp:0", "--revision", "x"},
       2,
       "kavro-usbredir-sim: --revision needs a number, not 'x'"},
      {{"--listen", "tcp:0", "--config", two},
       2,
       "kavro-usbredir-sim: " + two + ": describes 2 modules; this server serves exactly one"},
      {{"--listen", "tcp:0", "--platform", "z80"},
       2,
       "kavro-usbredir-sim: no product has platform 'z80' revision 0"},
      {{"--listen", "tcp:65536"}, 1, "kavro-usbredir-sim: not a port number: 65536"},
      {{"--listen", "unix:/nonexistent-folder/m.sock"},
       1,
       "kavro-usbredir-sim: cannot listen on /nonexistent-folder/m.sock: No such file or "
       "directory"},
      {{"--listen", "tcp:0", "--accept-timeout", "1"},
       1,
       "kavro-usbredir-sim 1-1: no connection within 1 s"},
  };
  for (const auto& test : cases) {
    const auto result = test_support::run_process(KAVRO_USBREDIR_SIM_PATH, test.arguments);
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), test.error);
    EXPECT_EQ(result.exit_status, test.exit_status) << test.error;
  }
}

}  // namespace
}  // namespace realusb_test
