// The texts of a session's error pair, taken whole from the subsystems that define them.
#include "station/error_texts.h"

#include "firmware/archive.h"
#include "firmware/bringup_script.h"
#include "firmware/settings.h"
#include "flash/session.h"
#include "flash/session_codes.h"
#include "usb/device_manager.h"

namespace station {

std::string error_text(int error) {
  if (error == 0) {
    return {};
  }
  std::string text = kavro_flash_error_string(error);
  while (!text.empty() && (text.back() == ':' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

std::string sub_error_text(int error, int sub_error) {
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
      return {};
  }
}

}  // namespace station
