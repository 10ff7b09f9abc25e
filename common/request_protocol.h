#pragma once
// The automated-mode request protocol (kavro-flash -g): the numbers a script and kavro-flash
// exchange on standard input and output. kavro-flash serves it (app/), kavro-station drives it
// (station/); both read every number from here. I/O-free and header-only.
//
// Request: "[TAG COMMAND] SLOT\n" (TAG 0 or greater, chosen by the script and echoed). Response:
// "[TAG COMMAND] ...\r\n", or "[TAG 255] REFUSAL ...\r\n" when the request is refused. A line
// beginning with "Q" ends the protocol.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/products.h"

// A line that begins with this character is a request; one that begins with the quit character
// ends the protocol. Every other line is ignored.
inline constexpr char REQUEST_LINE_START = '[';
// Closes the head "[TAG COMMAND]" of a request and of a response.
inline constexpr char REQUEST_HEAD_END = ']';
inline constexpr char REQUEST_QUIT_START = 'Q';
// Input is read in pieces of at most this many bytes, NUL included: a longer line arrives as
// several pieces, each judged by its own first character.
inline constexpr size_t REQUEST_LINE_SIZE = 1024;

// Command numbers: the second number of a request head, echoed in the head of its response.
inline constexpr int CMD_LIST_DEVICES = 1;      // optional platform number; the ready slots
inline constexpr int CMD_GET_DEVICE_INFO = 2;   // slot; the module's platform number
inline constexpr int CMD_GET_STATUS = 3;        // slot; the session's state and progress
inline constexpr int CMD_CLOSE_SESSION = 4;     // slot; stops and forgets the session
inline constexpr int CMD_BEGIN_FLASH = 6;       // slot; starts a session on the module
inline constexpr int CMD_GET_DEVICE_ERROR = 7;  // slot; the session's error pair
inline constexpr int CMD_GET_DEVICE_PATH = 8;   // slot; the module's USB device path
// slot; the module's USB serial number string, nothing after the head when it has none. An
// addition for kavro-station: a script that never sends it sees no change.
inline constexpr int CMD_GET_DEVICE_SERIAL = 9;

// Second number of a response that refuses its request; the refusal code follows it.
inline constexpr int RESPONSE_REFUSED = 255;

// Refusal codes.
inline constexpr int REFUSE_UNKNOWN_COMMAND = 1;
// Slot outside 0..REQUEST_SLOT_COUNT-1; for CMD_GET_DEVICE_INFO also a platform without number.
inline constexpr int REFUSE_BAD_INDEX = 2;
// No module in hardware mode at the slot; for CMD_CLOSE_SESSION: the session had not ended (the
// close still goes ahead and is acknowledged on the next line).
inline constexpr int REFUSE_NOT_READY = 3;
inline constexpr int REFUSE_DEVICE_MANAGER = 4;
inline constexpr int REFUSE_SESSION_EXISTS = 5;
// Starting the session failed; the session's error code follows the refusal code.
inline constexpr int REFUSE_SESSION_START = 6;
inline constexpr int REFUSE_INDEX_MISSING = 7;

// Session states, the first number of a CMD_GET_STATUS answer (the flash session's own states).
inline constexpr int SESSION_STATE_STARTED = 0;
inline constexpr int SESSION_STATE_ADS = 2;
inline constexpr int SESSION_STATE_BLD_DOWNLOAD = 3;
inline constexpr int SESSION_STATE_MODE_SWITCH = 4;
inline constexpr int SESSION_STATE_SOFTWARE = 5;
inline constexpr int SESSION_STATE_DONE = 6;
inline constexpr int SESSION_STATE_FAILED = 7;
// First number of a CMD_GET_STATUS, CMD_CLOSE_SESSION or CMD_GET_DEVICE_ERROR answer whose
// session status could not be read; the reading's result follows it.
inline constexpr int SESSION_STATUS_UNREADABLE = 6;

// Slots a request can address (0 to REQUEST_SLOT_COUNT - 1), the longest device path
// CMD_GET_DEVICE_PATH answers and the longest serial CMD_GET_DEVICE_SERIAL answers, NUL
// included.
inline constexpr int REQUEST_SLOT_COUNT = 64;
inline constexpr int REQUEST_DEVICE_PATH_SIZE = 512;
inline constexpr int REQUEST_DEVICE_SERIAL_SIZE = 128;

// Platform numbers. CMD_LIST_DEVICES takes any product row 1..PRODUCT_ROW_COUNT-1 as its
// platform number; CMD_GET_DEVICE_INFO names only the first four rows ("s5l", "cv22", "cv25",
// "s6lm"), so a "cv28" module has no number there.
inline constexpr int PLATFORM_NUMBER_FIRST = 1;
inline constexpr int PLATFORM_NUMBER_LAST_NAMED = 4;

// The device-list filter of CMD_LIST_DEVICES for `number`: the platform mask of that product
// row, or 0 (every ready module, whatever its platform and mode) for any other number.
constexpr uint32_t platform_filter_for(long long number) {
  return number >= PLATFORM_NUMBER_FIRST && number < PRODUCT_ROW_COUNT
             ? product_table[static_cast<size_t>(number)].platform_mask
             : 0;
}

// The number CMD_GET_DEVICE_INFO answers for a module's platform text (compared whole), or 0
// when the platform has none and the request is refused.
constexpr int platform_number_of(std::string_view platform) {
  for (int number = PLATFORM_NUMBER_FIRST; number <= PLATFORM_NUMBER_LAST_NAMED; ++number) {
    if (platform == product_table[static_cast<size_t>(number)].name) {
      return number;
    }
  }
  return 0;
}

// The platform a CMD_GET_DEVICE_INFO answer names, or an empty text for a number it never gives.
constexpr std::string_view platform_name_of(int number) {
  return number >= PLATFORM_NUMBER_FIRST && number <= PLATFORM_NUMBER_LAST_NAMED
             ? std::string_view(product_table[static_cast<size_t>(number)].name)
             : std::string_view();
}
