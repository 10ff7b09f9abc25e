// Automated mode: the request queue, its listener and handler threads, and the road that runs
// them.

#include "app/automation.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "app/exit_codes.h"
#include "app/input_warnings.h"
#include "app/request_dispatch.h"
#include "app/session_table.h"
#include "app/stop_signals.h"

int RequestQueue::command_put(std::string_view line) {
  {
    std::lock_guard lock(command_mutex_);
    const size_t next_in = (command_in_ + 1) % REQUEST_QUEUE_SLOTS;
    if (next_in == command_out_) {
      return -1;
    }
    auto& slot = command_list_[command_in_];
    const size_t length = std::min(line.size(), slot.size() - 1);
    std::copy_n(line.data(), length, slot.data());
    std::fill(slot.begin() + static_cast<std::ptrdiff_t>(length), slot.end(), '\0');
    command_in_ = next_in;
  }
  changed_.notify_one();
  return 0;
}

int RequestQueue::command_get(std::span<char, REQUEST_LINE_SIZE> buffer) {
  std::lock_guard lock(command_mutex_);
  if (command_in_ == command_out_) {
    return -1;
  }
  std::copy(command_list_[command_out_].begin(), command_list_[command_out_].end(), buffer.begin());
  command_out_ = (command_out_ + 1) % REQUEST_QUEUE_SLOTS;
  return 0;
}

bool RequestQueue::wait_for_request() {
  std::unique_lock lock(command_mutex_);
  changed_.wait(lock, [this] { return stopping_ || closed_ || command_in_ != command_out_; });
  return !stopping_ && command_in_ != command_out_;
}

void RequestQueue::close() {
  {
    std::lock_guard lock(command_mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

void RequestQueue::stop() {
  {
    std::lock_guard lock(command_mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

void incoming_listener(RequestQueue& queue, std::FILE* input) {
  std::array<char, REQUEST_LINE_SIZE> line{};
  while (std::fgets(line.data(), static_cast<int>(line.size()), input) != nullptr) {
    if (line[0] == REQUEST_QUIT_START) {
      break;
    }
    if (line[0] == REQUEST_LINE_START) {
      queue.command_put(line.data());
    }
  }
  queue.close();
}

void line_handler(RequestQueue& queue, RequestContext& context) {
  std::array<char, REQUEST_LINE_SIZE> request{};
  while (queue.wait_for_request()) {
    if (queue.command_get(request) == 0) {
      process_request(context, request.data());
    }
  }
}

int run_automated(const Options& options, dm_state** dm, SessionTable& sessions) {
  print_input_warnings(options);
  std::unique_ptr<RequestQueue> queue;
  try {
    queue = std::make_unique<RequestQueue>();
  } catch (const std::bad_alloc&) {
    return EXIT_REQUEST_QUEUE;
  }
  RequestContext context{dm, sessions, options};
  // The handler starts first: should the listener then fail to start, the handler can still be
  // stopped and joined, whereas a listener blocked on standard input could not.
  std::thread handler;
  try {
    handler = std::thread(line_handler, std::ref(*queue), std::ref(context));
  } catch (const std::system_error&) {
    return EXIT_THREAD_START;
  }
  std::thread listener;
  try {
    // The only thread that takes the stop signals: they end its read of standard input.
    listener = std::thread([&queue] {
      accept_stop_signals();
      incoming_listener(*queue, stdin);
    });
  } catch (const std::system_error&) {
    queue->stop();
    handler.join();
    return EXIT_THREAD_START;
  }
  listener.join();
  // While the requests already read are answered, a further signal ends the program at once.
  accept_stop_signals();
  handler.join();
  sessions.destroy_all();
  return EXIT_FLASHED;
}
