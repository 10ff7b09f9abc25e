// The SQLite engine behind results::Database: prepared statements kept per SQL text, and a
// check before every write that the file is still where it was opened (SQLite would otherwise
// go on writing into a file that was deleted, and the records would be gone with it).
#include <sqlite3.h>

#include <map>
#include <string>

#include "common/c_handle.h"
#include "station/results/database.h"

namespace results {
namespace {

// How long a statement waits for another connection's write lock (the station's sender thread
// and kavro-report share files with the station).
constexpr int kBusyMilliseconds = 10000;

class SqliteDatabase final : public Database {
 public:
  explicit SqliteDatabase(const std::string& path) : path_(path) {
    sqlite3* handle = nullptr;
    const int status =
        sqlite3_open_v2(path.c_str(), &handle,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(handle);
    if (status != SQLITE_OK) {
      fail(status);
    }
    sqlite3_busy_timeout(handle, kBusyMilliseconds);
    sqlite3_extended_result_codes(handle, 1);
  }

  const Dialect& dialect() const override { return kSqliteDialect; }
  std::string name() const override { return path_; }

  int64_t execute(const std::string& sql, const std::vector<Value>& parameters) override {
    check_still_there();
    sqlite3_stmt* statement = prepared(sql, parameters);
    for (int status; (status = sqlite3_step(statement)) != SQLITE_DONE;) {
      if (status != SQLITE_ROW) {
        step_failed(statement, status);
      }
    }
    sqlite3_reset(statement);
    return sqlite3_changes64(db_.get());
  }

  std::vector<Row> query(const std::string& sql, const std::vector<Value>& parameters) override {
    sqlite3_stmt* statement = prepared(sql, parameters);
    std::vector<Row> rows;
    for (int status; (status = sqlite3_step(statement)) != SQLITE_DONE;) {
      if (status != SQLITE_ROW) {
        step_failed(statement, status);
      }
      Row& row = rows.emplace_back();
      for (int column = 0; column < sqlite3_column_count(statement); ++column) {
        const auto* text = sqlite3_column_text(statement, column);
        row.push_back(text == nullptr
                          ? std::nullopt
                          : std::optional<std::string>(reinterpret_cast<const char*>(text)));
      }
    }
    sqlite3_reset(statement);
    return rows;
  }

 private:
  using Statement = CHandle<sqlite3_stmt, sqlite3_finalize>;

  sqlite3_stmt* prepared(const std::string& sql, const std::vector<Value>& parameters) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) {
      sqlite3_stmt* handle = nullptr;
      const int status = sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &handle, nullptr);
      Statement statement(handle);
      if (status != SQLITE_OK) {
        fail(status);
      }
      found = statements_.emplace(sql, std::move(statement)).first;
    }
    sqlite3_stmt* statement = found->second.get();
    sqlite3_clear_bindings(statement);
    for (size_t index = 0; index < parameters.size(); ++index) {
      bind(statement, static_cast<int>(index) + 1, parameters[index]);
    }
    return statement;
  }

  static void bind(sqlite3_stmt* statement, int index, const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      sqlite3_bind_text(statement, index, text->c_str(), static_cast<int>(text->size()),
                        SQLITE_TRANSIENT);
    } else if (const auto* whole = std::get_if<int64_t>(&value)) {
      sqlite3_bind_int64(statement, index, *whole);
    } else if (const auto* real = std::get_if<double>(&value)) {
      sqlite3_bind_double(statement, index, *real);
    } else if (const auto* flag = std::get_if<bool>(&value)) {
      sqlite3_bind_int(statement, index, *flag ? 1 : 0);
    } else {
      sqlite3_bind_null(statement, index);
    }
  }

  void check_still_there() {
    int moved = 0;
    if (sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
        moved != 0) {
      throw DatabaseError(Failure::kRefused, path_ + ": the file was removed or moved");
    }
  }

  // The message belongs to the step; resetting the statement afterwards keeps it reusable.
  [[noreturn]] void step_failed(sqlite3_stmt* statement, int status) {
    const std::string message = sqlite3_errmsg(db_.get());
    sqlite3_reset(statement);
    fail(status, message);
  }

  [[noreturn]] void fail(int status) {
    fail(status, db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(status));
  }

  [[noreturn]] void fail(int status, const std::string& message) {
    const int primary = status & 0xff;
    const Failure failure = primary == SQLITE_NOTADB ? Failure::kNotOurs
                            : primary == SQLITE_BUSY ? Failure::kUnreachable
                                                     : Failure::kRefused;
    throw DatabaseError(failure, path_ + ": " + message);
  }

  std::string path_;
  CHandle<sqlite3, sqlite3_close_v2> db_;
  std::map<std::string, Statement> statements_;  // closed before db_: declared after it
};

}  // namespace

std::unique_ptr<Database> open_sqlite(const std::string& path) {
  return std::make_unique<SqliteDatabase>(path);
}

}  // namespace results
