#pragma once

// The thread that carries the spool to a PostgreSQL server: oldest lines first, a batch per
// transaction, each batch taken out of the spool once the server has committed it. While the
// server cannot be reached it tries again every second; flashing never waits for it, since the
// station only ever waits for the spool. A batch that was committed but not yet taken out when
// the station died is sent again by the next start and stored once (see schema.h).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "station/results/database.h"
#include "station/results/schema.h"

namespace results {

class Spool;

struct SenderStatus {
  bool reachable = true;
  std::chrono::system_clock::time_point unreachable_since;
  int64_t waiting = 0;   // lines in the spool
  int64_t rejected = 0;  // lines that were not records, dropped with a warning
};

class PostgresSender {
 public:
  // Starts sending the spool at `spool_path` to `conninfo`. `connected` is a connection whose
  // schema is prepared, or null when the server could not be reached yet; `waiting` the lines
  // in the spool now. `warn` hears why the server cannot be reached (once each time it goes
  // away), and of lines that are not records; it is called from the sender's thread.
  PostgresSender(std::string conninfo, std::string spool_path, std::string default_station,
                 std::unique_ptr<Database> connected, int64_t waiting, RecordWriter::Warn warn);
  // Stops at once (an unanswered statement is cut short); unsent lines stay in the spool.
  ~PostgresSender();
  PostgresSender(const PostgresSender&) = delete;
  PostgresSender& operator=(const PostgresSender&) = delete;

  // A line was committed to the spool.
  void spooled();
  SenderStatus status() const;
  // Waits until the spool is empty, the server is away, or `limit` has passed.
  void drain(std::chrono::milliseconds limit);

 private:
  void run();
  // Sends one batch from the spool; false when the spool was empty.
  bool send_batch(Database& db, RecordWriter& writer, Spool& spool);
  void set_reachable(bool reachable, const std::string& why);
  // Waits for a new line (or the retry time when `retry`); false once stopping.
  bool wait(bool retry);
  bool stopping() const;

  const std::string conninfo_;
  const std::string spool_path_;
  const std::string default_station_;
  const RecordWriter::Warn warn_;
  std::unique_ptr<Database> connected_;
  int wake_fd_ = -1;  // an eventfd, readable once stopping: cuts a server wait short

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool spooled_ = false;
  SenderStatus status_;
  std::thread thread_;  // last: started once everything above is ready
};

}  // namespace results
