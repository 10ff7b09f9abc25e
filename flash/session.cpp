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
#include "flash/session_context.h"
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

}  // namespace

void stop_signal::request() {
  {
    std::lock_guard lock(mutex_);
    flag_.store(1, std::memory_order_release);
  }
  wake_.notify_all();
}

void stop_signal::pause(std::chrono::milliseconds length) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, length, [this] { return requested(); });
}

void record_error(flash_session& session, int error, int sub_error) {
  session.sub_error.store(sub_error, std::memory_order_relaxed);
  session.error.store(error, std::memory_order_release);
}

void enter_state(flash_session& session, uint32_t state) {
  session.state.store(state, std::memory_order_release);
}

void set_progress(flash_session& session, uint32_t percent) {
  session.progress.store(percent, std::memory_order_relaxed);
}

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
  switch (status) {
    case 1:
      return "Invalid parameter sent to device";
    case 2:
      return "Overflow on device";
    case 3:
      return "Failed to set the partition table details";
    case 4:
      return "Partition size is invalid, possibly too large to fit";
    case 5:
      return "CRC mismatch on received data";
    case 6:
      return "Invalid partition setup request";
    case 7:
      return "Write to flash memory failed";
    case 8:
      return "Out of memory on device";
    case 9:
      return "Data sent to device did not match requested size";
    case 10:
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

void kavro_flash_print_error_string(int error, int sub_error) {
  print_red_line(kavro_flash_error_string(error));
  switch (error) {
    case FLASH_ERR_ARCHIVE:
      print_red_line(kavro_archive_error_string(sub_error));
      break;
    case FLASH_ERR_DEVICE_MANAGER:
      print_red_line(kavro_dm_error_string(sub_error));
      break;
    case FLASH_ERR_SETTINGS:
      print_red_line(kavro_settings_error_string(sub_error));
      break;
    case FLASH_ERR_ADS:
      print_red_line(kavro_ads_error_string(sub_error));
      break;
    case FLASH_ERR_LIBUSB:
      debug("%sWindows standard error code: %d%s\n", RED, sub_error, RESET);
      break;
    case FLASH_ERR_DEVICE_STATUS:
      print_red_line(kavro_flash_device_status_string(sub_error));
      break;
    default:
      break;
  }
}
