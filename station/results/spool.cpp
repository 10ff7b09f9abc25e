// The station's spool of results-log lines, an SQLite file of its own kind.
#include "station/results/spool.h"

namespace results {
namespace {

// "KSPL": the application id of a spool file.
constexpr int64_t kSpoolMark = 0x4B53504C;
constexpr int kSpoolVersion = 1;

int64_t single_number(Database& db, const char* sql) {
  const auto rows = db.query(sql);
  return rows.empty() ? 0 : whole_number(rows.front().front());
}

}  // namespace

Spool::Spool(const std::string& path) : db_(open_sqlite(path)) {
  const bool ours =
      single_number(*db_, "SELECT application_id FROM pragma_application_id()") == kSpoolMark;
  if (!ours && single_number(*db_, "SELECT count(*) FROM sqlite_schema") != 0) {
    throw DatabaseError(Failure::kNotOurs, path + " is not a kavro-station spool");
  }
  if (ours && single_number(*db_, "PRAGMA user_version") > kSpoolVersion) {
    throw DatabaseError(Failure::kNotOurs, path + " is a spool of a newer kavro-station");
  }
  db_->query("PRAGMA journal_mode = WAL");
  db_->execute("PRAGMA synchronous = FULL");
  if (!ours) {
    db_->execute("BEGIN IMMEDIATE");
    db_->execute(
        "CREATE TABLE IF NOT EXISTS spool (sequence INTEGER PRIMARY KEY, line TEXT NOT NULL)");
    db_->execute("PRAGMA application_id = " + std::to_string(kSpoolMark));
    db_->execute("PRAGMA user_version = " + std::to_string(kSpoolVersion));
    db_->execute("COMMIT");
  }
}

void Spool::append(const std::string& line) {
  db_->execute("INSERT INTO spool (line) VALUES (?1)", {line});
}

std::vector<Spool::Entry> Spool::oldest(int count) {
  std::vector<Entry> entries;
  for (const Row& row : db_->query("SELECT sequence, line FROM spool ORDER BY sequence LIMIT ?1",
                                   {static_cast<int64_t>(count)})) {
    entries.push_back({whole_number(row[0]), row[1].value_or("")});
  }
  return entries;
}

void Spool::remove_through(int64_t sequence) {
  db_->execute("DELETE FROM spool WHERE sequence <= ?1", {sequence});
}

int64_t Spool::size() {
  return single_number(*db_, "SELECT count(*) FROM spool");
}

}  // namespace results
