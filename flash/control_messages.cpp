#include "firmware/settings.h"
#include "flash/command_block.h"
#include "flash/session_context.h"
#include "usb/device_manager.h"

namespace {

constexpr size_t PARTITION_DETAILS_LENGTH = 164;
constexpr size_t ERASE_PARTITION_LENGTH = 16;
constexpr size_t DEVICE_ID_LENGTH = 12;
constexpr size_t BARE_COMMAND_LENGTH = 8;

constexpr uint32_t PARTITION_DETAILS_TIMEOUT_MS = 20000;
// Moving the calibration partitions happens while the module holds its answer back.
constexpr uint32_t PARTITION_DETAILS_MOVE_CALIB_TIMEOUT_MS = 2000000;
constexpr uint32_t ERASE_PARTITION_TIMEOUT_MS = 10000;
constexpr uint32_t DEVICE_ID_TIMEOUT_MS = 10000;
constexpr uint32_t PTB_WRITE_TIMEOUT_MS = 2000;
constexpr uint32_t REBOOT_TIMEOUT_MS = 1000;

constexpr uint32_t MAX_CUSTOM_PARTITIONS = 8;
constexpr size_t CUSTOM_ENTRY_OFFSET = 32;
constexpr size_t CUSTOM_ENTRY_LENGTH = 16;
constexpr size_t MOVE_CALIB_OFFSET = 160;

int software_command(flash_session& session, std::span<uint8_t> block, uint32_t timeout_ms,
                     uint32_t& status) {
  return kavro_dm_usb_software_command(&session.dm, session.index, block.data(),
                                       static_cast<uint32_t>(block.size()), timeout_ms, &status);
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
  kavro_settings** settings = &session.settings;
  command_block<PARTITION_DETAILS_LENGTH> block(SW_CMD_PARTITION_DETAILS);
  block.put_u32(8, kavro_settings_get_ota_enabled(settings));
  block.put_u64_high_first(12, kavro_settings_get_kernel_maxsize(settings));
  block.put_u64_high_first(20, kavro_settings_get_rootfs_maxsize(settings));
  block.put_u32(28, kavro_settings_get_custom_part_count(settings));
  block.put_u32(MOVE_CALIB_OFFSET, session.move_calib);
  // The settings module keeps the count at 8 or below; the bound keeps the entries inside the
  // block whatever it reports.
  for (uint32_t i = 0;
       i < kavro_settings_get_custom_part_count(settings) && i < MAX_CUSTOM_PARTITIONS; ++i) {
    const size_t entry = CUSTOM_ENTRY_OFFSET + CUSTOM_ENTRY_LENGTH * i;
    const auto index = static_cast<int32_t>(i);
    block.put_name(entry, bounded_name(kavro_settings_get_custom_name(settings, index)));
    block.put_u64_high_first(entry + 8, kavro_settings_get_custom_maxsize(settings, index));
  }
  const uint32_t timeout = session.move_calib != 0 ? PARTITION_DETAILS_MOVE_CALIB_TIMEOUT_MS
                                                   : PARTITION_DETAILS_TIMEOUT_MS;
  return exchange_command(session, block.bytes(), timeout);
}

int send_erase_partition(flash_session& session, std::string_view device_name) {
  command_block<ERASE_PARTITION_LENGTH> block(SW_CMD_ERASE_PARTITION);
  block.put_name(8, device_name);
  return exchange_command(session, block.bytes(), ERASE_PARTITION_TIMEOUT_MS);
}

int send_device_id(flash_session& session) {
  command_block<DEVICE_ID_LENGTH> block(SW_CMD_DEVICE_ID);
  block.put_u32(8, static_cast<uint32_t>(session.index));
  return exchange_command(session, block.bytes(), DEVICE_ID_TIMEOUT_MS);
}

int send_ptb_write(flash_session& session) {
  command_block<BARE_COMMAND_LENGTH> block(SW_CMD_PTB_WRITE);
  return exchange_command(session, block.bytes(), PTB_WRITE_TIMEOUT_MS);
}

// Unlike the other senders, a refusal of the reboot is reported as a transport failure: the
// device manager's code (-15 for a refusal) goes into the sub error.
int send_reboot(flash_session& session) {
  command_block<BARE_COMMAND_LENGTH> block(SW_CMD_REBOOT);
  uint32_t status = 0;
  const int result = software_command(session, block.bytes(), REBOOT_TIMEOUT_MS, status);
  if (result != 0) {
    record_error(session, FLASH_ERR_DEVICE_MANAGER, result);
    return -1;
  }
  return 0;
}
