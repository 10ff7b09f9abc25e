// The two SQL dialects a results database is written in: everything SQLite and PostgreSQL do
// differently for us, in one table each.
#include <memory>
#include <optional>
#include <string>

#include "station/results/database.h"

namespace results {
namespace {

// "KRES": the application id of an SQLite file that holds kavro results, and the key of the
// PostgreSQL lock that migrations take.
constexpr int64_t kResultsMark = 0x4B524553;

}  // namespace

const Dialect kSqliteDialect{
    .engine = "SQLite",
    .id_column = "\"id\" INTEGER PRIMARY KEY",
    .integer_type = "INTEGER",
    .real_type = "REAL",
    .boolean_type = "INTEGER",
    .placeholder = '?',
    .ours_query = "SELECT application_id FROM pragma_application_id()",
    .ours_mark = kResultsMark,
    .foreign_tables_query = "SELECT count(*) FROM sqlite_schema",
    .mark_ours = {"PRAGMA application_id = 1263682899"},
    .read_version = "PRAGMA user_version",
    .write_version = "PRAGMA user_version = %d",
    .begin_migration = {"BEGIN IMMEDIATE"},
    // Every commit reaches the disk before the module is reported done; WAL lets kavro-report
    // read while the station writes.
    .settings = {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = FULL"},
};

const Dialect kPostgresDialect{
    .engine = "PostgreSQL",
    .id_column = "\"id\" bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY",
    .integer_type = "bigint",
    .real_type = "double precision",
    .boolean_type = "boolean",
    .placeholder = '$',
    .ours_query =
        "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema() AND "
        "tablename = 'kavro_schema'",
    .ours_mark = 1,
    .foreign_tables_query =
        "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema() AND "
        "tablename = 'kavro_results'",
    .mark_ours = {"CREATE TABLE kavro_schema (version integer NOT NULL)",
                  "INSERT INTO kavro_schema VALUES (0)"},
    .read_version = "SELECT version FROM kavro_schema",
    .write_version = "UPDATE kavro_schema SET version = %d",
    .begin_migration = {"BEGIN", "SELECT pg_advisory_xact_lock(1263682899)"},
    .settings = {},
};

std::string placeholder(const Dialect& dialect, int n) {
  return dialect.placeholder + std::to_string(n);
}

int64_t whole_number(const std::optional<std::string>& value) {
  return value ? std::stoll(*value) : 0;
}

// A conninfo string starts with a keyword and "="; a file path with a "=" in it has a "/" or a
// "." before it ("./a=b.sqlite").
bool names_server(const std::string& target) {
  const size_t equals = target.find('=');
  return target.starts_with("postgresql://") || target.starts_with("postgres://") ||
         (equals != std::string::npos && equals > 0 &&
          target.find_first_not_of(
              "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_ \t") >= equals);
}

std::unique_ptr<Database> open_database(const std::string& target, const char* application) {
  return names_server(target) ? connect_postgres(target, ServerLimits{}, application)
                              : open_sqlite(target);
}

}  // namespace results
