// The PostgreSQL engine behind results::Database, through libpq's asynchronous calls so that
// connecting and every statement end by a deadline of our own (a server that stopped answering
// on an open connection would otherwise keep libpq waiting for as long as TCP does), or at once
// when the owner signals the wake descriptor.
#include <libpq-fe.h>
#include <poll.h>

#include <cstdio>
#include <map>
#include <string>

#include "common/c_handle.h"
#include "station/results/database.h"

namespace results {
namespace {

using Clock = std::chrono::steady_clock;
using Result = CHandle<PGresult, PQclear>;

constexpr unsigned kBooleanType = 16;  // pg_type's oid of boolean

std::string seconds_text(std::chrono::milliseconds limit) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(limit).count());
  return text;
}

class PostgresDatabase final : public Database {
 public:
  PostgresDatabase(const std::string& conninfo, const ServerLimits& limits, const char* application,
                   int wake_fd)
      : limits_(limits), wake_fd_(wake_fd) {
    // Earlier keywords are defaults that the caller's string may override; it is expanded
    // because "dbname" comes with expand_dbname set.
    const std::string options = "-c statement_timeout=" + std::to_string(limits.statement.count());
    const char* keywords[] = {"options", "application_name", "dbname", nullptr};
    const char* values[] = {options.c_str(), application, conninfo.c_str(), nullptr};
    connection_.reset(PQconnectStartParams(keywords, values, 1));
    if (!connection_ || PQstatus(connection_.get()) == CONNECTION_BAD) {
      lost("cannot connect");
    }
    const auto deadline = Clock::now() + limits.connect;
    for (auto polling = PGRES_POLLING_WRITING; polling != PGRES_POLLING_OK;
         polling = PQconnectPoll(connection_.get())) {
      if (polling == PGRES_POLLING_FAILED) {
        lost("cannot connect");
      }
      wait(polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline, limits.connect);
    }
    PQsetNoticeProcessor(
        connection_.get(), [](void*, const char*) {}, nullptr);
    PQsetnonblocking(connection_.get(), 1);
  }

  const Dialect& dialect() const override { return kPostgresDialect; }
  std::string name() const override { return "the results server"; }

  int64_t execute(const std::string& sql, const std::vector<Value>& parameters) override {
    const Result result = run(sql, parameters);
    const std::string changed = PQcmdTuples(result.get());
    return changed.empty() ? 0 : std::stoll(changed);
  }

  std::vector<Row> query(const std::string& sql, const std::vector<Value>& parameters) override {
    const Result result = run(sql, parameters);
    std::vector<Row> rows(PQntuples(result.get()));
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      for (int column = 0; column < PQnfields(result.get()); ++column) {
        if (PQgetisnull(result.get(), row, column)) {
          rows[row].emplace_back();
        } else if (PQftype(result.get(), column) == kBooleanType) {
          rows[row].emplace_back(*PQgetvalue(result.get(), row, column) == 't' ? "1" : "0");
        } else {
          rows[row].emplace_back(PQgetvalue(result.get(), row, column));
        }
      }
    }
    return rows;
  }

 private:
  // Sends one statement and collects its result by the statement deadline. A statement with
  // parameters is prepared on its first use on the connection and only bound after that, so
  // that a record costs the server no parsing and planning.
  Result run(const std::string& sql, const std::vector<Value>& parameters) {
    if (given_up_) {
      throw DatabaseError(Failure::kUnreachable, "the connection to the results server was lost");
    }
    std::vector<std::string> texts(parameters.size());
    std::vector<const char*> values(parameters.size());
    for (size_t index = 0; index < parameters.size(); ++index) {
      values[index] = text_of(parameters[index], texts[index]);
    }
    PGconn* connection = connection_.get();
    const int count = static_cast<int>(values.size());
    const auto deadline = Clock::now() + limits_.statement;
    if (parameters.empty()) {
      sent(PQsendQueryParams(connection, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
      return checked(collect(deadline));
    }
    const auto [statement, added] =
        prepared_.try_emplace(sql, "kavro_" + std::to_string(prepared_.size()));
    if (added) {
      try {
        sent(PQsendPrepare(connection, statement->second.c_str(), sql.c_str(), count, nullptr));
        checked(collect(deadline));
      } catch (const DatabaseError&) {
        prepared_.erase(statement);
        throw;
      }
    }
    sent(PQsendQueryPrepared(connection, statement->second.c_str(), count, values.data(), nullptr,
                             nullptr, 0));
    return checked(collect(deadline));
  }

  void sent(int accepted) {
    if (!accepted) {
      lost("cannot send to the results server");
    }
  }

  // Sends what is queued and reads every result of the statement; the last one.
  Result collect(Clock::time_point deadline) {
    PGconn* connection = connection_.get();
    for (int flushed; (flushed = PQflush(connection)) != 0;) {
      if (flushed < 0) {
        lost("cannot send to the results server");
      }
      wait(POLLIN | POLLOUT, deadline, limits_.statement);
      consume();
    }
    Result last;
    while (true) {
      while (PQisBusy(connection)) {
        wait(POLLIN, deadline, limits_.statement);
        consume();
      }
      Result next(PQgetResult(connection));
      if (!next) {
        return last;
      }
      last = std::move(next);
    }
  }

  Result checked(Result result) {
    const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      if (PQstatus(connection_.get()) == CONNECTION_BAD) {
        lost("the results server closed the connection");
      }
      throw DatabaseError(Failure::kRefused,
                          trimmed(result ? PQresultErrorMessage(result.get()) : "no result"));
    }
    return result;
  }

  static const char* text_of(const Value& value, std::string& text) {
    if (std::holds_alternative<std::nullptr_t>(value)) {
      return nullptr;
    }
    if (const auto* given = std::get_if<std::string>(&value)) {
      return given->c_str();
    }
    if (const auto* whole = std::get_if<int64_t>(&value)) {
      text = std::to_string(*whole);
    } else if (const auto* real = std::get_if<double>(&value)) {
      char digits[32];
      std::snprintf(digits, sizeof digits, "%.17g", *real);  // the same double on the server
      text = digits;
    } else {
      text = std::get<bool>(value) ? "true" : "false";
    }
    return text.c_str();
  }

  void consume() {
    if (!PQconsumeInput(connection_.get())) {
      lost("the results server closed the connection");
    }
  }

  // Waits for `events` on the connection's socket until `deadline`; past it, or when woken,
  // the connection is given up.
  void wait(short events, Clock::time_point deadline, std::chrono::milliseconds limit) {
    pollfd fds[2] = {{PQsocket(connection_.get()), events, 0}, {wake_fd_, POLLIN, 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int ready = left.count() <= 0 ? 0 : ::poll(fds, wake_fd_ < 0 ? 1 : 2, left.count());
    if (ready > 0 && fds[1].revents != 0) {
      give_up("stopped waiting for the results server");
    }
    if (ready == 0) {
      give_up("no answer from the results server within " + seconds_text(limit) + " s");
    }
  }

  [[noreturn]] void give_up(const std::string& why) {
    given_up_ = true;
    throw DatabaseError(Failure::kUnreachable, why);
  }

  [[noreturn]] void lost(const std::string& what) {
    const char* detail = connection_ ? PQerrorMessage(connection_.get()) : "";
    give_up(*detail != '\0' ? what + ": " + trimmed(detail) : what);
  }

  static std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
      text.pop_back();
    }
    for (char& c : text) {
      c = c == '\n' ? ' ' : c;
    }
    return text;
  }

  ServerLimits limits_;
  int wake_fd_;
  bool given_up_ = false;
  CHandle<PGconn, PQfinish> connection_;
  std::map<std::string, std::string> prepared_;  // SQL -> the name it is prepared under
};

}  // namespace

std::unique_ptr<Database> connect_postgres(const std::string& conninfo, const ServerLimits& limits,
                                           const char* application, int wake_fd) {
  return std::make_unique<PostgresDatabase>(conninfo, limits, application, wake_fd);
}

}  // namespace results
