// kavro-station's results store: the direct SQLite writer, the spooled PostgreSQL writer, and
// what happens to records that neither can take.
#include "station/results/results_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>

#include "common/environment.h"
#include "station/results/postgres_sender.h"
#include "station/results/schema.h"
#include "station/results/spool.h"

namespace results {
namespace {

// How long the end of a shift waits for the spool to reach a server that answers.
constexpr auto kDrainLimit = std::chrono::seconds(10);

void warn(const std::string& message) {
  std::fprintf(stderr, "kavro-station: %s\n", message.c_str());
}

std::string clock_time(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  localtime_r(&seconds, &parts);
  char text[8];
  std::strftime(text, sizeof text, "%H:%M", &parts);
  return text;
}

}  // namespace

class ResultsStore::Sink {
 public:
  virtual ~Sink() = default;
  // Throws std::runtime_error (DatabaseError, RecordError) when the record was not stored.
  virtual void store(const std::string& line) = 0;
  virtual std::string status() const = 0;
  // False when records were lost on the way (lines of the spool that were not records).
  virtual bool finish() = 0;
};

namespace {

std::unique_ptr<Database> prepared_sqlite(const std::string& path) {
  auto db = open_sqlite(path);
  prepare_schema(*db);
  return db;
}

// An SQLite file: each record is one transaction of its own, committed before keep() returns.
class SqliteSink final : public ResultsStore::Sink {
 public:
  SqliteSink(const std::string& path, const std::string& station)
      : db_(prepared_sqlite(path)), writer_(*db_, station, warn) {}
  void store(const std::string& line) override { writer_.write(line); }
  std::string status() const override { return ""; }
  bool finish() override { return true; }

 private:
  std::unique_ptr<Database> db_;
  RecordWriter writer_;
};

// One station per spool: a second one would send the same lines and count them wrong. Held
// from before the spool is opened until after the sender has stopped.
class SpoolLock {
 public:
  explicit SpoolLock(const std::string& spool_path) {
    std::filesystem::create_directories(std::filesystem::path(spool_path).parent_path());
    const std::string lock_path = spool_path + ".lock";
    fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      throw DatabaseError(Failure::kRefused, lock_path + ": " + std::strerror(errno));
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd_);
      throw DatabaseError(Failure::kRefused, "the spool " + spool_path +
                                                 " is in use by another kavro-station; give "
                                                 "each station its own --spool");
    }
  }
  ~SpoolLock() { ::close(fd_); }
  SpoolLock(const SpoolLock&) = delete;
  SpoolLock& operator=(const SpoolLock&) = delete;

 private:
  int fd_;
};

// A PostgreSQL server: each record is committed to the spool, and the sender takes it on.
class SpoolSink final : public ResultsStore::Sink {
 public:
  SpoolSink(const std::string& conninfo, const std::string& spool_path, const std::string& station)
      : spool_path_(spool_path), lock_(spool_path), spool_(spool_path) {
    std::unique_ptr<Database> db;
    try {
      db = connect_postgres(conninfo, ServerLimits{}, "kavro-station");
      prepare_schema(*db);
    } catch (const DatabaseError& error) {
      if (error.failure() != Failure::kUnreachable) {
        throw;
      }
      warn("results server unreachable: " + std::string(error.what()) +
           "; records wait in the spool " + spool_path + " until it answers");
      db.reset();
    }
    sender_.emplace(conninfo, spool_path, station, std::move(db), spool_.size(), warn);
  }

  void store(const std::string& line) override {
    spool_.append(line);
    sender_->spooled();
  }

  std::string status() const override {
    const SenderStatus status = sender_->status();
    if (status.reachable) {
      return "";
    }
    return "results server unreachable since " + clock_time(status.unreachable_since) + ", " +
           std::to_string(status.waiting) + " records waiting";
  }

  bool finish() override {
    sender_->drain(kDrainLimit);
    const SenderStatus status = sender_->status();
    sender_.reset();
    if (status.waiting > 0) {
      warn(std::to_string(status.waiting) + " records wait in the spool " + spool_path_ +
           "; the next start sends them");
    }
    return status.rejected == 0;
  }

 private:
  std::string spool_path_;
  SpoolLock lock_;
  Spool spool_;
  std::optional<PostgresSender> sender_;
};

}  // namespace

std::string default_spool_path() {
  if (::geteuid() == 0) {
    return "/var/lib/kavro-station/spool.sqlite";
  }
  const char* state = std::getenv(environment_name(STATION_ENVIRONMENT, "XDG_STATE_HOME"));
  const char* home = std::getenv(environment_name(STATION_ENVIRONMENT, "HOME"));
  const std::string folder = state != nullptr && *state != '\0' ? state
                             : home != nullptr ? std::string(home) + "/.local/state"
                                               : "/tmp";
  return folder + "/kavro-station/spool.sqlite";
}

ResultsStore::ResultsStore(const StoreOptions& options) : results_log_(options.results_log) {
  if (names_server(options.database)) {
    sink_ = std::make_unique<SpoolSink>(
        options.database, options.spool.empty() ? default_spool_path() : options.spool,
        options.station);
  } else {
    sink_ = std::make_unique<SqliteSink>(options.database, options.station);
  }
}

ResultsStore::~ResultsStore() = default;

void ResultsStore::keep(const std::string& line) {
  if (accepting()) {
    try {
      sink_->store(line);
      return;
    } catch (const std::runtime_error& error) {
      warn(std::string("cannot store a record in the results database: ") + error.what() +
           "; no new modules are taken, the running ones finish and their records are kept in "
           "memory" +
           (results_log_ ? " and in the results log" : ""));
    }
  }
  kept_.push_back(line);
}

std::string ResultsStore::status() const {
  if (!accepting()) {
    return "results database unwritable: no new modules, " + std::to_string(kept_.size()) +
           " records kept in memory" + (results_log_ ? " and in the results log" : "");
  }
  return sink_->status();
}

bool ResultsStore::finish() {
  const bool delivered = sink_->finish();
  if (!kept_.empty()) {
    warn(std::to_string(kept_.size()) + " records are not in the results database:");
    for (const std::string& line : kept_) {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  }
  return delivered && kept_.empty();
}

}  // namespace results
