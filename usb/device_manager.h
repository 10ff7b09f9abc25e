#pragma once
// The device manager's public operations: a table of 64 slots that follows the modules on the
// bus, and the hardware-mode and software-mode commands addressed to a slot.

#include <chrono>
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

// Result codes of the device-manager operations (0 is success); kavro_dm_error_string has their
// texts, which scripts match, so numbers and texts never change. The flash session reports them
// as the sub error of its "Error with USB device manager:".
inline constexpr int DM_ERR_INVALID_PARAMETERS = -1;  // also: the needed bulk pipe is missing
inline constexpr int DM_ERR_NO_MEMORY = -2;
inline constexpr int DM_ERR_USB_INIT = -3;
inline constexpr int DM_ERR_CONTROL_TRANSFER = -4;  // failed, timed out, or the slot is not open
inline constexpr int DM_ERR_PARTIAL_TRANSFER = -5;  // a control transfer moved less than asked
inline constexpr int DM_ERR_POLL_TIMEOUT = -6;
inline constexpr int DM_ERR_INVALID_COMMAND = -7;
inline constexpr int DM_ERR_WRONG_MODE = -8;  // also: a device path asked of a free slot
inline constexpr int DM_ERR_BULK_TIMEOUT = -9;
inline constexpr int DM_ERR_BULK_TRANSFER = -10;
inline constexpr int DM_ERR_NO_INTERFACES = -11;  // the slot stayed closed for the whole wait
inline constexpr int DM_ERR_NO_ENDPOINTS = -12;   // not returned; its text stays for scripts
inline constexpr int DM_ERR_DRIVER_API = -14;     // not returned; its text stays for scripts
// The flash session reads the module's response to a software-mode command and gives these two
// as the exchange's own result: the response lacks its signature; the module answered with a
// non-zero status word. The latter's text is "Unknown error": the session reports the status
// word itself, except for the reboot, which keeps this code as its sub error.
inline constexpr int DM_ERR_RESPONSE_SIGNATURE = -13;
inline constexpr int DM_ERR_DEVICE_STATUS = -15;

struct dm_state;

// How long the device manager's threads wait for the bus. The defaults are the product's; a
// harness that drives a simulated bus, whose modules answer in microseconds, may shorten them.
struct dm_timing {
  // The service thread's loop: a slot whose descriptor read failed is read again this often.
  std::chrono::milliseconds service_period{100};
  // A module that is listed but could not be opened (its device node not yet accessible, a
  // transient error) is tried again this often, even when the bus reports nothing new.
  std::chrono::milliseconds open_retry_period{250};
  // A software-mode command gives a re-enumerating slot this long to be opened again.
  std::chrono::milliseconds reopen_wait{1000};
};

// Starts the device manager over `bus` (libusb in kavro-flash, the simulator in
// kavro-flash-sim and the tests), waiting as `timing` says. Only one device manager exists per
// process at a time. Returns DM_ERR_INVALID_PARAMETERS for a null `dm`, DM_ERR_USB_INIT for a null
// `bus` (no USB access could be set up), DM_ERR_NO_MEMORY when the threads cannot be started; a
// failed init leaves the handle null.
int kavro_dm_init(dm_state** dm, std::shared_ptr<usb::Bus> bus, const dm_timing& timing = {});
// Stops the service thread and hot-plug notifications, closes every handle, releases the bus.
void kavro_dm_destroy(dm_state** dm);
// The text of a DM_ERR_ code; "Unknown error" for any other value (DM_ERR_DEVICE_STATUS too).
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

// One boot-ROM command (HW_CMD_) to a hardware-mode module: `address` and `value` as the command
// needs them (the read stores into `value`, the poll takes its mask there); `expected` is not
// consulted; `count` is the most reads a poll makes. Each control transfer blocks for at most
// 3 s. Returns 0, DM_ERR_INVALID_PARAMETERS, DM_ERR_WRONG_MODE, DM_ERR_INVALID_COMMAND,
// DM_ERR_CONTROL_TRANSFER, DM_ERR_PARTIAL_TRANSFER or DM_ERR_POLL_TIMEOUT.
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
// One software-mode exchange, bytes only: writes the `length` bytes of `block` to the bulk OUT
// endpoint and, unless `response` is null, reads exactly `response_length` bytes from the bulk
// IN endpoint into it; what the bytes mean is the flash session's business. Blocks for at most
// `timeout_ms` per direction (after up to 1 s for a re-enumerating slot to open). Returns 0,
// DM_ERR_INVALID_PARAMETERS (also for a missing pipe, which is printed), DM_ERR_WRONG_MODE,
// DM_ERR_NO_INTERFACES, DM_ERR_BULK_TIMEOUT or DM_ERR_BULK_TRANSFER.
int kavro_dm_usb_software_command(dm_state** dm, int index, uint8_t* block, uint32_t length,
                                  uint32_t timeout_ms, uint8_t* response, uint32_t response_length);
