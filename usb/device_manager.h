#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace usb {
class Bus;
}

inline constexpr int DM_MODE_NOT_READY = 0;
inline constexpr int DM_MODE_HARDWARE = 1;
inline constexpr int DM_MODE_SOFTWARE = 2;

inline constexpr uint32_t DM_LIST_HARDWARE_ONLY = 0x1000;
inline constexpr uint32_t DM_LIST_SOFTWARE_ONLY = 0x2000;

inline constexpr int DM_MAX_DEVICES = 64;

inline constexpr uint32_t HW_CMD_WRITE = 1;
inline constexpr uint32_t HW_CMD_READ = 2;
inline constexpr uint32_t HW_CMD_POLL = 3;
inline constexpr uint32_t HW_CMD_DOWNLOAD = 4;
inline constexpr uint32_t HW_CMD_JUMP = 5;

inline constexpr uint32_t SW_CMD_SIGNATURE_WORD = 0x4B434D44;
inline constexpr uint32_t SW_RESPONSE_SIGNATURE_WORD = 0x4B525350;
inline constexpr uint32_t SW_CMD_PARTITION_DETAILS = 1;
inline constexpr uint32_t SW_CMD_IMAGE_HEADER = 2;
inline constexpr uint32_t SW_CMD_BLOCK_HEADER = 3;
inline constexpr uint32_t SW_CMD_ERASE_PARTITION = 4;
inline constexpr uint32_t SW_CMD_PTB_WRITE = 5;
inline constexpr uint32_t SW_CMD_REBOOT = 6;
inline constexpr uint32_t SW_CMD_DEVICE_ID = 7;
inline constexpr uint32_t SW_CMD_SIGNATURE = 8;

// Module refused a software-mode command; the status word has been stored.
inline constexpr int DM_ERR_DEVICE_STATUS = -15;

struct dm_state;

// Starts the device manager over `bus` (libusb in kavro-flash, the simulator in
// kavro-flash-sim and the tests). Only one device manager exists per process at a time.
// Returns -1 for a null `dm`, -3 for a null `bus` (no USB access could be set up), -2 when the
// threads cannot be started; a failed init leaves the handle null.
int kavro_dm_init(dm_state** dm, std::shared_ptr<usb::Bus> bus);
// Stops the service thread and hot-plug notifications, closes every handle, releases the bus.
void kavro_dm_destroy(dm_state** dm);
const char* kavro_dm_error_string(int code);

int kavro_dm_device_list_get(dm_state** dm, uint8_t** list, uint32_t* count, uint32_t filter);
void kavro_dm_device_list_free(uint8_t** list);
int kavro_dm_device_get_mode(dm_state** dm, int index);
int kavro_dm_device_check_config(dm_state** dm, int index);
int kavro_dm_device_path_get(dm_state** dm, int index, char* buffer, int32_t length);
const char* kavro_dm_get_platform_string(dm_state** dm, int index);
// The serial number string of the module bound to the slot, "" when its descriptor has none,
// cut to fit `length` bytes with its NUL. Returns 0, -1 for a bad argument, -8 for a free slot
// (as kavro_dm_device_path_get).
int kavro_dm_device_serial_get(dm_state** dm, int index, char* buffer, int32_t length);

// The number of slot-table changes so far (a slot opened, closed or became ready); 0 for a
// null handle. Together with kavro_dm_wait_for_change it lets a caller wait for a module
// instead of polling: read the count, check the condition, then wait for a newer count.
uint64_t kavro_dm_change_count(dm_state** dm);
// Blocks until the change count differs from `seen` or `timeout_ms` has passed; returns the
// count then (0 at once for a null handle).
uint64_t kavro_dm_wait_for_change(dm_state** dm, uint64_t seen, uint32_t timeout_ms);

int kavro_dm_usb_hardware_command(dm_state** dm, int index, uint32_t command, uint32_t* address,
                                  uint32_t* value, uint32_t* expected, uint32_t count);
// HW_CMD_DOWNLOAD for a run of words, with up to `depth` requests in flight on the control
// endpoint. `next_word` gives each word's address and value, false when there are no more or the
// caller stops; `reached` runs in word order as each request's result comes in, the failing one
// included. Returns 0, or what kavro_dm_usb_hardware_command gives for the first word that
// failed; the words queued behind it are not sent.
int kavro_dm_usb_hardware_download(
    dm_state** dm, int index, uint32_t depth,
    const std::function<bool(uint32_t& address, uint32_t& value)>& next_word,
    const std::function<void(size_t word)>& reached);
int kavro_dm_usb_software_command(dm_state** dm, int index, uint8_t* block, uint32_t length,
                                  uint32_t timeout_ms, uint32_t* status);
