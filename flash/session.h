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
const char* kavro_flash_error_string(int code);
// The text of a status word the module answered a command with (the detail of -22).
const char* kavro_flash_device_status_string(int status);
void kavro_flash_print_error_string(int error, int sub_error);
