#pragma once
// Automated mode: the request queue between the listener and the handler, and the road itself.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <span>
#include <string_view>

#include "app/options.h"
#include "common/request_protocol.h"

struct dm_state;
class SessionTable;
struct RequestContext;

inline constexpr size_t REQUEST_QUEUE_SLOTS = 256;

// Request lines waiting between the listener, which reads standard input, and the handler,
// which executes them one at a time in arrival order. A ring of fixed slots allocated once; one
// slot always stays free, so at most 255 requests wait. Closing or stopping wakes a waiting
// handler.
class RequestQueue {
 public:
  // Stores a copy of `line` (cut to fit a slot with its NUL). 0, or -1 when the queue is full.
  int command_put(std::string_view line);
  // Moves the oldest request into `buffer`. 0, or -1 when the queue is empty.
  int command_get(std::span<char, REQUEST_LINE_SIZE> buffer);
  // Blocks until a request waits (true), or until the queue is closed and empty or has been
  // stopped (false). Requests still waiting when the queue stops are not handed out.
  bool wait_for_request();
  // No request will be added any more; those waiting are still handed out.
  void close();
  // Ends the handing out at once, waiting requests included.
  void stop();

 private:
  std::mutex command_mutex_;
  std::condition_variable changed_;
  std::array<std::array<char, REQUEST_LINE_SIZE>, REQUEST_QUEUE_SLOTS> command_list_{};
  size_t command_in_ = 0;
  size_t command_out_ = 0;
  bool closed_ = false;
  bool stopping_ = false;
};

// Listener: reads `input` in pieces of at most REQUEST_LINE_SIZE - 1 characters. A piece
// beginning with "[" is
// queued (dropped silently when the queue is full), one beginning with "Q" ends the protocol,
// anything else is ignored. The end of the input ends the protocol as "Q" does: nobody can send
// "Q" any more. A read interrupted by a stop signal ends it too. Closes the queue on its way
// out, so that a script which writes a batch and then "Q" gets every response.
void incoming_listener(RequestQueue& queue, std::FILE* input);

// Handler: executes the queued requests one after another until the queue is closed and empty,
// or stopped.
void line_handler(RequestQueue& queue, RequestContext& context);

// The automated road: serves the request protocol on standard input and output until "Q", the
// end of the input or a stop signal, answers every request read before that, then stops every
// session. Returns the process exit status.
int run_automated(const Options& options, dm_state** dm, SessionTable& sessions);
