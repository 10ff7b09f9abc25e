// The session's short software-mode messages (layout, erase, device id, partition table write,
// reboot) and the exchange that every software-mode sender goes through.

#include <algorithm>

#include "firmware/settings.h"
#include "flash/session_context.h"
#include "flash/software_protocol.h"
#include "usb/device_manager.h"

namespace {

constexpr uint32_t PARTITION_DETAILS_TIMEOUT_MS = 20000;
// Moving the calibration partitions happens while the module holds its answer back.
constexpr uint32_t PARTITION_DETAILS_MOVE_CALIB_TIMEOUT_MS = 2000000;
constexpr uint32_t ERASE_PARTITION_TIMEOUT_MS = 10000;
constexpr uint32_t DEVICE_ID_TIMEOUT_MS = 10000;
constexpr uint32_t PTB_WRITE_TIMEOUT_MS = 2000;
constexpr uint32_t REBOOT_TIMEOUT_MS = 1000;

// Sends `block`, reads the module's response and gives the exchange's result as a device-manager
// code: 0 for an accepted block, DM_ERR_DEVICE_STATUS with `status` set for a refused one.
int software_command(flash_session& session, std::span<uint8_t> block, uint32_t timeout_ms,
                     uint32_t& status) {
  sw_bytes<sw_block::response::LENGTH> response{};
  const int moved = kavro_dm_usb_software_command(&session.dm, session.index, block.data(),
                                                  static_cast<uint32_t>(block.size()), timeout_ms,
                                                  response.data(), response.size());
  if (moved != 0) {
    return moved;
  }
  const std::optional<uint32_t> answered = sw_response_status(response);
  if (!answered) {
    return DM_ERR_RESPONSE_SIGNATURE;
  }
  status = *answered;
  return status == SW_STATUS_OK ? 0 : DM_ERR_DEVICE_STATUS;
}

// The settings keep a name of 8 characters without its terminator.
std::string_view bounded_name(const char* field) {
  if (field == nullptr) {
    return {};
  }
  return {field, static_cast<size_t>(std::find(field, field + SW_NAME_FIELD_LENGTH, '\0') - field)};
}

sw_partition_layout layout_of(flash_session& session) {
  kavro_settings** settings = &session.settings;
  sw_partition_layout layout{
      .ota_enabled = kavro_settings_get_ota_enabled(settings),
      .kernel_maxsize = kavro_settings_get_kernel_maxsize(settings),
      .rootfs_maxsize = kavro_settings_get_rootfs_maxsize(settings),
      .custom_count = kavro_settings_get_custom_part_count(settings),
      .move_calib = session.move_calib,
  };
  for (uint32_t i = 0; i < std::min(layout.custom_count, SW_MAX_CUSTOM_PARTITIONS); ++i) {
    const auto index = static_cast<int32_t>(i);
    layout.custom[i] = {bounded_name(kavro_settings_get_custom_name(settings, index)),
                        kavro_settings_get_custom_maxsize(settings, index)};
  }
  return layout;
}

}  // namespace

int exchange_command(flash_session& session, std::span<uint8_t> block, uint32_t timeout_ms) {
  uint32_t status = 0;
  const int result = software_command(session, block, timeout_ms, status);
  if (result == 0) {
    return 0;
  }
  if (result == DM_ERR_DEVICE_STATUS) {
    record_error(session, FLASH_ERR_DEVICE_STATUS, static_cast<int>(status));
  } else {
    record_error(session, FLASH_ERR_DEVICE_MANAGER, result);
  }
  return -1;
}

int send_partition_details(flash_session& session) {
  auto block = sw_partition_details(layout_of(session));
  const uint32_t timeout = session.move_calib != 0 ? PARTITION_DETAILS_MOVE_CALIB_TIMEOUT_MS
                                                   : PARTITION_DETAILS_TIMEOUT_MS;
  return exchange_command(session, block, timeout);
}

int send_erase_partition(flash_session& session, std::string_view device_name) {
  auto block = sw_erase_partition(device_name);
  return exchange_command(session, block, ERASE_PARTITION_TIMEOUT_MS);
}

int send_device_id(flash_session& session) {
  auto block = sw_device_id(static_cast<uint32_t>(session.index));
  return exchange_command(session, block, DEVICE_ID_TIMEOUT_MS);
}

int send_ptb_write(flash_session& session) {
  auto block = sw_ptb_write();
  return exchange_command(session, block, PTB_WRITE_TIMEOUT_MS);
}

// Unlike the other senders, a refusal of the reboot is reported as a transport failure: the
// exchange's DM_ERR_DEVICE_STATUS goes into the sub error.
int send_reboot(flash_session& session) {
  auto block = sw_reboot();
  uint32_t status = 0;
  const int result = software_command(session, block, REBOOT_TIMEOUT_MS, status);
  if (result != 0) {
    record_error(session, FLASH_ERR_DEVICE_MANAGER, result);
    return -1;
  }
  return 0;
}
