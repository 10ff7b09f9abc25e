// The flash session's public operations: start, status, stop, and the texts of its errors.

#include "flash/session.h"

#include <array>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>

#include "common/console.h"
#include "data/embedded.h"
#include "firmware/archive.h"
#include "firmware/bringup_script.h"
#include "firmware/settings.h"
#include "flash/secure_boot_key.h"
#include "flash/session_context.h"
#include "flash/software_protocol.h"
#include "usb/device_manager.h"

namespace {

constexpr const char* RED = "\033[31m";
constexpr const char* RESET = "\033[0m";

// One session per slot index, so that two sessions never drive one module at once. The lock
// only guards the table itself; init and destroy are expected from one thread at a time.
class session_registry {
 public:
  bool has(int index) {
    std::lock_guard lock(mutex_);
    return slots_[static_cast<size_t>(index)] != nullptr;
  }
  void enter(int index, flash_session* session) {
    std::lock_guard lock(mutex_);
    slots_[static_cast<size_t>(index)] = session;
  }
  void remove(const flash_session* session) {
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) {
      if (slot == session) {
        slot = nullptr;
      }
    }
  }

 private:
  std::mutex mutex_;
  std::array<flash_session*, FLASH_MAX_SESSIONS> slots_{};
};

session_registry sm;

bool is_set(const char* text) {
  return text != nullptr && text[0] != '\0';
}

std::string text_or_empty(const char* text) {
  return is_set(text) ? std::string(text) : "";
}

void release_session_resources(flash_session& session) {
  kavro_ads_destroy(&session.ads);
  kavro_archive_destroy(&session.base_archive);
  kavro_archive_destroy(&session.ota_archive);
  kavro_settings_destroy(&session.settings);
  session.private_key.reset();
}

void print_red_line(const char* text) {
  debug("%s%s%s\n", RED, text, RESET);
}

// Both key files are checked now, so that a session that cannot sign never starts.
int load_secure_boot_keys(flash_session& session, const char* public_key_file,
                          const char* private_key_file) {
  loaded_private_key loaded = load_private_key(private_key_file);
  if (loaded.problem != key_problem::none ||
      read_public_key(public_key_file, session.public_key) != key_problem::none) {
    return FLASH_ERR_PRIVATE_KEY;
  }
  session.private_key = std::move(loaded.key);
  return 0;
}

}  // namespace

int create_session(flash_session** session, const char* ads_file, const char* settings_file,
                   const char* base_file, const char* ota_file, dm_state** dm, int index,
                   uint32_t reboot, uint32_t move_calib, const char* public_key_file,
                   const char* private_key_file) {
  if (session == nullptr || base_file == nullptr || dm == nullptr || *dm == nullptr || index < 0 ||
      index >= FLASH_MAX_SESSIONS) {
    return FLASH_ERR_INVALID_PARAMETERS;
  }
  if (sm.has(index)) {
    return FLASH_ERR_SESSION_EXISTS;
  }
  std::unique_ptr<flash_session> context(new (std::nothrow) flash_session());
  if (!context) {
    *session = nullptr;
    return FLASH_ERR_NO_MEMORY;
  }
  if (is_set(private_key_file)) {
    const int result = load_secure_boot_keys(*context, public_key_file, private_key_file);
    if (result != 0) {
      *session = nullptr;
      return result;
    }
  }
  context->dm = *dm;
  context->index = index;
  context->ads_file = text_or_empty(ads_file);
  context->settings_file = text_or_empty(settings_file);
  context->base_file = text_or_empty(base_file);
  context->ota_file = text_or_empty(ota_file);
  context->reboot = reboot;
  context->move_calib = move_calib;
  context->flash_bootloader = embedded::flash_bootloader();
  *session = context.release();
  return 0;
}

int launch_session(flash_session** session) {
  flash_session& context = **session;
  try {
    context.thread = std::thread([&context] { session_thread(context); });
  } catch (const std::system_error&) {
    release_session_resources(context);
    delete *session;
    *session = nullptr;
    return FLASH_ERR_NO_MEMORY;
  }
  sm.enter(context.index, &context);
  return 0;
}

void join_session_thread(flash_session& session) {
  if (session.thread.joinable()) {
    session.thread.join();
  }
}

int kavro_flash_init(flash_session** session, const char* ads_file, const char* settings_file,
                     const char* base_file, const char* ota_file, dm_state** dm, int index,
                     uint32_t reboot, uint32_t move_calib, const char* public_key_file,
                     const char* private_key_file) {
  const int result = create_session(session, ads_file, settings_file, base_file, ota_file, dm,
                                    index, reboot, move_calib, public_key_file, private_key_file);
  if (result != 0) {
    return result;
  }
  return launch_session(session);
}

void kavro_flash_destroy(flash_session** session) {
  if (session == nullptr || *session == nullptr) {
    return;
  }
  flash_session* context = *session;
  context->stop.request();
  join_session_thread(*context);
  release_session_resources(*context);
  sm.remove(context);
  delete context;
  *session = nullptr;
}

int kavro_flash_get_status(flash_session** session, uint32_t* state, uint32_t* error,
                           uint32_t* sub_error, uint32_t* progress) {
  if (session == nullptr || *session == nullptr || state == nullptr) {
    return FLASH_ERR_INVALID_PARAMETERS;
  }
  const flash_session& context = **session;
  *state = context.state.load(std::memory_order_acquire);
  if (error != nullptr) {
    *error = static_cast<uint32_t>(context.error.load(std::memory_order_acquire));
  }
  if (sub_error != nullptr) {
    *sub_error = static_cast<uint32_t>(context.sub_error.load(std::memory_order_relaxed));
  }
  if (progress != nullptr) {
    *progress = context.progress.load(std::memory_order_relaxed);
  }
  return 0;
}

const char* kavro_flash_device_status_string(int status) {
  switch (static_cast<uint32_t>(status)) {
    case SW_STATUS_INVALID_PARAMETER:
      return "Invalid parameter sent to device";
    case SW_STATUS_OVERFLOW:
      return "Overflow on device";
    case SW_STATUS_PTB_DETAILS_FAILED:
      return "Failed to set the partition table details";
    case SW_STATUS_PARTITION_SIZE_INVALID:
      return "Partition size is invalid, possibly too large to fit";
    case SW_STATUS_CRC_MISMATCH:
      return "CRC mismatch on received data";
    case SW_STATUS_INVALID_PARTITION_SETUP:
      return "Invalid partition setup request";
    case SW_STATUS_FLASH_WRITE_FAILED:
      return "Write to flash memory failed";
    case SW_STATUS_OUT_OF_MEMORY:
      return "Out of memory on device";
    case SW_STATUS_SIZE_MISMATCH:
      return "Data sent to device did not match requested size";
    case SW_STATUS_ERASE_FAILED:
      return "Failed to erase the partition";
    default:
      return "Unknown error";
  }
}

const char* kavro_flash_error_string(int code) {
  switch (code) {
    case FLASH_ERR_INVALID_PARAMETERS:
      return "Invalid parameters specified";
    case FLASH_ERR_NO_MEMORY:
      return "Insufficient memory available";
    case FLASH_ERR_ARCHIVE:
      return "Error with archive:";
    case FLASH_ERR_DEVICE_MANAGER:
      return "Error with USB device manager:";
    case FLASH_ERR_SETTINGS:
      return "Error with settings:";
    case FLASH_ERR_ADS:
      return "Error with ADS, see sub error ID";
    case FLASH_ERR_SESSION_EXISTS:
      return "Trying to start a new session with existion device id";
    case FLASH_ERR_INVALID_ADS_COMMAND:
      return "Invalid command in ads data";
    case FLASH_ERR_NO_FLASH_BOOTLOADER:
      return "Could not find flash bootloader in tool";
    case FLASH_ERR_MISSING_PARTITION:
      return "Missing partition in firmware image";
    case FLASH_ERR_INVALID_FILE_SIZE:
      return "Invalid file size in firmware";
    case FLASH_ERR_BASE_MISSING_BASE_PARTS:
      return "Base archive is missing required base partitions";
    case FLASH_ERR_OTA_MISSING_OTA_PARTS:
      return "OTA archive is missing required OTA partitions";
    case FLASH_ERR_BASE_MISSING_OTA_PARTS:
      return "Base archive is missing required OTA partitions";
    case FLASH_ERR_MODE_SWITCH_TIMEOUT:
      return "Timeout switching device from HW USB to SW USB mode";
    case FLASH_ERR_LIBUSB:
      return "Libusb error:";
    case FLASH_ERR_PLATFORM_MISMATCH:
      return "Platform mismatch between firmware, settings or device";
    case FLASH_ERR_PARAMETER_UPDATE:
      return "Failed to update embedded firmware parameter, see sub error ID";
    case FLASH_ERR_INVALID_PLATFORM:
      return "Invalid platform";
    case FLASH_ERR_PRIVATE_KEY:
      return "Failed to read or parse private key file";
    case FLASH_ERR_SIGNATURE:
      return "Error generating signature";
    case FLASH_ERR_DEVICE_STATUS:
      return "Error returned from device:";
    default:
      return "Unknown error";
  }
}

const char* kavro_flash_sub_error_string(int error, int sub_error) {
  switch (error) {
    case FLASH_ERR_ARCHIVE:
      return kavro_archive_error_string(sub_error);
    case FLASH_ERR_DEVICE_MANAGER:
      return kavro_dm_error_string(sub_error);
    case FLASH_ERR_SETTINGS:
      return kavro_settings_error_string(sub_error);
    case FLASH_ERR_ADS:
      return kavro_ads_error_string(sub_error);
    case FLASH_ERR_DEVICE_STATUS:
      return kavro_flash_device_status_string(sub_error);
    default:
      return nullptr;
  }
}

void kavro_flash_print_error_string(int error, int sub_error) {
  print_red_line(kavro_flash_error_string(error));
  if (const char* detail = kavro_flash_sub_error_string(error, sub_error)) {
    print_red_line(detail);
  } else if (error == FLASH_ERR_LIBUSB) {
    debug("%sWindows standard error code: %d%s\n", RED, sub_error, RESET);
  }
}
