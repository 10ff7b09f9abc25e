#pragma once

// What the results database tests share: one throw-away PostgreSQL server per test program,
// a fresh database in it per case, and the rows of a database as the engines return them.

#include <fstream>
#include <string>
#include <vector>

#include "station/results/database.h"
#include "station/results/schema.h"
#include "tests/support/postgres_server.h"

namespace results_fixture {

inline test_support::PostgresServer& server() {
  static test_support::PostgresServer server;
  return server;
}

// A new, empty database on the server; its conninfo string.
inline std::string new_database(const std::string& name) {
  results::connect_postgres(server().conninfo(), {}, "test")->execute("CREATE DATABASE " + name);
  return server().conninfo(name);
}

// Every column of every record, oldest row first.
inline std::vector<results::Row> rows(const std::string& target) {
  std::string columns;
  for (const results::Column& column : results::columns()) {
    columns += (columns.empty() ? "\"" : ", \"") + std::string(column.key) + "\"";
  }
  return results::open_database(target, "test")
      ->query("SELECT " + columns + " FROM kavro_results ORDER BY id");
}

inline std::vector<std::string> lines(const std::string& path) {
  std::vector<std::string> all;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    all.push_back(line);
  }
  return all;
}

}  // namespace results_fixture
