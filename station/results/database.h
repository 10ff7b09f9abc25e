#pragma once

// One connection to a results database, SQLite or PostgreSQL, behind one small interface: the
// schema, the station's writers and kavro-report speak SQL through it and never call either
// engine's library. A Database is used by one thread at a time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace results {

// A statement parameter. Texts are UTF-8; nullptr_t is SQL NULL.
using Value = std::variant<std::nullptr_t, std::string, int64_t, double, bool>;
// One result row, every value as text as the engine prints it (booleans as "1" and "0" in both
// engines); nothing for NULL.
using Row = std::vector<std::optional<std::string>>;

// What went wrong, as far as the caller must tell apart.
enum class Failure {
  kUnreachable,  // no connection, a lost one, or no answer within the time limit: try again later
  kNotOurs,      // the file or database is not a kavro results database, or a newer one
  kRefused,      // the engine refused the statement (permissions, a full disk, a removed file)
};

class DatabaseError : public std::runtime_error {
 public:
  DatabaseError(Failure failure, const std::string& what)
      : std::runtime_error(what), failure_(failure) {}
  Failure failure() const { return failure_; }

 private:
  Failure failure_;
};

// The differences between the two engines' SQL, all of them. The schema and every query are
// written once against these; anything else is plain SQL both engines read alike.
struct Dialect {
  const char* engine;        // for messages
  const char* id_column;     // an ascending row number given by the engine on insert
  const char* integer_type;  // 64-bit
  const char* real_type;     // double precision
  const char* boolean_type;  // SQLite has none: 0 and 1 in an INTEGER
  char placeholder;          // parameter n is written "?n" (SQLite) or "$n" (PostgreSQL)
  // Whether a database holds our schema: a number that equals `ours_mark` when it does.
  const char* ours_query;
  int64_t ours_mark;
  // The number of tables that a database not marked as ours may not hold if we are to create
  // ours in it: every table in an SQLite file; in PostgreSQL, where the database is shared,
  // only a table by our name.
  const char* foreign_tables_query;
  // Marks a database as ours, in the transaction that creates the schema.
  std::vector<const char*> mark_ours;
  const char* read_version;
  const char* write_version;  // printf format with one %d: a PRAGMA takes no parameters
  // Opens a transaction that migrates, holding off every other writer until it ends (two
  // stations that start at once on an empty database must not both create the schema).
  std::vector<const char*> begin_migration;
  // Settings applied to a database known to be ours.
  std::vector<const char*> settings;
};

extern const Dialect kSqliteDialect;
extern const Dialect kPostgresDialect;

// Time limits for a server: connecting, and any one statement. A server that stops answering
// costs at most one of these before the connection is given up.
struct ServerLimits {
  std::chrono::milliseconds connect{std::chrono::seconds(10)};
  std::chrono::milliseconds statement{std::chrono::seconds(10)};
};

class Database {
 public:
  virtual ~Database() = default;
  virtual const Dialect& dialect() const = 0;
  // How messages name the database: the SQLite file's path, or "the results server" (a
  // conninfo string may hold a password, so it is never repeated).
  virtual std::string name() const = 0;
  // Runs one statement with its parameters; the number of rows it changed.
  // Throws DatabaseError.
  virtual int64_t execute(const std::string& sql, const std::vector<Value>& parameters = {}) = 0;
  // Runs one statement and returns its rows. Throws DatabaseError.
  virtual std::vector<Row> query(const std::string& sql,
                                 const std::vector<Value>& parameters = {}) = 0;
};

// Whether a --db argument names a PostgreSQL server (a postgresql:// URI or a libpq conninfo
// string of key=value pairs) rather than an SQLite file.
bool names_server(const std::string& target);
// Opens (creating when missing) an SQLite file. Throws DatabaseError.
std::unique_ptr<Database> open_sqlite(const std::string& path);
// Connects to a PostgreSQL server within `limits.connect`. `wake_fd`, when not -1, is a file
// descriptor that becomes readable to cut a connect or a statement short (as kUnreachable).
// Throws DatabaseError.
std::unique_ptr<Database> connect_postgres(const std::string& conninfo, const ServerLimits& limits,
                                           const char* application, int wake_fd = -1);
// Either of the two for a --db argument.
std::unique_ptr<Database> open_database(const std::string& target, const char* application);

// The placeholder of parameter `n` (from 1) in `dialect`.
std::string placeholder(const Dialect& dialect, int n);
// A whole number from a row's value; 0 for NULL.
int64_t whole_number(const std::optional<std::string>& value);

}  // namespace results
