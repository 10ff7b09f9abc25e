// kavro-usbredir-sim as a program, with the real module simulator behind it: the boot ROM on
// endpoint 0, the jump to a downloaded flash bootloader, the module's return under the
// software-mode product ID with its bulk pair, and a command block answered through it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "tests/realusb/guest_side.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_directory.h"

namespace realusb_test {
namespace {

using namespace std::chrono_literals;

sim::redir::UniqueFd connect_loopback(const std::string& listening) {
  const std::string prefix = "listening on tcp:127.0.0.1:";
  EXPECT_TRUE(listening.starts_with(prefix)) << listening;
  sim::redir::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(listening.substr(prefix.size()))));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int result = ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  EXPECT_TRUE(result == 0 || errno == EINPROGRESS);
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
  const auto config = folder.write_file(
      "module.json", R"({"modules": [{"port": "3-2", "platform": "cv25", "bootloader_size": 8}]})");
  test_support::ChildProcess server(KAVRO_USBREDIR_SIM_PATH,
                                    {"--listen", "tcp:0", "--config", config});
  {
    GuestSide guest(connect_loopback(server.read_line(10s).value_or("")));
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
  }
  const auto result = server.finish(10s);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_NE(result.err.find("module 3-2 connected as 4255:0014\n"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("the guest side closed the connection\n"), std::string::npos)
      << result.err;
}

}  // namespace
}  // namespace realusb_test
