#pragma once

// The station's spool: an SQLite file of results-log lines on their way to a results server.
// A line is committed here (synchronous=FULL) before its module is reported done, and taken
// out only once the server has committed it, so a station that is killed, or a server that is
// away, loses nothing; the next sender picks up where the last one stopped, oldest first.
// One Spool per thread: the station appends through one and its sender reads through another.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "station/results/database.h"

namespace results {

class Spool {
 public:
  struct Entry {
    int64_t sequence;
    std::string line;
  };

  // Opens or creates the spool at `path`. Throws DatabaseError (kNotOurs for a file that is
  // not a spool).
  explicit Spool(const std::string& path);

  void append(const std::string& line);
  // Up to `count` lines, oldest first.
  std::vector<Entry> oldest(int count);
  // Takes out every line up to and including `sequence`.
  void remove_through(int64_t sequence);
  int64_t size();

 private:
  std::unique_ptr<Database> db_;
};

}  // namespace results
