#pragma once

// Where kavro-station keeps the record of every finished module besides the JSON Lines log
// (--db): an SQLite file written directly, or a PostgreSQL server reached through a local
// spool (see spool.h). A record that cannot be stored is never dropped: the store stops
// accepting new modules, keeps the records of the running ones in memory and writes them to
// standard error at the end.

#include <memory>
#include <string>
#include <vector>

namespace results {

struct StoreOptions {
  std::string database;      // --db: an SQLite file, or a PostgreSQL URI or conninfo string
  std::string spool;         // --spool; empty: default_spool_path()
  std::string station;       // --station: for records that name none (from older spools)
  bool results_log = false;  // the records also go to a JSON Lines log
};

// $XDG_STATE_HOME/kavro-station/spool.sqlite (~/.local/state when XDG_STATE_HOME is unset),
// or /var/lib/kavro-station/spool.sqlite for root.
std::string default_spool_path();

class ResultsStore {
 public:
  // What the store writes to: one database, or the spool of a server.
  class Sink;

  // Opens the database: an SQLite file is created or migrated; for a server, the spool is
  // opened and the server tried once (a server that cannot be reached is tried again all
  // shift long). Throws DatabaseError when the database refuses (kNotOurs: not a results
  // database, or a newer one; kRefused: it cannot be created or migrated).
  explicit ResultsStore(const StoreOptions& options);
  ~ResultsStore();
  ResultsStore(const ResultsStore&) = delete;
  ResultsStore& operator=(const ResultsStore&) = delete;

  // Stores the record of a finished module (its results-log line), before it is reported done.
  void keep(const std::string& line);
  // False once a record could not be stored: no new modules may be taken.
  bool accepting() const { return kept_.empty(); }
  // A line for the operator while records are not reaching the database; "" while they are.
  std::string status() const;
  // Ends the shift: gives the spool a moment to reach the server, and writes the records that
  // reached neither the database nor the spool to standard error. False when there were such.
  bool finish();

 private:
  std::unique_ptr<Sink> sink_;
  bool results_log_;
  std::vector<std::string> kept_;  // records that could not be stored, oldest first
};

}  // namespace results
