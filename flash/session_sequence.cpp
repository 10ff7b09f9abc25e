// The session thread's sequence: prepare, bring up, switch to software mode, write the flash.

#include <chrono>
#include <exception>
#include <string>
#include <string_view>

#include "common/console.h"
#include "firmware/archive.h"
#include "firmware/bringup_script.h"
#include "firmware/settings.h"
#include "flash/hardware_revision.h"
#include "flash/session_context.h"
#include "usb/device_manager.h"

namespace {

constexpr size_t PLATFORM_TEXT_LIMIT = 63;
constexpr uint32_t BOOTLOADER_ENTRY_ADDRESS = 0;
constexpr uint32_t HW_COMMAND_COUNT = 1000;
constexpr auto MODE_SWITCH_POLL_INTERVAL = std::chrono::milliseconds(1);

class session_sequence {
 public:
  explicit session_sequence(flash_session& session) : session_(session) {}

  // Each step returns false when the sequence ends there: after a failure has been recorded
  // (state 7) or at a stop check that found the stop requested (status left as it stands).
  void run() {
    if (prepare() && bring_up() && switch_to_software_mode() && write_flash()) {
      finish();
    }
  }

 private:
  bool keep_going() const { return !session_.stop.requested(); }

  bool fail(int error, int sub_error) {
    record_error(session_, error, sub_error);
    enter_state(session_, FLASH_STATE_FAILED);
    return false;
  }

  // For the steps that record their error pair themselves.
  bool succeeded(int result) {
    if (result != 0) {
      enter_state(session_, FLASH_STATE_FAILED);
      return false;
    }
    return true;
  }

  // Another platform text agrees when it begins with the module's platform name.
  bool matches_platform(const char* other) const {
    return other != nullptr && std::string_view(other).substr(0, platform_.size()) == platform_;
  }

  bool prepare() {
    const char* platform = kavro_dm_get_platform_string(&session_.dm, session_.index);
    platform_ = std::string(platform != nullptr ? platform : "").substr(0, PLATFORM_TEXT_LIMIT);
    hw_version_ = get_hardware_revision(session_.dm, session_.index, platform_.c_str());
    debug("SoM HW Version: %d\n", hw_version_);
    if (!open_base_archive() || !keep_going()) {
      return false;
    }
    if (kavro_archive_contains_bootloaders(&session_.base_archive) == 0) {
      return fail(FLASH_ERR_BASE_MISSING_BASE_PARTS, 0);
    }
    if (!keep_going() || !open_ota_archive() || !keep_going() || !load_settings() ||
        !keep_going() || !check_platforms() || !keep_going() || !load_ads() || !keep_going()) {
      return false;
    }
    uint64_t total = 0;
    const int sized = get_full_firmware_size(session_, total, use_ota_);
    session_.full_firmware_size = total;
    return succeeded(sized);
  }

  bool open_base_archive() {
    if (session_.base_file.empty()) {
      const int opened = kavro_archive_init_embedded(&session_.base_archive, platform_.c_str(),
                                                     static_cast<uint32_t>(hw_version_));
      return opened == 0 || fail(FLASH_ERR_ARCHIVE, opened);
    }
    int result = kavro_archive_init(&session_.base_archive, session_.base_file.c_str());
    if (result == 0) {
      result = kavro_archive_verify_signature(&session_.base_archive, PART_BOOTSTRAP);
    }
    if (result == 0) {
      result = kavro_archive_verify_signature(&session_.base_archive, PART_BOOTLOADER);
    }
    return result == 0 || fail(FLASH_ERR_ARCHIVE, result);
  }

  bool open_ota_archive() {
    if (session_.ota_file.empty()) {
      return kavro_archive_contains_ota_parts(&session_.base_archive) != 0 ||
             fail(FLASH_ERR_BASE_MISSING_OTA_PARTS, 0);
    }
    const int opened = kavro_archive_init(&session_.ota_archive, session_.ota_file.c_str());
    if (opened != 0) {
      return fail(FLASH_ERR_ARCHIVE, opened);
    }
    if (kavro_archive_contains_ota_parts(&session_.ota_archive) == 0) {
      return fail(FLASH_ERR_OTA_MISSING_OTA_PARTS, 0);
    }
    use_ota_ = 1;
    return true;
  }

  bool load_settings() {
    const int created = kavro_settings_init(&session_.settings);
    if (created != 0) {
      return fail(FLASH_ERR_SETTINGS, created);
    }
    if (!keep_going()) {
      return false;
    }
    const int loaded =
        session_.settings_file.empty()
            ? kavro_settings_load_defaults(
                  &session_.settings, kavro_dm_get_platform_string(&session_.dm, session_.index))
            : kavro_settings_parse_json_file(&session_.settings, session_.settings_file.c_str());
    return loaded == 0 || fail(FLASH_ERR_SETTINGS, loaded);
  }

  // Default settings are made for the module's platform and need no comparison.
  bool check_platforms() {
    if (!matches_platform(kavro_archive_get_platform(&session_.base_archive))) {
      return fail(FLASH_ERR_PLATFORM_MISMATCH, 0);
    }
    if (!keep_going()) {
      return false;
    }
    if (!session_.ota_file.empty() &&
        !matches_platform(kavro_archive_get_platform(&session_.ota_archive))) {
      return fail(FLASH_ERR_PLATFORM_MISMATCH, 0);
    }
    if (!keep_going()) {
      return false;
    }
    if (!session_.settings_file.empty() &&
        !matches_platform(kavro_settings_get_platform(&session_.settings))) {
      return fail(FLASH_ERR_PLATFORM_MISMATCH, 0);
    }
    return true;
  }

  bool load_ads() {
    const int loaded =
        session_.ads_file.empty()
            ? kavro_ads_init(&session_.ads, platform_.c_str(), static_cast<uint32_t>(hw_version_))
            : kavro_ads_init_file(&session_.ads, session_.ads_file.c_str());
    return loaded == 0 || fail(FLASH_ERR_ADS, loaded);
  }

  bool bring_up() {
    if (!keep_going()) {
      return false;
    }
    debug("Firmware size is: %ld bytes\n", static_cast<long>(session_.full_firmware_size));
    enter_state(session_, FLASH_STATE_ADS);
    debug("Sending ADS commands\n");
    if (send_ads_data(session_) != 0) {
      enter_state(session_, FLASH_STATE_FAILED);
      debug("Failed to send ADS\n");
      return false;
    }
    if (!keep_going()) {
      return false;
    }
    set_progress(session_, 0);
    enter_state(session_, FLASH_STATE_BLD_DOWNLOAD);
    debug("Sending flash bootloader\n");
    if (!succeeded(send_bld_data(session_, session_.flash_bootloader)) || !keep_going()) {
      return false;
    }
    set_progress(session_, 100);
    enter_state(session_, FLASH_STATE_MODE_SWITCH);
    debug("Jump to flash bootloader\n");
    uint32_t entry = BOOTLOADER_ENTRY_ADDRESS;
    const int jumped = kavro_dm_usb_hardware_command(&session_.dm, session_.index, HW_CMD_JUMP,
                                                     &entry, nullptr, nullptr, HW_COMMAND_COUNT);
    return jumped == 0 || fail(FLASH_ERR_DEVICE_MANAGER, jumped);
  }

  // Whether `ready` holds within one poll interval. It is looked at again whenever the device
  // manager's slot table changes, so the module is taken up the moment it is ready.
  template <typename Ready>
  bool ready_within_poll(Ready ready) {
    using std::chrono::steady_clock;
    const auto poll_end = steady_clock::now() + MODE_SWITCH_POLL_INTERVAL;
    uint64_t seen = kavro_dm_change_count(&session_.dm);
    while (!ready()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(poll_end - steady_clock::now());
      if (left.count() <= 0) {
        return false;
      }
      seen = kavro_dm_wait_for_change(&session_.dm, seen, static_cast<uint32_t>(left.count()));
    }
    return true;
  }

  // Polls until `ready` holds, a millisecond apart; the limit counts whole intervals, not a
  // measured time. A stop request does not cut the wait short: the module is given its chance
  // to come back.
  template <typename Ready>
  bool wait_for_module(Ready ready) {
    for (uint32_t polls = 0; !ready_within_poll(ready);) {
      if (++polls >= session_.mode_switch_poll_limit) {
        return fail(FLASH_ERR_MODE_SWITCH_TIMEOUT, 0);
      }
    }
    return true;
  }

  bool switch_to_software_mode() {
    if (!keep_going()) {
      return false;
    }
    debug("Waiting for device to come back online\n");
    const bool in_software_mode = wait_for_module([this] {
      return kavro_dm_device_get_mode(&session_.dm, session_.index) == DM_MODE_SOFTWARE;
    });
    return in_software_mode && keep_going() && wait_for_module([this] {
             return kavro_dm_device_check_config(&session_.dm, session_.index) == 0;
           });
  }

  bool send_image(const char* log_line, std::string_view partition) {
    if (!keep_going()) {
      return false;
    }
    debug("%s", log_line);
    return succeeded(
        send_firmware_file(session_, partition, use_ota_, static_cast<uint32_t>(hw_version_)));
  }

  bool erase_rootfs() {
    if (!keep_going()) {
      return false;
    }
    debug("Erasing rootfs\n");
    return succeeded(send_erase_partition(session_, "rfa"));
  }

  // The partition table is written last, so a session that ends early leaves the old one.
  bool write_flash() {
    if (!keep_going()) {
      return false;
    }
    debug("Device is back up in software mode\n");
    set_progress(session_, 0);
    enter_state(session_, FLASH_STATE_SOFTWARE);
    debug("Sending partition details\n");
    if (!succeeded(send_partition_details(session_)) ||
        !send_image("Sending bootstrap\n", "bootstrap") ||
        !send_image("Sending bootloader\n", "bootloader") ||
        !send_image("Sending osloader\n", "osloader") || !send_image("Sending misc\n", "misc") ||
        !send_image("Sending meta\n", "meta") || !send_image("Sending kernel\n", "kernel") ||
        !erase_rootfs() || !send_image("Sending rootfs\n", "rootfs") || !keep_going()) {
      return false;
    }
    debug("Sending device ID\n");
    if (!succeeded(send_device_id(session_))) {
      return false;
    }
    debug("Writing PTB\n");
    return succeeded(send_ptb_write(session_));
  }

  void finish() {
    if (!keep_going()) {
      return;
    }
    enter_state(session_, FLASH_STATE_DONE);
    if (session_.reboot == 0) {
      return;
    }
    debug("Sending reboot command\n");
    succeeded(send_reboot(session_));
  }

  flash_session& session_;
  std::string platform_;
  int hw_version_ = 0;
  uint32_t use_ota_ = 0;
};

}  // namespace

void session_thread(flash_session& session) {
  try {
    session_sequence(session).run();
  } catch (const std::exception&) {
    // Allocation failures (the digest's OpenSSL context, std::bad_alloc) are the only
    // exceptions the steps can raise; the session reports them as lack of memory.
    record_error(session, FLASH_ERR_NO_MEMORY, 0);
    enter_state(session, FLASH_STATE_FAILED);
  }
}
