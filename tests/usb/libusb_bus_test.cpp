#include <gtest/gtest.h>

#include "usb/device_manager.h"
#include "usb/libusb_context.h"
#include "usb/process_bus.h"

// Real modules cannot be attached here: the libusb bus starts, lists, watches and stops on
// whatever this machine has, or fails with a clear message.
namespace {

TEST(LibusbBus, DeviceManagerStartsAndStopsOverIt) {
  testing::internal::CaptureStderr();
  const std::shared_ptr<usb::Bus> bus = usb::make_process_bus();
  const std::string printed = testing::internal::GetCapturedStderr();
  if (bus == nullptr) {
    GTEST_SKIP() << printed;
  }
  EXPECT_EQ(bus->open({0x4255, 0x0013, "250-9.9.9"}), nullptr);
  dm_state* dm = nullptr;
  ASSERT_EQ(kavro_dm_init(&dm, bus), 0);
  uint8_t* list = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(kavro_dm_device_list_get(&dm, &list, &count, 0), 0);
  kavro_dm_device_list_free(&list);
  kavro_dm_destroy(&dm);
}

TEST(LibusbBus, TranslatesLibusbResults) {
  EXPECT_EQ(usb::bus_result(LIBUSB_ERROR_TIMEOUT), usb::kTimeout);
  EXPECT_EQ(usb::bus_result(LIBUSB_ERROR_NO_DEVICE), usb::kDisconnected);
  EXPECT_EQ(usb::bus_result(LIBUSB_ERROR_PIPE), usb::kError);
}

}  // namespace
