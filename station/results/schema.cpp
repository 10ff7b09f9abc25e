// The results schema, its migrations and the writer of results-log lines, written once for
// both engines through results::Dialect.
#include "station/results/schema.h"

#include <json-c/json.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/c_handle.h"

namespace results {
namespace {

using enum ColumnType;

// Version 1 held the keys of the first results logs; version 2 added the traceability keys:
// what exactly was flashed (digests, settings, bring-up script, keys), by whom, into which
// module, and when it was taken out.
constexpr std::array kColumns{
    Column{"station", kText, 1},
    Column{"started", kText, 1},
    Column{"finished", kText, 1},
    Column{"duration_s", kReal, 1},
    Column{"device_path", kText, 1},
    Column{"remote", kText, 1},
    Column{"platform", kText, 1},
    Column{"firmware_version", kText, 1},
    Column{"ota_archive", kText, 1},
    Column{"base_archive", kText, 1},
    Column{"result", kText, 1},
    Column{"error", kInteger, 1},
    Column{"sub_error", kInteger, 1},
    Column{"error_text", kText, 1},
    Column{"sub_error_text", kText, 1},
    Column{"stopped", kBoolean, 1},
    Column{"ota_archive_sha256", kText, 2},
    Column{"base_archive_sha256", kText, 2},
    Column{"settings_file", kText, 2},
    Column{"settings_sha256", kText, 2},
    Column{"ads_file", kText, 2},
    Column{"ads_sha256", kText, 2},
    Column{"operator", kText, 2},
    Column{"flasher_version", kText, 2},
    Column{"secure_boot", kBoolean, 2},
    Column{"public_key_sha256", kText, 2},
    Column{"device_id", kInteger, 2},
    Column{"usb_serial", kText, 2},
    Column{"removed", kText, 2},
};

// The identity of a record (a unique index).
constexpr std::array<const char*, 3> kIdentity{"station", "started", "device_path"};

// The indexes of the questions kavro-report asks. Those that lead with a grouping column also
// hold every column their report reads, so that a summary over millions of records reads the
// index alone.
struct Index {
  const char* name;
  const char* columns;
  int since_version;
};
constexpr std::array kIndexes{
    Index{"started", "\"started\"", 1},
    // A port's history, and failures by port.
    Index{"port", "\"device_path\", \"station\", \"result\"", 1},
    // Failures by error pair.
    Index{"result", "\"result\", \"error\", \"sub_error\"", 1},
    // The summary by station and firmware, and the station filter.
    Index{"station", "\"station\", \"firmware_version\", \"result\", \"started\", \"finished\"", 1},
    Index{"firmware_version", "\"firmware_version\"", 1},
    Index{"ota_archive_sha256", "\"ota_archive_sha256\"", 2},
    Index{"usb_serial", "\"usb_serial\"", 2},
};

std::string quoted(const char* name) {
  return std::string("\"") + name + "\"";
}

const char* sql_type(const Dialect& dialect, ColumnType type) {
  switch (type) {
    case kInteger:
      return dialect.integer_type;
    case kReal:
      return dialect.real_type;
    case kBoolean:
      return dialect.boolean_type;
    case kText:
      break;
  }
  return "TEXT";
}

bool identity(const char* key) {
  return std::any_of(kIdentity.begin(), kIdentity.end(),
                     [&](const char* part) { return std::string_view(part) == key; });
}

// "(\"station\", \"started\", \"device_path\")"
std::string identity_columns() {
  std::string list;
  for (const char* part : kIdentity) {
    list += (list.empty() ? "(" : ", ") + quoted(part);
  }
  return list + ")";
}

// The position of `key` in kColumns; kColumns.size() for a key that has no column.
size_t column_index(std::string_view key) {
  return std::find_if(kColumns.begin(), kColumns.end(),
                      [&](const Column& column) { return column.key == key; }) -
         kColumns.begin();
}

std::string column_definition(const Dialect& dialect, const Column& column) {
  return quoted(column.key) + " " + sql_type(dialect, column.type) +
         (identity(column.key) ? " NOT NULL" : "");
}

// The statements that take a database from `version` - 1 to `version`: the first creates the
// table, every later one adds its columns; each creates its indexes.
std::vector<std::string> migration(const Dialect& dialect, int version) {
  std::vector<std::string> statements;
  if (version == 1) {
    std::string create = std::string("CREATE TABLE ") + kResultsTable + " (" + dialect.id_column;
    for (const Column& column : kColumns) {
      if (column.since_version == 1) {
        create += ", " + column_definition(dialect, column);
      }
    }
    create += ", UNIQUE " + identity_columns() + ")";
    statements.push_back(create);
  } else {
    for (const Column& column : kColumns) {
      if (column.since_version == version) {
        statements.push_back(std::string("ALTER TABLE ") + kResultsTable + " ADD COLUMN " +
                             column_definition(dialect, column));
      }
    }
  }
  for (const Index& index : kIndexes) {
    if (index.since_version == version) {
      statements.push_back(std::string("CREATE INDEX ") + kResultsTable + "_" + index.name +
                           " ON " + kResultsTable + " (" + index.columns + ")");
    }
  }
  return statements;
}

int64_t single_number(Database& db, const char* sql) {
  const auto rows = db.query(sql);
  return rows.empty() || rows.front().empty() ? 0 : whole_number(rows.front().front());
}

// The schema version of `db`: 0 for a database to create ours in. Throws kNotOurs. The tables
// are counted before the mark is read: another program that creates the schema meanwhile
// commits both at once, so a database seen with tables is then also seen as ours.
int current_version(Database& db) {
  const Dialect& dialect = db.dialect();
  const int64_t tables = single_number(db, dialect.foreign_tables_query);
  if (single_number(db, dialect.ours_query) == dialect.ours_mark) {
    return static_cast<int>(single_number(db, dialect.read_version));
  }
  if (tables != 0) {
    throw DatabaseError(Failure::kNotOurs, db.name() + " is not a kavro results database");
  }
  return 0;
}

void migrate(Database& db, int from, int to) {
  const Dialect& dialect = db.dialect();
  if (from == 0) {
    for (const char* statement : dialect.mark_ours) {
      db.execute(statement);
    }
  }
  for (int version = from + 1; version <= to; ++version) {
    for (const std::string& statement : migration(dialect, version)) {
      db.execute(statement);
    }
  }
  char set_version[64];
  std::snprintf(set_version, sizeof set_version, dialect.write_version, to);
  db.execute(set_version);
}

using JsonHandle = CHandle<json_object, json_object_put>;

bool has_type(json_object* value, ColumnType type) {
  switch (type) {
    case kInteger:
      return json_object_is_type(value, json_type_int);
    case kReal:
      return json_object_is_type(value, json_type_double) ||
             json_object_is_type(value, json_type_int);
    case kBoolean:
      return json_object_is_type(value, json_type_boolean);
    case kText:
      break;
  }
  return json_object_is_type(value, json_type_string);
}

Value value_of(json_object* value, ColumnType type) {
  switch (type) {
    case kInteger:
      return static_cast<int64_t>(json_object_get_int64(value));
    case kReal:
      return json_object_get_double(value);
    case kBoolean:
      return json_object_get_boolean(value) != 0;
    case kText:
      break;
  }
  return std::string(json_object_get_string(value));
}

}  // namespace

std::span<const Column> columns() {
  return kColumns;
}

void prepare_schema(Database& db, int version) {
  const Dialect& dialect = db.dialect();
  int found = current_version(db);
  if (found > version) {
    throw DatabaseError(Failure::kNotOurs,
                        db.name() + " holds results schema version " + std::to_string(found) +
                            ", newer than this program's " + std::to_string(version) +
                            ": use a newer kavro-flash");
  }
  for (const char* setting : dialect.settings) {
    db.query(setting);
  }
  if (found == version) {
    return;
  }
  for (const char* statement : dialect.begin_migration) {
    db.query(statement);
  }
  try {
    // Another program may have migrated it while this one waited for the lock.
    found = current_version(db);
    if (found < version) {
      migrate(db, found, version);
    }
    db.execute("COMMIT");
  } catch (const DatabaseError& error) {
    try {
      db.execute("ROLLBACK");
    } catch (const DatabaseError&) {
      // The first error says what went wrong; a failed rollback ends with the connection.
    }
    if (error.failure() != Failure::kRefused) {
      throw;
    }
    // Only a server has roles; its owner may migrate what a station's role may not.
    const bool server = &dialect == &kPostgresDialect;
    throw DatabaseError(
        Failure::kRefused,
        "cannot bring " + db.name() + " from results schema " + std::to_string(found) + " to " +
            std::to_string(version) + " (" + error.what() + ")" +
            (server ? ": the database's owner can, with kavro-report migrate" : ""));
  }
}

RecordWriter::RecordWriter(Database& db, std::string default_station, Warn warn)
    : db_(db), default_station_(std::move(default_station)), warn_(std::move(warn)) {
  const Dialect& dialect = db.dialect();
  std::string names;
  std::string placeholders;
  int count = 0;
  for (const Column& column : kColumns) {
    const char* separator = count == 0 ? "" : ", ";
    names += separator + quoted(column.key);
    placeholders += separator + placeholder(dialect, ++count);
  }
  insert_ = std::string("INSERT INTO ") + kResultsTable + " (" + names + ") VALUES (" +
            placeholders + ") ON CONFLICT " + identity_columns() + " DO NOTHING";
  update_removed_ = std::string("UPDATE ") + kResultsTable +
                    " SET \"removed\" = " + placeholder(dialect, 1) +
                    " WHERE \"station\" = " + placeholder(dialect, 2) +
                    " AND \"started\" = " + placeholder(dialect, 3) +
                    " AND \"device_path\" = " + placeholder(dialect, 4);
}

bool RecordWriter::write(const std::string& line) {
  const JsonHandle parsed(json_tokener_parse(line.c_str()));
  json_object* record = parsed.get();
  if (record == nullptr || !json_object_is_type(record, json_type_object)) {
    throw RecordError("not a JSON object");
  }
  std::vector<Value> values;
  for (const Column& column : kColumns) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(record, column.key, &value) || value == nullptr) {
      values.emplace_back(nullptr);
    } else if (!has_type(value, column.type)) {
      throw RecordError(std::string("\"") + column.key + "\" has a value of the wrong type");
    } else {
      values.push_back(value_of(value, column.type));
    }
  }
  const auto at = [&](const char* key) -> Value& { return values[column_index(key)]; };
  if (std::holds_alternative<std::nullptr_t>(at("station"))) {
    at("station") = default_station_;
  }
  if (std::holds_alternative<std::nullptr_t>(at("started")) ||
      std::holds_alternative<std::nullptr_t>(at("device_path"))) {
    throw RecordError("no \"started\" or no \"device_path\"");
  }
  json_object* event = nullptr;
  json_object_object_get_ex(record, "event", &event);
  json_object_object_foreach(record, key, unused) {
    (void)unused;
    const bool known = column_index(key) < kColumns.size() ||
                       (event != nullptr && key == std::string_view("event"));
    if (!known && warned_.insert(key).second) {
      warn_(std::string("key \"") + key + "\" has no column in the results database");
    }
  }
  if (event == nullptr) {
    return db_.execute(insert_, values) > 0;
  }
  const std::string kind = json_object_get_string(event);
  if (kind != "removed") {
    if (warned_.insert("event " + kind).second) {
      warn_("event \"" + kind + "\" is not kept in the results database");
    }
    return false;
  }
  if (std::holds_alternative<std::nullptr_t>(at("removed"))) {
    throw RecordError("a \"removed\" event without its time");
  }
  return db_.execute(update_removed_,
                     {at("removed"), at("station"), at("started"), at("device_path")}) > 0;
}

}  // namespace results
