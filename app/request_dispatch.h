#pragma once
// The dispatcher of automated-mode requests.

#include <string_view>

#include "app/options.h"

struct dm_state;
class SessionTable;

// What the request handlers work on: the device manager, the session of every slot and the
// options every session is started with.
struct RequestContext {
  dm_state** dm;
  SessionTable& sessions;
  const Options& options;
};

// Executes one request line "[tag command] index" and writes its response line(s) to standard
// output, flushed. A line without a readable head or with a negative tag gets no response.
void process_request(RequestContext& context, std::string_view line);
