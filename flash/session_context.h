#pragma once
// The flash session's record and the operations its parts share. Only flash/ and its tests
// include this header; everyone else goes through flash/session.h.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "firmware/image_patching.h"
#include "flash/secure_boot_key.h"
#include "flash/session_codes.h"
#include "flash/software_protocol.h"

struct ads_handle;
struct dm_state;
struct kavro_archive_t;
struct kavro_settings;

// How often the mode switch polls (1 ms apart) before it gives up on the module.
inline constexpr uint32_t MODE_SWITCH_POLL_LIMIT = 10000;

// The stop request of a session: a flag the session thread looks at between steps, plus a way
// to cut its pauses short so that kavro_flash_destroy never waits out a long pause.
class stop_signal {
 public:
  void request();
  bool requested() const { return flag_.load(std::memory_order_acquire) != 0; }
  // Sleeps for `length`, or less when a stop is requested before it has passed.
  void pause(std::chrono::milliseconds length);

 private:
  std::atomic<uint32_t> flag_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
};

struct flash_session {
  std::thread thread;
  int index = 0;
  std::string ads_file;
  std::string settings_file;
  std::string base_file;
  std::string ota_file;
  std::array<uint8_t, SECURE_BOOT_KEY_SIZE> public_key{};
  private_key_ptr private_key;
  kavro_settings* settings = nullptr;
  kavro_archive_t* base_archive = nullptr;
  kavro_archive_t* ota_archive = nullptr;
  dm_state* dm = nullptr;
  ads_handle* ads = nullptr;
  stop_signal stop;

  // Written by the session thread only, read by anyone through kavro_flash_get_status: the
  // sub error is stored before the error and the error before the state, and the state is
  // published last (release) and read first (acquire), so a reader that sees 7 sees its pair.
  std::atomic<uint32_t> state{0};
  std::atomic<int32_t> error{0};
  std::atomic<int32_t> sub_error{0};
  std::atomic<uint32_t> progress{0};

  // Touched by the session thread only.
  uint64_t bytes_sent = 0;
  uint64_t full_firmware_size = 0;

  uint32_t reboot = 0;
  uint32_t move_calib = 0;

  // Fixed before the thread starts: the image downloaded in hardware mode (the one built into
  // the program) and how long the mode switch may take. Tests use smaller images and limits.
  std::span<const uint8_t> flash_bootloader;
  uint32_t mode_switch_poll_limit = MODE_SWITCH_POLL_LIMIT;
};

// Lifecycle (session.cpp). kavro_flash_init is create_session + launch_session;
// tests may adjust the record in between.
int create_session(flash_session** session, const char* ads_file, const char* settings_file,
                   const char* base_file, const char* ota_file, dm_state** dm, int index,
                   uint32_t reboot, uint32_t move_calib, const char* public_key_file,
                   const char* private_key_file);
int launch_session(flash_session** session);
// Waits until the session thread has ended (it may end by itself or after a stop request).
void join_session_thread(flash_session& session);

// Status updates, on the session thread (session_context.cpp). Each publishes its field so
// that kavro_flash_get_status reads a consistent pair from any thread.
void record_error(flash_session& session, int error, int sub_error);
void enter_state(flash_session& session, uint32_t state);
void set_progress(flash_session& session, uint32_t percent);

// The session thread's body (session_sequence.cpp).
void session_thread(flash_session& session);

// Hardware mode (bringup_transfers.cpp). send_ads_data replays the session's script through
// replay_script, which takes its commands from any source.
struct script_command {
  uint32_t type = 0;
  uint32_t first = 0;
  uint32_t second = 0;
  uint32_t third = 0;
};
using script_source = std::function<int(script_command& command)>;
int replay_script(flash_session& session, const script_source& next_command);
int send_ads_data(flash_session& session);
int send_bld_data(flash_session& session, std::span<const uint8_t> image);
std::chrono::milliseconds usleep_pause_length(int32_t microseconds);
void us_delay(flash_session& session, int32_t microseconds);

// Software-mode control messages (control_messages.cpp).
int exchange_command(flash_session& session, std::span<uint8_t> block, uint32_t timeout_ms);
int send_partition_details(flash_session& session);
int send_erase_partition(flash_session& session, std::string_view device_name);
int send_device_id(flash_session& session);
int send_ptb_write(flash_session& session);
int send_reboot(flash_session& session);

// Partition images (image_streaming.cpp).
int send_firmware_file(flash_session& session, std::string_view name, uint32_t use_ota,
                       uint32_t hw_version);
int send_signature(flash_session& session, std::string_view device_name,
                   std::span<const uint8_t, SW_SIGNATURE_FIELD_LENGTH> signature);
int get_full_firmware_size(flash_session& session, uint64_t& total, uint32_t use_ota);
void update_firmware_flash_percent(flash_session& session, uint64_t bytes);
