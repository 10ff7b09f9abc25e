// What the interactive run says about the modules on the bus and about a failed transfer.

#include "app/module_notes.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/explain.h"
#include "app/owned_handle.h"
#include "common/products.h"
#include "flash/session_codes.h"
#include "usb/device_manager.h"

namespace {

using DeviceList = OwnedHandle<uint8_t, kavro_dm_device_list_free>;

constexpr int kPathLength = 512;
// The device manager learns of a removal from its own thread; give it this long to notice.
constexpr int kRemovalChecks = 5;
constexpr auto kRemovalCheckInterval = std::chrono::milliseconds(100);

std::string device_path(dm_state** dm, int index) {
  char path[kPathLength] = {};
  return kavro_dm_device_path_get(dm, index, path, kPathLength) == 0 ? path : "";
}

std::string platform_name(dm_state** dm, int index) {
  const char* platform = kavro_dm_get_platform_string(dm, index);
  return platform != nullptr && *platform != '\0' ? platform : "Kavro";
}

bool module_went_away(dm_state** dm, int index) {
  for (int check = 0; check < kRemovalChecks; ++check) {
    if (kavro_dm_device_get_mode(dm, index) == DM_MODE_NOT_READY) {
      return true;
    }
    std::this_thread::sleep_for(kRemovalCheckInterval);
  }
  return false;
}

// Why the module at `index` cannot take firmware for `platform`; empty when it can (it may
// have become ready between two reads of the device list).
std::string unusable_because(dm_state** dm, int index, const std::string& platform) {
  if (kavro_dm_device_get_mode(dm, index) == DM_MODE_SOFTWARE) {
    return "it already runs the flash bootloader; power-cycle it";
  }
  const char* module_platform = kavro_dm_get_platform_string(dm, index);
  if (module_platform != nullptr && platform_has_prefix(platform, module_platform)) {
    return "";
  }
  return "the firmware is for " + platform;
}

}  // namespace

void ModuleNotes::note_unusable(dm_state** dm, const uint8_t* usable, uint32_t count) {
  DeviceList list;
  uint32_t all_count = 0;
  if (kavro_dm_device_list_get(dm, list.address(), &all_count, 0) != 0) {
    return;
  }
  const uint8_t* all = list.get();
  for (uint32_t at = 0; at < all_count; ++at) {
    if (std::find(usable, usable + count, all[at]) != usable + count) {
      continue;
    }
    const int index = all[at];
    const std::string path = device_path(dm, index);
    const std::string because = unusable_because(dm, index, platform_);
    if (!because.empty() && noted_.insert(path).second) {
      explain("%s module at %s ignored: %s", platform_name(dm, index).c_str(), path.c_str(),
              because.c_str());
    }
  }
}

void name_taken_module(dm_state** dm, int index) {
  explain("Taking the %s module at %s", platform_name(dm, index).c_str(),
          device_path(dm, index).c_str());
}

void explain_transfer_failure(dm_state** dm, int index, int error, int sub_error) {
  if (error != FLASH_ERR_DEVICE_MANAGER) {
    return;
  }
  if (sub_error == DM_ERR_POLL_TIMEOUT || sub_error == DM_ERR_BULK_TIMEOUT) {
    explain("  reason: the module stopped answering: the transfer timed out");
  } else if (module_went_away(dm, index)) {
    explain("  reason: the module went away (unplugged or reset) during the transfer");
  } else {
    explain("  reason: the module is still attached but refused the transfer: %s",
            kavro_dm_error_string(sub_error));
  }
}
