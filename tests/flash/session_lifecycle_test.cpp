#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>

#include "tests/flash/flash_test_support.h"
#include "usb/device_manager.h"

// What init refuses, stopping and destroying sessions, and what no whole session reaches:
// script commands no script holds, and the codes' numbers and texts.
namespace flash_test {
namespace {

class SessionLifecycleTest : public FlashSessionTest {
 protected:
  int init(flash_session** session, int slot, const std::string& public_key = "",
           const std::string& private_key = "") {
    return kavro_flash_init(session, nullptr, nullptr, "", nullptr, &dm_, slot, 0, 0,
                            public_key.empty() ? nullptr : public_key.c_str(), private_key.c_str());
  }
};

// A refused init leaves the handle empty and the slot free. Key files the shared key check
// refuses are refused (the command-line tests go through each reason). A slot holds one
// session until it is destroyed, even after its thread has ended.
TEST_F(SessionLifecycleTest, InitRefusesBadArgumentsUnusableKeysAndTakenSlots) {
  start_bus({});
  const SecureBootKeys& keys = secure_boot_keys();
  const std::string pub = keys.public_key_file;
  flash_session* session = nullptr;
  flash_session* first = nullptr;
  constexpr int kInvalid = FLASH_ERR_INVALID_PARAMETERS;
  const struct {
    const char* what;
    int result;
    int expected;
  } rows[] = {
      {"slot 64", init(&session, 64), kInvalid},
      {"slot -1", init(&session, -1), kInvalid},
      {"no handle", init(nullptr, 0), kInvalid},
      {"no device manager", kavro_flash_init(&session, "", "", "", "", nullptr, 0, 0, 0, "", ""),
       kInvalid},
      {"no base file", kavro_flash_init(&session, "", "", nullptr, "", &dm_, 0, 0, 0, "", ""),
       kInvalid},
      {"missing key", init(&session, 3, pub, folder_.file("missing.pem")), FLASH_ERR_PRIVATE_KEY},
      {"short public key",
       init(&session, 3, folder_.write_file("short", "k"), keys.private_key_file),
       FLASH_ERR_PRIVATE_KEY},
      {"no private key: the public key file is not read", init(&first, 3, "missing.pub"), 0},
      {"slot taken by a session", init(&session, 3), FLASH_ERR_SESSION_EXISTS},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.result, row.expected) << row.what;
  }
  EXPECT_EQ(session, nullptr);
  join_session_thread(*first);
  EXPECT_EQ(init(&session, 3), FLASH_ERR_SESSION_EXISTS);
  EXPECT_EQ(kavro_flash_get_status(&first, nullptr, nullptr, nullptr, nullptr), kInvalid);
  EXPECT_EQ(kavro_flash_get_status(&session, nullptr, nullptr, nullptr, nullptr), kInvalid);
  EXPECT_EQ(kavro_flash_get_status(nullptr, nullptr, nullptr, nullptr, nullptr), kInvalid);
  kavro_flash_destroy(&first);
  kavro_flash_destroy(nullptr);
  EXPECT_EQ(init(&session, 3), 0);
  kavro_flash_destroy(&session);
}

// A stop while an image streams ends it after the piece in hand: a slow module has taken one
// block of a rootfs of three when the stop comes, and neither the rest nor the table follows.
TEST_F(SessionLifecycleTest, StopWhileAnImageStreams) {
  Firmware firmware;
  firmware.images["rootfs"].bytes = patterned_bytes(3 * 2113568, 11);
  sim::ModuleConfig config = module_config();
  config.timing.flash_bytes_per_second = 2 << 20;
  start_bus({config});
  SessionOptions options = options_for(Firmware());
  options.ota_file = firmware.write_sparse_ota(folder_.file("ota.tar"), 3 * 2113568);
  flash_session* session = start_session(options);
  ASSERT_TRUE(sim_->wait_until(
      [this] {
        return module().flash().images.count("rfa") && module().flash().images.at("rfa").blocks > 0;
      },
      std::chrono::seconds(60)));
  session->stop.request();
  const SessionStatus status = finish_session(session);
  EXPECT_EQ(std::pair(status.state, status.error), std::pair(FLASH_STATE_SOFTWARE, 0));
  EXPECT_LT(module().flash().images.at("rfa").blocks, 3u);
  EXPECT_FALSE(module().flash().ptb_written);
}

// A pause of 2^31 microseconds or more is that many unsigned microseconds (over half an hour),
// yet destroying the session ends it at once.
TEST_F(SessionLifecycleTest, DestroyEndsALongScriptPause) {
  EXPECT_EQ(usleep_pause_length(INT32_MIN), std::chrono::milliseconds(2147483));
  start_bus();
  SessionOptions options = options_for(Firmware());
  options.ads_file = folder_.write_file("pause.txt", "write 0xdffe0800,0x1\nusleep 2147483648\n");
  start_session(options);
  ASSERT_TRUE(sim_->wait_until([this] { return module().peek(0xDFFE0800) == 1; },
                               std::chrono::seconds(30)));
  kavro_flash_destroy(&sessions_.back());
  EXPECT_EQ(module().downloaded_bootloader().bytes, 0u);
}

// Script commands a built-in or parsed script never holds.
TEST_F(SessionLifecycleTest, ScriptThatCannotBeReplayed) {
  flash_session session;
  EXPECT_EQ(replay_script(session, [](script_command& next) { return next.type = 9, 0; }), -1);
  EXPECT_EQ(std::pair(session.error.load(), session.sub_error.load()),
            std::pair(FLASH_ERR_INVALID_ADS_COMMAND, 0));
  EXPECT_EQ(replay_script(session, [](script_command&) { return -2; }), -1);
  EXPECT_EQ(std::pair(session.error.load(), session.sub_error.load()),
            std::pair(FLASH_ERR_ADS, -2));
}

// Scripts match these texts: every code of the device manager and of the session, and every
// status word of the module, is pinned to its number and to its own text, found by its name.
TEST(ErrorTexts, EveryCodeHasItsNumberAndItsText) {
  using Text = const char* (*)(int);
  const Text dm = kavro_dm_error_string;
  const Text flash = kavro_flash_error_string;
  const Text device = kavro_flash_device_status_string;
  const struct {
    Text text;
    int code;
    int number;
    const char* expected;
  } rows[] = {
      {dm, DM_ERR_INVALID_PARAMETERS, -1, "Invalid parameters specified"},
      {dm, DM_ERR_NO_MEMORY, -2, "Insufficient memory available"},
      {dm, DM_ERR_USB_INIT, -3, "Could not initialize the USB library"},
      {dm, DM_ERR_CONTROL_TRANSFER, -4, "Error occurred during control transfer"},
      {dm, DM_ERR_PARTIAL_TRANSFER, -5, "Error, could only transfer partial data"},
      {dm, DM_ERR_POLL_TIMEOUT, -6, "Timeout during poll"},
      {dm, DM_ERR_INVALID_COMMAND, -7, "Invalid USB command"},
      {dm, DM_ERR_WRONG_MODE, -8, "Device is not in the correct mode for this command"},
      {dm, DM_ERR_BULK_TIMEOUT, -9, "Timeout during bulk transfer"},
      {dm, DM_ERR_BULK_TRANSFER, -10, "Libusbk error during bulk transfer"},
      {dm, DM_ERR_NO_INTERFACES, -11, "Device has no interfaces specified"},
      {dm, DM_ERR_NO_ENDPOINTS, -12, "Device has no endpoints"},
      {dm, DM_ERR_RESPONSE_SIGNATURE, -13, "Invalid response signature in received data"},
      {dm, DM_ERR_DRIVER_API, -14, "Invalid driver api loaded"},
      {dm, DM_ERR_DEVICE_STATUS, -15, "Unknown error"},
      {dm, 0, 0, "Unknown error"},
      {flash, FLASH_ERR_INVALID_PARAMETERS, -1, "Invalid parameters specified"},
      {flash, FLASH_ERR_NO_MEMORY, -2, "Insufficient memory available"},
      {flash, FLASH_ERR_ARCHIVE, -3, "Error with archive:"},
      {flash, FLASH_ERR_DEVICE_MANAGER, -4, "Error with USB device manager:"},
      {flash, FLASH_ERR_SETTINGS, -5, "Error with settings:"},
      {flash, FLASH_ERR_ADS, -6, "Error with ADS, see sub error ID"},
      {flash, FLASH_ERR_SESSION_EXISTS, -7,
       "Trying to start a new session with existion device id"},
      {flash, FLASH_ERR_INVALID_ADS_COMMAND, -8, "Invalid command in ads data"},
      {flash, FLASH_ERR_NO_FLASH_BOOTLOADER, -9, "Could not find flash bootloader in tool"},
      {flash, FLASH_ERR_MISSING_PARTITION, -10, "Missing partition in firmware image"},
      {flash, FLASH_ERR_INVALID_FILE_SIZE, -11, "Invalid file size in firmware"},
      {flash, FLASH_ERR_BASE_MISSING_BASE_PARTS, -12,
       "Base archive is missing required base partitions"},
      {flash, FLASH_ERR_OTA_MISSING_OTA_PARTS, -13,
       "OTA archive is missing required OTA partitions"},
      {flash, FLASH_ERR_BASE_MISSING_OTA_PARTS, -14,
       "Base archive is missing required OTA partitions"},
      {flash, FLASH_ERR_MODE_SWITCH_TIMEOUT, -15,
       "Timeout switching device from HW USB to SW USB mode"},
      {flash, FLASH_ERR_LIBUSB, -16, "Libusb error:"},
      {flash, FLASH_ERR_PLATFORM_MISMATCH, -17,
       "Platform mismatch between firmware, settings or device"},
      {flash, FLASH_ERR_PARAMETER_UPDATE, -18,
       "Failed to update embedded firmware parameter, see sub error ID"},
      {flash, FLASH_ERR_INVALID_PLATFORM, -19, "Invalid platform"},
      {flash, FLASH_ERR_PRIVATE_KEY, -20, "Failed to read or parse private key file"},
      {flash, FLASH_ERR_SIGNATURE, -21, "Error generating signature"},
      {flash, FLASH_ERR_DEVICE_STATUS, -22, "Error returned from device:"},
      {flash, -23, -23, "Unknown error"},
      {device, SW_STATUS_OK, 0, "Unknown error"},
      {device, SW_STATUS_INVALID_PARAMETER, 1, "Invalid parameter sent to device"},
      {device, SW_STATUS_OVERFLOW, 2, "Overflow on device"},
      {device, SW_STATUS_PTB_DETAILS_FAILED, 3, "Failed to set the partition table details"},
      {device, SW_STATUS_PARTITION_SIZE_INVALID, 4,
       "Partition size is invalid, possibly too large to fit"},
      {device, SW_STATUS_CRC_MISMATCH, 5, "CRC mismatch on received data"},
      {device, SW_STATUS_INVALID_PARTITION_SETUP, 6, "Invalid partition setup request"},
      {device, SW_STATUS_FLASH_WRITE_FAILED, 7, "Write to flash memory failed"},
      {device, SW_STATUS_OUT_OF_MEMORY, 8, "Out of memory on device"},
      {device, SW_STATUS_SIZE_MISMATCH, 9, "Data sent to device did not match requested size"},
      {device, SW_STATUS_ERASE_FAILED, 10, "Failed to erase the partition"},
      {device, 11, 11, "Unknown error"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.code, row.number) << row.expected;
    EXPECT_STREQ(row.text(row.code), row.expected) << row.number;
  }
}

// The sub error is worded by the subsystem its error names (null: it is not worded); a pair
// prints as two red lines.
TEST(ErrorTexts, SubErrorsAreWordedByTheirSubsystem) {
  const std::tuple<int, int, const char*> rows[] = {
      {FLASH_ERR_ARCHIVE, ARCHIVE_ERR_SIGNATURE, "Signature check failed"},
      {FLASH_ERR_DEVICE_MANAGER, DM_ERR_BULK_TIMEOUT, "Timeout during bulk transfer"},
      {FLASH_ERR_SETTINGS, -7, "Missing settings object in json data"},
      {FLASH_ERR_ADS, -3, "Not found"},
      {FLASH_ERR_DEVICE_STATUS, SW_STATUS_CRC_MISMATCH, "CRC mismatch on received data"},
      {FLASH_ERR_PARAMETER_UPDATE, PARAM_UPDATE_CLOCK_OUT_OF_RANGE, nullptr},
      {FLASH_ERR_LIBUSB, 5, nullptr},
  };
  for (const auto& [error, sub_error, text] : rows) {
    EXPECT_STREQ(kavro_flash_sub_error_string(error, sub_error), text) << error;
  }
  const auto printed = [](int error, int sub_error) {
    testing::internal::CaptureStdout();
    kavro_flash_print_error_string(error, sub_error);
    return testing::internal::GetCapturedStdout();
  };
  EXPECT_EQ(printed(FLASH_ERR_ARCHIVE, ARCHIVE_ERR_SIGNATURE),
            "\033[31mError with archive:\033[0m\n\033[31mSignature check failed\033[0m\n");
  EXPECT_EQ(printed(FLASH_ERR_LIBUSB, 5),
            "\033[31mLibusb error:\033[0m\n\033[31mWindows standard error code: 5\033[0m\n");
}

}  // namespace
}  // namespace flash_test
