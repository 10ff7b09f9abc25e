#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "usb/device_manager.h"
#include "usb/libusb_bus.h"
#include "usb/process_bus.h"

// Real modules cannot be attached here; these tests show that the libusb bus starts, lists,
// watches and stops cleanly on whatever this machine has, or fails with a clear message.
namespace {

class LibusbBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::internal::CaptureStderr();
    bus = usb::make_process_bus();
    const std::string printed = testing::internal::GetCapturedStderr();
    if (bus == nullptr) {
      EXPECT_TRUE(printed.starts_with("Could not initialize the USB library: ")) << printed;
      GTEST_SKIP() << "libusb is not usable here: " << printed;
    }
    EXPECT_EQ(printed, "");
  }

  std::shared_ptr<usb::Bus> bus;
};

TEST_F(LibusbBusTest, OpeningADeviceThatIsNotThereFails) {
  EXPECT_EQ(bus->open({0x4255, 0x0013, "250-9.9.9"}), nullptr);
}

TEST_F(LibusbBusTest, WatchNotifiesAtStartAndStopsCleanly) {
  std::mutex mutex;
  std::condition_variable notified;
  int calls = 0;
  bus->watch([&] {
    std::lock_guard guard(mutex);
    ++calls;
    notified.notify_all();
  });
  {
    std::unique_lock guard(mutex);
    EXPECT_TRUE(notified.wait_for(guard, std::chrono::seconds(10), [&] { return calls > 0; }));
  }
  bus->watch({});
}

TEST_F(LibusbBusTest, DeviceManagerStartsAndStopsOverIt) {
  dm_state* dm = nullptr;
  ASSERT_EQ(kavro_dm_init(&dm, bus), 0);
  uint8_t* list = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(kavro_dm_device_list_get(&dm, &list, &count, 0), 0);
  kavro_dm_device_list_free(&list);
  kavro_dm_destroy(&dm);
  EXPECT_EQ(dm, nullptr);
}

TEST(LibusbBusCreate, ReportsSuccessOrTheReason) {
  std::string error;
  const auto bus = usb::LibusbBus::create(error);
  EXPECT_EQ(bus == nullptr, !error.empty()) << error;
}

}  // namespace
