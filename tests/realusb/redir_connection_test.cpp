#include "sim/usbredir/redir_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "sim/usbredir/descriptors.h"
#include "sim/usbredir/wake_event.h"
#include "tests/realusb/guest_side.h"
#include "tests/realusb/scripted_bus.h"

namespace realusb_test {
namespace {

using sim::redir::RedirConnection;
using sim::redir::UniqueFd;

constexpr uint16_t kCv22Pid = 0x0013;
constexpr uint16_t kSoftwarePid = 0x4250;
const std::vector<uint8_t> kResponse = {0x50, 0x53, 0x52, 0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

class RedirConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    connection_ = std::make_unique<RedirConnection>(UniqueFd(fds[0]), bus_, log_);
    guest_ = std::make_unique<GuestSide>(UniqueFd(fds[1]));
    server_ = std::thread([this] { end_ = connection_->serve(stop_.fd()); });
  }

  void TearDown() override {
    stop_.signal();
    server_.join();
  }

  // Attaches a cv22 boot ROM and waits until the guest has been told about it.
  void connect_module(uint16_t pid = kCv22Pid) {
    const size_t before = guest_->connects.size();
    bus_->attach(pid);
    ASSERT_TRUE(guest_->run_until([&] { return guest_->connects.size() > before; }));
  }

  const ControlReply& control(uint8_t requesttype, uint8_t request, uint16_t value, uint16_t index,
                              uint16_t length, std::vector<uint8_t> out = {}) {
    const uint64_t id = guest_->send_control(requesttype, request, value, index, length, out);
    EXPECT_TRUE(guest_->run_until([&] { return guest_->control_replies.contains(id); }));
    return guest_->control_replies[id];
  }

  const BulkReply& bulk(uint8_t endpoint, uint32_t length, std::vector<uint8_t> out = {}) {
    const uint64_t id = guest_->send_bulk(endpoint, length, out);
    EXPECT_TRUE(guest_->run_until([&] { return guest_->bulk_replies.contains(id); }));
    return guest_->bulk_replies[id];
  }

  sim::redir::Logger log_{"test", false};
  std::shared_ptr<ScriptedBus> bus_ = std::make_shared<ScriptedBus>();
  std::unique_ptr<RedirConnection> connection_;
  std::unique_ptr<GuestSide> guest_;
  sim::redir::WakeEvent stop_;
  std::thread server_;
  RedirConnection::End end_ = RedirConnection::End::Failed;
};

TEST_F(RedirConnectionTest, AnnouncesTheModuleAsAHighSpeedVendorDevice) {
  connect_module();
  ASSERT_EQ(guest_->interface_infos.size(), 1u);
  const auto& interfaces = guest_->interface_infos[0];
  EXPECT_EQ(interfaces.interface_count, 1u);
  EXPECT_EQ(interfaces.interface[0], 0);
  EXPECT_EQ(interfaces.interface_class[0], 0xff);

  ASSERT_EQ(guest_->ep_infos.size(), 1u);
  const auto& endpoints = guest_->ep_infos[0];
  EXPECT_EQ(endpoints.type[0], usb_redir_type_control);
  EXPECT_EQ(endpoints.type[16], usb_redir_type_control);
  EXPECT_EQ(endpoints.type[1], usb_redir_type_bulk);   // 0x01
  EXPECT_EQ(endpoints.type[17], usb_redir_type_bulk);  // 0x81
  EXPECT_EQ(endpoints.max_packet_size[1], 512);
  EXPECT_EQ(endpoints.max_packet_size[17], 512);
  EXPECT_EQ(endpoints.max_packet_size[0], 64);
  for (int index : {2, 3, 15, 18, 31}) {
    EXPECT_EQ(endpoints.type[index], usb_redir_type_invalid) << index;
  }

  const auto& connect = guest_->connects[0];
  EXPECT_EQ(connect.speed, usb_redir_speed_high);
  EXPECT_EQ(connect.vendor_id, 0x4255);
  EXPECT_EQ(connect.product_id, kCv22Pid);
  EXPECT_EQ(connect.device_version_bcd, 0x0100);
}

TEST_F(RedirConnectionTest, AnnouncesAModuleThatWasThereBeforeTheGuestConnected) {
  bus_->attach(kCv22Pid);
  ASSERT_TRUE(guest_->run_until([&] { return !guest_->connects.empty(); }));
  EXPECT_EQ(guest_->connects[0].product_id, kCv22Pid);
}

TEST_F(RedirConnectionTest, AnnouncesNothingWhileNoModuleIsAttached) {
  // The server handles the guest's hello before this request, so an announcement would arrive
  // before the answer.
  ASSERT_TRUE(guest_->run_until([&] { return guest_->has_peer_caps(); }));
  const uint64_t id = guest_->get_alt_setting(0);
  ASSERT_TRUE(guest_->run_until([&] { return guest_->alt_setting_statuses.contains(id); }));
  EXPECT_TRUE(guest_->connects.empty());
  EXPECT_TRUE(guest_->interface_infos.empty());
}

TEST_F(RedirConnectionTest, AnswersDescriptorRequestsItselfWithoutBotheringTheModule) {
  connect_module();
  const auto& device = control(0x80, 6, 0x0100, 0, 18);
  EXPECT_EQ(device.header.status, usb_redir_success);
  EXPECT_EQ(device.data, (std::vector<uint8_t>{0x12, 0x01, 0x00, 0x02, 0, 0, 0, 64, 0x55, 0x42,
                                               0x13, 0x00, 0x00, 0x01, 1, 2, 0, 1}));
  EXPECT_EQ(device.header.length, 18);

  const auto& short_read = control(0x80, 6, 0x0100, 0, 8);
  EXPECT_EQ(short_read.data.size(), 8u);
  EXPECT_EQ(short_read.header.length, 8);

  const auto& configuration = control(0x80, 6, 0x0200, 0, 255);
  EXPECT_EQ(configuration.data, (std::vector<uint8_t>{9, 2, 32,   0, 1,    1,    0, 0x80, 50,  //
                                                      9, 4, 0,    0, 2,    0xff, 0, 0,    0,   //
                                                      7, 5, 0x01, 2, 0x00, 0x02, 0,            //
                                                      7, 5, 0x81, 2, 0x00, 0x02, 0}));

  const auto& languages = control(0x80, 6, 0x0300, 0, 255);
  EXPECT_EQ(languages.data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));

  const auto& qualifier = control(0x80, 6, 0x0600, 0, 10);
  EXPECT_EQ(qualifier.data, (std::vector<uint8_t>{10, 6, 0x00, 0x02, 0, 0, 0, 64, 1, 0}));

  EXPECT_TRUE(bus_->control_calls().empty());
}

TEST_F(RedirConnectionTest, StallsDescriptorsTheModuleDoesNotHave) {
  connect_module();
  EXPECT_EQ(control(0x80, 6, 0x0F00, 0, 5).header.status, usb_redir_stall);  // BOS
  EXPECT_EQ(control(0x80, 6, 0x0304, 0, 255).header.status, usb_redir_stall);
  EXPECT_EQ(control(0x00, 3, 1, 0, 0).header.status, usb_redir_stall);  // SET_FEATURE
  EXPECT_TRUE(bus_->control_calls().empty());
}

TEST_F(RedirConnectionTest, CarriesVendorRequestsToTheModule) {
  connect_module();
  const auto& read = control(0xC0, 0, 0xDFFE, 0x0818, 4);
  EXPECT_EQ(read.header.status, usb_redir_success);
  EXPECT_EQ(read.header.length, 4);
  EXPECT_EQ(read.data, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));

  const std::vector<uint8_t> write_block = {0x00, 0x00, 0x00, 0x30, 0xDC, 0x00,
                                            0x17, 0xEC, 0x00, 0x00, 0x10, 0x45};
  const auto& write = control(0x40, 0, 0, 0, 12, write_block);
  EXPECT_EQ(write.header.status, usb_redir_success);
  EXPECT_EQ(write.header.length, 12);  // the accepted length, and no data
  EXPECT_TRUE(write.data.empty());

  const auto calls = bus_->control_calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].setup.bmRequestType, 0xC0);
  EXPECT_EQ(calls[0].setup.wValue, 0xDFFE);
  EXPECT_EQ(calls[0].setup.wIndex, 0x0818);
  EXPECT_EQ(calls[0].setup.wLength, 4);
  EXPECT_EQ(calls[1].out, write_block);
}

TEST_F(RedirConnectionTest, CarriesBulkTransfersBothWays) {
  connect_module(kSoftwarePid);
  const std::vector<uint8_t> command = {0x44, 0x4D, 0x43, 0x4B, 0x06, 0, 0, 0};
  const auto& out = bulk(0x01, 8, command);
  EXPECT_EQ(out.header.status, usb_redir_success);
  EXPECT_EQ(out.length(), 8u);
  EXPECT_TRUE(out.data.empty());

  bus_->queue_response(kResponse);
  const auto& in = bulk(0x81, 512);
  EXPECT_EQ(in.header.status, usb_redir_success);
  EXPECT_EQ(in.length(), 16u);  // a short packet ends the transfer
  EXPECT_EQ(in.data, kResponse);

  EXPECT_EQ(bus_->bulk_out(), std::vector<std::vector<uint8_t>>{command});
}

TEST_F(RedirConnectionTest, CarriesBulkTransfersLongerThanSixtyFourKilobytes) {
  connect_module(kSoftwarePid);
  std::vector<uint8_t> block(0x204020);
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<uint8_t>(i * 7);
  }
  const auto& out = bulk(0x01, static_cast<uint32_t>(block.size()), block);
  EXPECT_EQ(out.header.status, usb_redir_success);
  EXPECT_EQ(out.length(), block.size());
  ASSERT_EQ(bus_->bulk_out().size(), 1u);
  EXPECT_EQ(bus_->bulk_out()[0], block);
}

TEST_F(RedirConnectionTest, CancelsATransferTheModuleNeverAnswers) {
  connect_module(kSoftwarePid);
  const uint64_t id = guest_->send_bulk(0x81, 16);
  ASSERT_TRUE(guest_->flush());
  ASSERT_TRUE(bus_->wait_for_waiting_in(std::chrono::seconds(5)));
  guest_->cancel(id);
  ASSERT_TRUE(guest_->run_until([&] { return guest_->bulk_replies.contains(id); }));
  EXPECT_EQ(guest_->bulk_replies[id].header.status, usb_redir_cancelled);
  EXPECT_TRUE(guest_->bulk_replies[id].data.empty());

  // The endpoint is still usable afterwards.
  bus_->queue_response(kResponse);
  EXPECT_EQ(bulk(0x81, 16).data, kResponse);
}

TEST_F(RedirConnectionTest, CancelsATransferStillWaitingBehindAnother) {
  connect_module(kSoftwarePid);
  const uint64_t first = guest_->send_bulk(0x81, 16);
  const uint64_t second = guest_->send_bulk(0x81, 16);
  guest_->cancel(second);
  ASSERT_TRUE(guest_->run_until([&] { return guest_->bulk_replies.contains(second); }));
  EXPECT_EQ(guest_->bulk_replies[second].header.status, usb_redir_cancelled);
  bus_->queue_response(kResponse);
  ASSERT_TRUE(guest_->run_until([&] { return guest_->bulk_replies.contains(first); }));
  EXPECT_EQ(guest_->bulk_replies[first].data, kResponse);
}

TEST_F(RedirConnectionTest, RejectsTransfersForEndpointsTheModuleDoesNotHave) {
  connect_module(kSoftwarePid);
  EXPECT_EQ(bulk(0x82, 16).header.status, usb_redir_inval);
  EXPECT_EQ(bulk(0x02, 4, {1, 2, 3, 4}).header.status, usb_redir_inval);
}

TEST_F(RedirConnectionTest, ReconnectsUnderTheNewProductIdAfterTheGuestLetGo) {
  connect_module(kCv22Pid);
  bus_->detach();
  bus_->attach(kSoftwarePid);
  ASSERT_TRUE(guest_->run_until([&] { return guest_->connects.size() == 2; }));
  EXPECT_EQ(guest_->events,
            (std::vector<uint8_t>{usb_redir_device_connect, usb_redir_device_disconnect,
                                  usb_redir_device_connect}));
  EXPECT_EQ(guest_->connects[1].product_id, kSoftwarePid);
  EXPECT_EQ(guest_->interface_infos.size(), 2u);
  EXPECT_EQ(guest_->ep_infos.size(), 2u);

  const auto& device = control(0x80, 6, 0x0100, 0, 18);
  EXPECT_EQ(device.data[10], 0x50);
  EXPECT_EQ(device.data[11], 0x42);
}

TEST_F(RedirConnectionTest, AnswersTransfersUnderWayWhenTheModuleLeaves) {
  connect_module(kSoftwarePid);
  const uint64_t id = guest_->send_bulk(0x81, 16);
  ASSERT_TRUE(guest_->flush());
  ASSERT_TRUE(bus_->wait_for_waiting_in(std::chrono::seconds(5)));
  bus_->detach();
  ASSERT_TRUE(guest_->run_until([&] { return guest_->disconnects == 1; }));
  ASSERT_TRUE(guest_->bulk_replies.contains(id));
  EXPECT_NE(guest_->bulk_replies[id].header.status, usb_redir_success);

  // Nothing comes back, and a late transfer is refused rather than left hanging.
  const auto& late = bulk(0x01, 4, {1, 2, 3, 4});
  EXPECT_EQ(late.header.status, usb_redir_ioerror);
  EXPECT_EQ(guest_->connects.size(), 1u);
}

TEST_F(RedirConnectionTest, AnswersConfigurationAndInterfaceRequests) {
  connect_module();
  const uint64_t set = guest_->set_configuration(1);
  const uint64_t bad = guest_->set_configuration(2);
  const uint64_t alt = guest_->get_alt_setting(0);
  const uint64_t iso = guest_->start_iso_stream(0x83);
  ASSERT_TRUE(guest_->run_until([&] {
    return guest_->configuration_statuses.size() == 2 && guest_->alt_setting_statuses.size() == 1 &&
           guest_->iso_stream_statuses.size() == 1;
  }));
  EXPECT_EQ(guest_->configuration_statuses[set].status, usb_redir_success);
  EXPECT_EQ(guest_->configuration_statuses[set].configuration, 1);
  EXPECT_EQ(guest_->configuration_statuses[bad].status, usb_redir_inval);
  EXPECT_EQ(guest_->alt_setting_statuses[alt].status, usb_redir_success);
  EXPECT_EQ(guest_->alt_setting_statuses[alt].alt, 0);
  EXPECT_EQ(guest_->iso_stream_statuses[iso].status, usb_redir_inval);
}

TEST(RedirConnectionEnd, EndsCleanlyWhenTheGuestSideClosesWithAnAnswerOutstanding) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  sim::redir::Logger log("test", false);
  auto bus = std::make_shared<ScriptedBus>();
  bus->attach(kSoftwarePid);
  RedirConnection connection(UniqueFd(fds[0]), bus, log);
  GuestSide guest{UniqueFd(fds[1])};
  sim::redir::WakeEvent stop;
  RedirConnection::End end = RedirConnection::End::Failed;
  std::thread server([&] { end = connection.serve(stop.fd()); });
  ASSERT_TRUE(guest.run_until([&] { return !guest.connects.empty(); }));
  guest.send_bulk(0x81, 16);
  ASSERT_TRUE(guest.flush());
  guest.close();
  bus->queue_response(kResponse);
  server.join();
  EXPECT_EQ(end, RedirConnection::End::PeerClosed);
}

TEST(RedirConnectionEnd, EndsWhenTheGuestSideCloses) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  sim::redir::Logger log("test", false);
  auto bus = std::make_shared<ScriptedBus>();
  bus->attach(kCv22Pid);
  RedirConnection connection(UniqueFd(fds[0]), bus, log);
  GuestSide guest{UniqueFd(fds[1])};
  sim::redir::WakeEvent stop;
  RedirConnection::End end = RedirConnection::End::Failed;
  std::thread server([&] { end = connection.serve(stop.fd()); });
  ASSERT_TRUE(guest.run_until([&] { return !guest.connects.empty(); }));
  guest.close();
  server.join();
  EXPECT_EQ(end, RedirConnection::End::PeerClosed);
}

}  // namespace
}  // namespace realusb_test
