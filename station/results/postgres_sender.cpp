// The spool's sender thread: connects, prepares the schema, sends batches, and tells the
// station whether the server can be reached and how many lines wait.
#include "station/results/postgres_sender.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "station/results/spool.h"

namespace results {
namespace {

constexpr int kBatch = 200;
constexpr auto kRetry = std::chrono::seconds(1);

}  // namespace

PostgresSender::PostgresSender(std::string conninfo, std::string spool_path,
                               std::string default_station, std::unique_ptr<Database> connected,
                               int64_t waiting, RecordWriter::Warn warn)
    : conninfo_(std::move(conninfo)),
      spool_path_(std::move(spool_path)),
      default_station_(std::move(default_station)),
      warn_(std::move(warn)),
      connected_(std::move(connected)),
      wake_fd_(eventfd(0, EFD_CLOEXEC)) {
  if (wake_fd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  status_.waiting = waiting;
  if (!connected_) {
    status_.reachable = false;
    status_.unreachable_since = std::chrono::system_clock::now();
  }
  thread_ = std::thread(&PostgresSender::run, this);
}

PostgresSender::~PostgresSender() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  const uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
  thread_.join();
  ::close(wake_fd_);
}

void PostgresSender::spooled() {
  {
    const std::lock_guard lock(mutex_);
    ++status_.waiting;
    spooled_ = true;
  }
  changed_.notify_all();
}

SenderStatus PostgresSender::status() const {
  const std::lock_guard lock(mutex_);
  return status_;
}

void PostgresSender::drain(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return status_.waiting == 0 || !status_.reachable; });
}

void PostgresSender::run() {
  std::unique_ptr<Database> db = std::move(connected_);
  std::unique_ptr<RecordWriter> writer;
  std::unique_ptr<Spool> spool;
  bool retry = !db;
  while (wait(retry)) {
    try {
      if (!spool) {
        spool = std::make_unique<Spool>(spool_path_);
      }
      if (!db) {
        db = connect_postgres(conninfo_, ServerLimits{}, "kavro-station", wake_fd_);
        prepare_schema(*db);
      }
      if (!writer) {
        writer = std::make_unique<RecordWriter>(*db, default_station_, warn_);
      }
      // A long backlog yields to stopping between batches: what is left stays in the spool.
      while (!stopping() && send_batch(*db, *writer, *spool)) {
        set_reachable(true, "");
      }
      set_reachable(true, "");
      retry = false;
    } catch (const DatabaseError& error) {
      writer.reset();
      db.reset();
      set_reachable(false, error.what());
      retry = true;
    }
  }
}

bool PostgresSender::send_batch(Database& db, RecordWriter& writer, Spool& spool) {
  const auto batch = spool.oldest(kBatch);
  if (batch.empty()) {
    return false;
  }
  int64_t rejected = 0;
  db.execute("BEGIN");
  for (const Spool::Entry& entry : batch) {
    try {
      writer.write(entry.line);
    } catch (const RecordError& error) {
      warn_(std::string("not a record, left out of the results database: ") + error.what() + ": " +
            entry.line);
      ++rejected;
    }
  }
  db.execute("COMMIT");
  spool.remove_through(batch.back().sequence);
  {
    const std::lock_guard lock(mutex_);
    status_.waiting -= static_cast<int64_t>(batch.size());
    status_.rejected += rejected;
  }
  changed_.notify_all();
  return true;
}

void PostgresSender::set_reachable(bool reachable, const std::string& why) {
  {
    const std::lock_guard lock(mutex_);
    if (status_.reachable == reachable) {
      return;
    }
    status_.reachable = reachable;
    if (!reachable) {
      status_.unreachable_since = std::chrono::system_clock::now();
    }
  }
  changed_.notify_all();
  if (!reachable) {
    warn_("results server unreachable: " + why + "; records wait in the spool " + spool_path_);
  }
}

bool PostgresSender::stopping() const {
  const std::lock_guard lock(mutex_);
  return stopping_;
}

bool PostgresSender::wait(bool retry) {
  std::unique_lock lock(mutex_);
  const auto woken = [&] { return stopping_ || spooled_; };
  if (retry) {
    changed_.wait_for(lock, kRetry, [&] { return stopping_; });
  } else if (status_.waiting == 0) {
    changed_.wait(lock, woken);
  }
  spooled_ = false;
  return !stopping_;
}

}  // namespace results
