#include <gtest/gtest.h>

#include <string>

#include "firmware/archive.h"
#include "firmware/bringup_script.h"
#include "flash/session.h"
#include "tests/flash/flash_test_support.h"
#include "usb/device_manager.h"

namespace flash_test {
namespace {

constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";

std::string red_line(const std::string& text) {
  return kRed + text + kReset + "\n";
}

std::string printed_error(int error, int sub_error) {
  testing::internal::CaptureStdout();
  kavro_flash_print_error_string(error, sub_error);
  return testing::internal::GetCapturedStdout();
}

// Sessions on a bus without modules: the thread fails at once (no platform, no base archive),
// which is all these tests need of it.
class SessionLifecycleTest : public FlashSessionTest {
 protected:
  void SetUp() override {
    FlashSessionTest::SetUp();
    start_bus({});
  }

  int init(flash_session** session, int slot, const char* public_key = nullptr,
           const char* private_key = nullptr) {
    return kavro_flash_init(session, nullptr, nullptr, "", nullptr, &dm_, slot, 0, 0, public_key,
                            private_key);
  }

  // A key file pair that init must refuse: the handle stays empty and the slot stays free.
  void expect_key_refused(const char* public_key, const std::string& private_key) {
    flash_session* session = nullptr;
    EXPECT_EQ(init(&session, 3, public_key, private_key.c_str()), -20);
    EXPECT_EQ(session, nullptr);
    ASSERT_EQ(init(&session, 3), 0);
    kavro_flash_destroy(&session);
  }

  std::string write_public_key(size_t size) {
    return write_file("public-" + std::to_string(size) + ".bin", std::string(size, 'k'));
  }

  std::string write_private_key(const std::string& name, EVP_PKEY* key) {
    const std::string path = folder_.file(name);
    test_support::write_private_key_pem(path, key);
    return path;
  }
};

TEST_F(SessionLifecycleTest, InitRefusesBadArgumentsWithoutAllocating) {
  flash_session* session = nullptr;
  dm_state* no_dm = nullptr;
  EXPECT_EQ(init(&session, 64), -1);
  EXPECT_EQ(init(&session, -1), -1);
  EXPECT_EQ(init(nullptr, 0), -1);
  EXPECT_EQ(kavro_flash_init(&session, nullptr, nullptr, nullptr, nullptr, &dm_, 0, 0, 0, nullptr,
                             nullptr),
            -1);
  EXPECT_EQ(
      kavro_flash_init(&session, nullptr, nullptr, "", nullptr, nullptr, 0, 0, 0, nullptr, nullptr),
      -1);
  EXPECT_EQ(
      kavro_flash_init(&session, nullptr, nullptr, "", nullptr, &no_dm, 0, 0, 0, nullptr, nullptr),
      -1);
  EXPECT_EQ(session, nullptr);
}

TEST_F(SessionLifecycleTest, OneSessionPerSlotUntilDestroyed) {
  flash_session* first = nullptr;
  ASSERT_EQ(init(&first, 5), 0);
  ASSERT_NE(first, nullptr);
  flash_session* second = nullptr;
  EXPECT_EQ(init(&second, 5), -7);
  EXPECT_EQ(second, nullptr);

  // Ended but not destroyed still holds the slot.
  join_session_thread(*first);
  EXPECT_EQ(status_of(&first).state, FLASH_STATE_FAILED);
  EXPECT_EQ(init(&second, 5), -7);

  flash_session* other_slot = nullptr;
  EXPECT_EQ(init(&other_slot, 6), 0);
  kavro_flash_destroy(&other_slot);

  kavro_flash_destroy(&first);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(init(&second, 5), 0);
  kavro_flash_destroy(&second);
}

TEST_F(SessionLifecycleTest, KeyFilesThatCannotBeUsedAreRefused) {
  const SecureBootKeys& keys = secure_boot_keys();
  const std::string good_public = write_public_key(512);
  const char* good = good_public.c_str();

  expect_key_refused(good, write_file("not-a-key.pem", "-----BEGIN NOTHING-----\n"));
  expect_key_refused(good, folder_.file("missing.pem"));
  expect_key_refused(write_public_key(511).c_str(), keys.private_key_file);
  expect_key_refused(write_public_key(513).c_str(), keys.private_key_file);
  expect_key_refused(folder_.file("missing.pub").c_str(), keys.private_key_file);
  expect_key_refused(nullptr, keys.private_key_file);

  const test_support::KeyPtr ec_key = test_support::make_ec_key();
  expect_key_refused(good, write_private_key("ec.pem", ec_key.get()));
  const test_support::KeyPtr broken = test_support::make_inconsistent_rsa_copy(keys.key.get());
  expect_key_refused(good, write_private_key("inconsistent.pem", broken.get()));

  // A pass phrase would have to be typed on a terminal that a session thread does not have;
  // the key is refused instead of waiting for one.
  const std::string encrypted = folder_.file("encrypted.pem");
  test_support::write_encrypted_private_key_pem(encrypted, keys.key.get(), "secret");
  expect_key_refused(good, encrypted);

  // A 4096-bit key's signatures are 512 bytes and do not fit the 256-byte signature field.
  const test_support::KeyPtr large = test_support::make_rsa_key(4096);
  expect_key_refused(good, write_private_key("rsa4096.pem", large.get()));
}

TEST_F(SessionLifecycleTest, WithoutPrivateKeyThePublicKeyFileIsNotOpened) {
  flash_session* session = nullptr;
  const std::string missing = folder_.file("never-read.pub");
  EXPECT_EQ(init(&session, 3, missing.c_str(), nullptr), 0);
  kavro_flash_destroy(&session);
  EXPECT_EQ(init(&session, 3, missing.c_str(), ""), 0);
  kavro_flash_destroy(&session);
}

TEST_F(SessionLifecycleTest, GetStatusWritesOnlyWhatIsAskedFor) {
  flash_session* session = nullptr;
  ASSERT_EQ(init(&session, 0), 0);
  join_session_thread(*session);
  uint32_t state = 99;
  EXPECT_EQ(kavro_flash_get_status(&session, &state, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(state, FLASH_STATE_FAILED);

  uint32_t error = 0;
  uint32_t sub_error = 0;
  uint32_t progress = 77;
  EXPECT_EQ(kavro_flash_get_status(&session, &state, &error, &sub_error, &progress), 0);
  EXPECT_EQ(static_cast<int>(error), -3);
  EXPECT_EQ(static_cast<int>(sub_error), ARCHIVE_ERR_PLATFORM);
  EXPECT_EQ(progress, 0u);

  EXPECT_EQ(kavro_flash_get_status(&session, nullptr, &error, nullptr, nullptr), -1);
  EXPECT_EQ(kavro_flash_get_status(nullptr, &state, nullptr, nullptr, nullptr), -1);
  flash_session* empty = nullptr;
  EXPECT_EQ(kavro_flash_get_status(&empty, &state, nullptr, nullptr, nullptr), -1);
  kavro_flash_destroy(&session);
}

TEST_F(SessionLifecycleTest, DestroyIsSafeOnEmptyHandlesAndTwice) {
  kavro_flash_destroy(nullptr);
  flash_session* session = nullptr;
  kavro_flash_destroy(&session);
  ASSERT_EQ(init(&session, 0), 0);
  kavro_flash_destroy(&session);
  EXPECT_EQ(session, nullptr);
  kavro_flash_destroy(&session);
}

TEST(SessionErrorText, EveryCodeHasItsText) {
  const std::pair<int, const char*> texts[] = {
      {-1, "Invalid parameters specified"},
      {-2, "Insufficient memory available"},
      {-3, "Error with archive:"},
      {-4, "Error with USB device manager:"},
      {-5, "Error with settings:"},
      {-6, "Error with ADS, see sub error ID"},
      {-7, "Trying to start a new session with existion device id"},
      {-8, "Invalid command in ads data"},
      {-9, "Could not find flash bootloader in tool"},
      {-10, "Missing partition in firmware image"},
      {-11, "Invalid file size in firmware"},
      {-12, "Base archive is missing required base partitions"},
      {-13, "OTA archive is missing required OTA partitions"},
      {-14, "Base archive is missing required OTA partitions"},
      {-15, "Timeout switching device from HW USB to SW USB mode"},
      {-16, "Libusb error:"},
      {-17, "Platform mismatch between firmware, settings or device"},
      {-18, "Failed to update embedded firmware parameter, see sub error ID"},
      {-19, "Invalid platform"},
      {-20, "Failed to read or parse private key file"},
      {-21, "Error generating signature"},
      {-22, "Error returned from device:"},
  };
  for (const auto& [code, text] : texts) {
    EXPECT_STREQ(kavro_flash_error_string(code), text) << code;
  }
  for (const int code : {0, 1, -23}) {
    EXPECT_STREQ(kavro_flash_error_string(code), "Unknown error") << code;
  }
}

TEST(SessionErrorText, DeviceStatusIsExplainedOnASecondRedLine) {
  const std::string first = red_line("Error returned from device:");
  const std::pair<int, const char*> statuses[] = {
      {1, "Invalid parameter sent to device"},
      {2, "Overflow on device"},
      {3, "Failed to set the partition table details"},
      {4, "Partition size is invalid, possibly too large to fit"},
      {5, "CRC mismatch on received data"},
      {6, "Invalid partition setup request"},
      {7, "Write to flash memory failed"},
      {8, "Out of memory on device"},
      {9, "Data sent to device did not match requested size"},
      {10, "Failed to erase the partition"},
      {0, "Unknown error"},
      {11, "Unknown error"},
  };
  for (const auto& [status, text] : statuses) {
    EXPECT_EQ(printed_error(-22, status), first + red_line(text)) << status;
  }
}

TEST(SessionErrorText, ModuleErrorsAreExplainedByTheirModule) {
  EXPECT_EQ(printed_error(-3, -29),
            red_line("Error with archive:") + red_line("Signature check failed"));
  EXPECT_EQ(printed_error(-4, 0),
            red_line("Error with USB device manager:") + red_line(kavro_dm_error_string(0)));
  EXPECT_EQ(printed_error(-5, -7),
            red_line("Error with settings:") + red_line("Missing settings object in json data"));
  EXPECT_EQ(printed_error(-6, -3),
            red_line("Error with ADS, see sub error ID") + red_line(kavro_ads_error_string(-3)));
  EXPECT_EQ(printed_error(-16, 5),
            red_line("Libusb error:") + kRed + "Windows standard error code: 5" + kReset + "\n");
  EXPECT_EQ(printed_error(-18, 3),
            red_line("Failed to update embedded firmware parameter, see sub error ID"));
  EXPECT_EQ(printed_error(-23, 0), red_line("Unknown error"));
}

}  // namespace
}  // namespace flash_test
