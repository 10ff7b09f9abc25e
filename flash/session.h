#pragma once
// The flash session's public operations. A session flashes one module on a thread of its own:
// kavro_flash_init starts it, kavro_flash_get_status may be called from any thread while it runs,
// and kavro_flash_destroy stops it at its next step and joins the thread. At most 64 sessions
// exist at once, one per device-manager slot.

#include <cstdint>

#include "flash/session_codes.h"

struct dm_state;
struct flash_session;

int kavro_flash_init(flash_session** session, const char* ads_file, const char* settings_file,
                     const char* base_file, const char* ota_file, dm_state** dm, int index,
                     uint32_t reboot, uint32_t move_calib, const char* public_key_file,
                     const char* private_key_file);
void kavro_flash_destroy(flash_session** session);
int kavro_flash_get_status(flash_session** session, uint32_t* state, uint32_t* error,
                           uint32_t* sub_error, uint32_t* progress);
// The text of a FLASH_ERR_ code; "Unknown error" for any other value.
const char* kavro_flash_error_string(int code);
// The text of a status word the module answered a command with (the sub error of
// FLASH_ERR_DEVICE_STATUS); "Unknown error" for 0 and anything above SW_STATUS_ERASE_FAILED.
const char* kavro_flash_device_status_string(int status);
// The text of the sub error that goes with `error`: the failing subsystem's text for its code
// (archive, device manager, settings, bring-up script) or the module's status word; null when
// `error` carries no such sub error. Static text, never freed.
const char* kavro_flash_sub_error_string(int error, int sub_error);
// Prints the pair for a person through debug(): the error's text in red, then the sub error's.
void kavro_flash_print_error_string(int error, int sub_error);
