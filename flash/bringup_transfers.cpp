// Hardware-mode transfers of a session: the bring-up script's replay and the flash
// bootloader's download.

#include <algorithm>
#include <array>
#include <cstdlib>

#include "common/console.h"
#include "common/environment.h"
#include "common/little_endian.h"
#include "firmware/bringup_script.h"
#include "flash/session_context.h"
#include "usb/device_manager.h"

namespace {

// Every hardware command of the bring-up passes this count; only a poll consults it.
constexpr uint32_t HW_POLL_READS = 1000;

int hardware_command(flash_session& session, uint32_t command, uint32_t address, uint32_t value,
                     uint32_t expected) {
  return kavro_dm_usb_hardware_command(&session.dm, session.index, command, &address, &value,
                                       &expected, HW_POLL_READS);
}

// The little-endian word of the image at `offset`; a trailing partial word is zero-padded so
// that an image whose length is not a multiple of 4 is never read past its end.
uint32_t image_word(std::span<const uint8_t> image, size_t offset) {
  std::array<uint8_t, 4> bytes{};
  std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset),
              std::min<size_t>(4, image.size() - offset), bytes.begin());
  return load_le32(bytes, 0);
}

// How many bootloader words are in flight at once. The module receives the same requests in
// the same order at any depth; only the host's idle time between them goes. KAVRO_DOWNLOAD_DEPTH
// sets it (1 sends one word at a time, for a module that misbehaves with more); anything that
// is not a whole number from 1 to MAX_DOWNLOAD_DEPTH keeps the default.
constexpr uint32_t DEFAULT_DOWNLOAD_DEPTH = 32;
constexpr uint32_t MAX_DOWNLOAD_DEPTH = 1024;

uint32_t download_depth() {
  const char* text = std::getenv(environment_name(FLASHER_ENVIRONMENT, "KAVRO_DOWNLOAD_DEPTH"));
  if (text == nullptr || *text < '0' || *text > '9') {
    return DEFAULT_DOWNLOAD_DEPTH;
  }
  char* end = nullptr;
  const unsigned long depth = std::strtoul(text, &end, 10);
  if (*end != '\0' || depth == 0 || depth > MAX_DOWNLOAD_DEPTH) {
    return DEFAULT_DOWNLOAD_DEPTH;
  }
  return static_cast<uint32_t>(depth);
}

}  // namespace

// The script's pause argument is an unsigned 32-bit count of microseconds as written in the
// script, so values of 2^31 and more (negative as the signed parameter) are long pauses of up
// to about 71 minutes rather than negative ones. Such a pause stays safe because the session
// waits on its stop signal: kavro_flash_destroy ends it at once.
std::chrono::milliseconds usleep_pause_length(int32_t microseconds) {
  return std::chrono::milliseconds(static_cast<uint32_t>(microseconds) / 1000);
}

void us_delay(flash_session& session, int32_t microseconds) {
  session.stop.pause(usleep_pause_length(microseconds));
}

int replay_script(flash_session& session, const script_source& next_command) {
  for (;;) {
    script_command command;
    const int next = next_command(command);
    if (next == ADS_END_OF_SCRIPT) {
      return 0;
    }
    if (next != 0) {
      record_error(session, FLASH_ERR_ADS, next);
      return -1;
    }
    int result = 0;
    switch (command.type) {
      case ADS_CMD_WRITE:
        result =
            hardware_command(session, HW_CMD_WRITE, command.first, command.second, command.third);
        break;
      case ADS_CMD_POLL:
        result =
            hardware_command(session, HW_CMD_POLL, command.first, command.second, command.third);
        break;
      case ADS_CMD_USLEEP:
        us_delay(session, static_cast<int32_t>(command.first));
        break;
      default:
        record_error(session, FLASH_ERR_INVALID_ADS_COMMAND, 0);
        return -1;
    }
    if (result != 0) {
      record_error(session, FLASH_ERR_DEVICE_MANAGER, result);
      return -1;
    }
  }
}

int send_ads_data(flash_session& session) {
  return replay_script(session, [&session](script_command& command) {
    return kavro_ads_get_next_command(&session.ads, &command.type, &command.first, &command.second,
                                      &command.third);
  });
}

int send_bld_data(flash_session& session, std::span<const uint8_t> image) {
  if (image.data() == nullptr || image.empty()) {
    record_error(session, FLASH_ERR_NO_FLASH_BOOTLOADER, 0);
    return -1;
  }
  size_t offset = 0;
  const auto next_word = [&](uint32_t& address, uint32_t& value) {
    if (offset >= image.size() || session.stop.requested()) {
      return false;
    }
    address = static_cast<uint32_t>(offset);
    value = image_word(image, offset);
    offset += 4;
    return true;
  };
  // Progress follows the words whose requests have completed, so it reads the same at any depth.
  int64_t last_percent = -1;
  const auto reached = [&](size_t word) {
    const auto percent = static_cast<uint32_t>(uint64_t{word} * 4 * 100 / image.size());
    set_progress(session, percent);
    if (percent != last_percent) {
      last_percent = percent;
      show_progress(" %d%% done\r", static_cast<int>(percent));
    }
  };
  const int result = kavro_dm_usb_hardware_download(&session.dm, session.index, download_depth(),
                                                    next_word, reached);
  if (result != 0) {
    record_error(session, FLASH_ERR_DEVICE_MANAGER, result);
    return -1;
  }
  return 0;
}
