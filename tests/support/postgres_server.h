#pragma once

// A throw-away PostgreSQL server for one test program: a cluster made by initdb in a new
// temporary folder, listening only on a Unix socket in that folder, run by an unprivileged
// user (the Debian "postgres" user when the tests run as root, which PostgreSQL refuses).
// A watchdog process stops the server and removes the folder when the object goes away, and
// also when the test program dies without getting that far.

#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/subprocess.h"

namespace test_support {

class PostgresServer {
 public:
  // Makes the cluster and starts the server; throws std::runtime_error with initdb's or the
  // server's words when either fails.
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // A libpq conninfo string for `database` as the superuser "kavro".
  std::string conninfo(const std::string& database = "postgres") const;
  // The same as a postgresql:// URI.
  std::string uri(const std::string& database = "postgres") const;

  void stop();
  void start();

 private:
  // Runs a PostgreSQL program as the server's user; throws with its output when it fails.
  void run_as_owner(const std::string& program, const std::vector<std::string>& arguments);

  std::filesystem::path folder_;
  std::vector<std::string> as_owner_;  // runuser's words in front of the program, or none
  // Holds the watchdog's standard input: when it closes, the watchdog cleans up.
  struct Watchdog {
    std::unique_ptr<ChildProcess> process;
    ~Watchdog();
  } watchdog_;
};

}  // namespace test_support
