// The request dispatcher of automated mode: one handler per command, each writing its response.

#include "app/request_dispatch.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "app/owned_handle.h"
#include "app/request_line.h"
#include "app/session_table.h"
#include "common/console.h"
#include "common/request_protocol.h"
#include "flash/session.h"
#include "usb/device_manager.h"

namespace {

using DeviceList = OwnedHandle<uint8_t, kavro_dm_device_list_free>;

// The protocol reports the session's own states and addresses the device manager's slots.
static_assert(SESSION_STATE_STARTED == FLASH_STATE_STARTED &&
              SESSION_STATE_ADS == FLASH_STATE_ADS &&
              SESSION_STATE_BLD_DOWNLOAD == FLASH_STATE_BLD_DOWNLOAD &&
              SESSION_STATE_MODE_SWITCH == FLASH_STATE_MODE_SWITCH &&
              SESSION_STATE_SOFTWARE == FLASH_STATE_SOFTWARE &&
              SESSION_STATE_DONE == FLASH_STATE_DONE && SESSION_STATE_FAILED == FLASH_STATE_FAILED);
static_assert(REQUEST_SLOT_COUNT == DM_MAX_DEVICES);

// The request being answered: its tag and command number, both already known to be valid.
struct Reply {
  int tag;
  int command;
};

void refuse(const Reply& reply, int code) {
  print_and_flush("[%d %d] %d\r\n", reply.tag, RESPONSE_REFUSED, code);
}

void answer_pair(const Reply& reply, int first, int second) {
  print_and_flush("[%d %d] %d %d\r\n", reply.tag, reply.command, first, second);
}

void acknowledge(const Reply& reply) {
  print_and_flush("[%d %d]\r\n", reply.tag, reply.command);
}

void cmd_list_devices(RequestContext& context, const Reply& reply, const RequestFields& request) {
  const long long platform = request.has_index() ? request.index : 0;
  const uint32_t filter = platform_filter_for(platform);
  DeviceList list;
  uint32_t count = 0;
  if (kavro_dm_device_list_get(context.dm, list.address(), &count, filter) != 0) {
    refuse(reply, REFUSE_DEVICE_MANAGER);
    return;
  }
  // The response goes out in pieces; holding the stream keeps the diagnostic lines that session
  // threads print meanwhile from landing inside it.
  flockfile(stdout);
  std::printf("[%d %d] %d", reply.tag, reply.command, static_cast<int>(count));
  for (uint32_t i = 0; i < count; ++i) {
    std::printf(" %d", list.get()[i]);
  }
  print_and_flush("\r\n");
  funlockfile(stdout);
}

void cmd_get_device_info(RequestContext& context, const Reply& reply, int index) {
  const char* platform = kavro_dm_get_platform_string(context.dm, index);
  const int number = platform == nullptr ? 0 : platform_number_of(platform);
  if (number == 0) {
    refuse(reply, REFUSE_BAD_INDEX);
    return;
  }
  print_and_flush("[%d %d] %d\r\n", reply.tag, reply.command, number);
}

void cmd_get_status(RequestContext& context, const Reply& reply, int index) {
  if (!context.sessions.has_session(index)) {
    answer_pair(reply, 0, 0);
    return;
  }
  uint32_t state = 0;
  uint32_t progress = 0;
  const int result =
      kavro_flash_get_status(context.sessions.entry(index), &state, nullptr, nullptr, &progress);
  if (result != 0) {
    answer_pair(reply, SESSION_STATUS_UNREADABLE, result);
  } else if (state == FLASH_STATE_FAILED) {
    answer_pair(reply, SESSION_STATE_FAILED, 0);
  } else {
    answer_pair(reply, static_cast<int>(state), static_cast<int>(progress));
  }
}

// Closing a session that has not ended aborts it: the refusal tells the script so, and the
// close goes ahead.
void cmd_close_session(RequestContext& context, const Reply& reply, int index) {
  flash_session** session = context.sessions.entry(index);
  uint32_t state = 0;
  const int result = kavro_flash_get_status(session, &state, nullptr, nullptr, nullptr);
  if (result != 0) {
    answer_pair(reply, SESSION_STATUS_UNREADABLE, result);
    return;
  }
  if (state != FLASH_STATE_DONE && state != FLASH_STATE_FAILED) {
    refuse(reply, REFUSE_NOT_READY);
  }
  kavro_flash_destroy(session);
  acknowledge(reply);
}

void cmd_begin_flash(RequestContext& context, const Reply& reply, int index) {
  if (context.sessions.has_session(index)) {
    refuse(reply, REFUSE_SESSION_EXISTS);
    return;
  }
  if (kavro_dm_device_get_mode(context.dm, index) != DM_MODE_HARDWARE) {
    refuse(reply, REFUSE_NOT_READY);
    return;
  }
  const Options& options = context.options;
  const int result = kavro_flash_init(
      context.sessions.entry(index), options.ads_file.c_str(), options.settings_file.c_str(),
      options.base_file.c_str(), options.ota_file.c_str(), context.dm, index, 0, options.move_calib,
      options.public_key.c_str(), options.private_key.c_str());
  if (result != 0) {
    print_and_flush("[%d %d] %d %d\r\n", reply.tag, RESPONSE_REFUSED, REFUSE_SESSION_START, result);
    return;
  }
  acknowledge(reply);
}

void cmd_get_device_error(RequestContext& context, const Reply& reply, int index) {
  if (!context.sessions.has_session(index)) {
    if (kavro_dm_device_get_mode(context.dm, index) == DM_MODE_HARDWARE) {
      answer_pair(reply, 0, 0);
    } else {
      refuse(reply, REFUSE_NOT_READY);
    }
    return;
  }
  uint32_t state = 0;
  uint32_t error = 0;
  uint32_t sub_error = 0;
  const int result =
      kavro_flash_get_status(context.sessions.entry(index), &state, &error, &sub_error, nullptr);
  if (result != 0) {
    answer_pair(reply, SESSION_STATUS_UNREADABLE, result);
  } else if (state == FLASH_STATE_FAILED) {
    answer_pair(reply, static_cast<int>(error), static_cast<int>(sub_error));
  } else {
    answer_pair(reply, 0, 0);
  }
}

void cmd_get_device_path(RequestContext& context, const Reply& reply, int index) {
  std::array<char, REQUEST_DEVICE_PATH_SIZE> path{};
  if (kavro_dm_device_path_get(context.dm, index, path.data(), REQUEST_DEVICE_PATH_SIZE) != 0) {
    refuse(reply, REFUSE_DEVICE_MANAGER);
    return;
  }
  print_and_flush("[%d %d] %s\r\n", reply.tag, reply.command, path.data());
}

void cmd_get_device_serial(RequestContext& context, const Reply& reply, int index) {
  std::array<char, REQUEST_DEVICE_SERIAL_SIZE> serial{};
  if (kavro_dm_device_serial_get(context.dm, index, serial.data(), REQUEST_DEVICE_SERIAL_SIZE) !=
      0) {
    refuse(reply, REFUSE_DEVICE_MANAGER);
    return;
  }
  if (serial[0] == '\0') {
    acknowledge(reply);
    return;
  }
  print_and_flush("[%d %d] %s\r\n", reply.tag, reply.command, serial.data());
}

using SlotHandler = void (*)(RequestContext&, const Reply&, int);

// The checks every command addressing one module makes before its handler runs.
void run_with_slot_index(SlotHandler handler, RequestContext& context, const Reply& reply,
                         const RequestFields& request) {
  if (!request.has_index()) {
    refuse(reply, REFUSE_INDEX_MISSING);
    return;
  }
  if (request.index < 0 || request.index >= REQUEST_SLOT_COUNT) {
    refuse(reply, REFUSE_BAD_INDEX);
    return;
  }
  handler(context, reply, static_cast<int>(request.index));
}

SlotHandler slot_handler_for(long long command) {
  switch (command) {
    case CMD_GET_DEVICE_INFO:
      return cmd_get_device_info;
    case CMD_GET_STATUS:
      return cmd_get_status;
    case CMD_CLOSE_SESSION:
      return cmd_close_session;
    case CMD_BEGIN_FLASH:
      return cmd_begin_flash;
    case CMD_GET_DEVICE_ERROR:
      return cmd_get_device_error;
    case CMD_GET_DEVICE_PATH:
      return cmd_get_device_path;
    case CMD_GET_DEVICE_SERIAL:
      return cmd_get_device_serial;
    default:
      return nullptr;
  }
}

}  // namespace

void process_request(RequestContext& context, std::string_view line) {
  const RequestFields request = scan_request(line);
  if (!request.has_head() || request.tag < 0 || request.tag > INT_MAX) {
    return;
  }
  // Only known command numbers are echoed, so the narrowing below is safe.
  const Reply reply{static_cast<int>(request.tag), static_cast<int>(request.command)};
  if (request.command == CMD_LIST_DEVICES) {
    cmd_list_devices(context, reply, request);
    return;
  }
  if (const SlotHandler handler = slot_handler_for(request.command)) {
    run_with_slot_index(handler, context, reply, request);
    return;
  }
  refuse(reply, REFUSE_UNKNOWN_COMMAND);
}
