// What the session thread needs of its own record: the stop signal, and publishing its state,
// error pair and progress. Nothing here reaches back into the public operations.

#include "flash/session_context.h"

void stop_signal::request() {
  {
    std::lock_guard lock(mutex_);
    flag_.store(1, std::memory_order_release);
  }
  wake_.notify_all();
}

void stop_signal::pause(std::chrono::milliseconds length) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, length, [this] { return requested(); });
}

void record_error(flash_session& session, int error, int sub_error) {
  session.sub_error.store(sub_error, std::memory_order_relaxed);
  session.error.store(error, std::memory_order_release);
}

void enter_state(flash_session& session, uint32_t state) {
  session.state.store(state, std::memory_order_release);
}

void set_progress(flash_session& session, uint32_t percent) {
  session.progress.store(percent, std::memory_order_relaxed);
}
