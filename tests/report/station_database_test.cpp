// kavro-station recording simulated shifts into SQLite and into a real PostgreSQL server: every
// record of the results log arrives as one row, in order, once, whether the server stays, goes
// away in the middle of the shift, or the station is killed while records wait in its spool.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include "common/c_handle.h"
#include "tests/app/fixtures.h"
#include "tests/report/results_fixture.h"

namespace {

using results::Row;
using namespace results_fixture;

// Modules of `per_port` in turn on each of `ports` ports "<bus>-1", "<bus>-2", ...; with
// `failing`, the second module of the first port refuses an image.
std::string shift_config(const std::string& bus, int ports, int per_port, bool failing = false) {
  const std::string cv22 = R"("platform": "cv22", "attach_after_ms": 500, "leave_after_ms": 4000)";
  const std::string refusing =
      cv22 + R"(, "faults": [{"kind": "status", "command": "image_header", "status": 5}])";
  std::vector<std::string> modules;
  for (int port = 1; port <= ports; ++port) {
    std::string next;
    for (int module = 2; module <= per_port; ++module) {
      next += (module == 2 ? "{" : ", {") +
              (failing && port == 1 && module == 2 ? refusing : cv22) + "}";
    }
    modules.push_back("{\"port\": \"" + bus + "-" + std::to_string(port) + "\", " + cv22 +
                      ", \"next\": [" + next + "]}");
  }
  return fixture::sim_config("shift-" + bus + ".json", modules);
}

// A station over kavro-flash-sim, followed through its event lines.
class Station {
 public:
  Station(const std::string& config, std::vector<std::string> arguments)
      : process_(KAVRO_STATION_BINARY, with_firmware(std::move(arguments)),
                 {{"KAVRO_FLASH", KAVRO_FLASH_SIM_BINARY}, {"KAVRO_SIM_CONFIG", config}}) {}

  // Reads event lines until `done` holds; false when the lines stop first.
  bool until(const std::function<bool()>& done) {
    while (!done()) {
      const auto line = process_.read_line(std::chrono::minutes(2));
      if (!line) {
        return false;
      }
      finished_ +=
          line->find(" done in ") != line->npos || line->find(" failed after ") != line->npos;
      seen_ += *line;
    }
    return true;
  }
  bool until_finished(int count) {
    return until([&] { return finished_ >= count; });
  }
  bool until_seen(const std::string& words) {
    return until([&] { return seen_.find(words) != seen_.npos; });
  }
  test_support::ProcessResult stop(int signal = SIGTERM) {
    ::kill(process_.pid(), signal);
    return ended();
  }
  test_support::ProcessResult ended() { return process_.finish(std::chrono::minutes(2)); }
  const std::string& errors() const { return process_.error_output(); }

 private:
  static std::vector<std::string> with_firmware(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-o", fixture::ota_file("cv22")});
    return arguments;
  }

  test_support::ChildProcess process_;
  int finished_ = 0;
  std::string seen_;
};

std::string host_name() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

using JsonLine = CHandle<json_object, json_object_put>;

std::string text_of(json_object* record, const char* key) {
  json_object* value = nullptr;
  json_object_object_get_ex(record, key, &value);
  return value != nullptr ? json_object_get_string(value) : "";
}

// The log's result records, each with the time of its "removed" event folded in, as the
// database keeps them.
std::vector<JsonLine> results_of_log(const std::vector<std::string>& log) {
  std::vector<JsonLine> records;
  for (const std::string& text : log) {
    JsonLine line(json_tokener_parse(text.c_str()));
    if (text_of(line.get(), "event") != "removed") {
      records.push_back(std::move(line));
      continue;
    }
    for (JsonLine& record : records) {
      if (text_of(record.get(), "started") == text_of(line.get(), "started") &&
          text_of(record.get(), "device_path") == text_of(line.get(), "device_path")) {
        json_object_object_add(record.get(), "removed",
                               json_object_new_string(text_of(line.get(), "removed").c_str()));
      }
    }
  }
  return records;
}

// Each row holds every key of the log's record at its position, as the log has it.
void expect_rows_hold_log(const std::vector<Row>& rows, const std::vector<std::string>& log) {
  const auto records = results_of_log(log);
  ASSERT_EQ(rows.size(), records.size());
  const auto columns = results::columns();
  for (size_t index = 0; index < records.size(); ++index) {
    const JsonLine& line = records[index];
    for (size_t column = 0; column < columns.size(); ++column) {
      json_object* value = nullptr;
      const std::string key = columns[column].key;
      const auto& got = rows[index][column];
      if (!json_object_object_get_ex(line.get(), key.c_str(), &value) || value == nullptr) {
        EXPECT_EQ(got.value_or("NULL"), key == "station" ? host_name() : "NULL") << key;
      } else if (json_object_is_type(value, json_type_double)) {
        EXPECT_NEAR(std::stod(got.value_or("NaN")), json_object_get_double(value), 1e-9) << key;
      } else if (json_object_is_type(value, json_type_boolean)) {
        EXPECT_EQ(got.value_or("NULL"), json_object_get_boolean(value) ? "1" : "0") << key;
      } else {
        EXPECT_EQ(got.value_or("NULL"), json_object_get_string(value)) << key;
      }
    }
  }
}

// Lines whose device path starts with `bus`.
std::vector<Row> rows_of_bus(const std::vector<Row>& rows, const std::string& bus) {
  std::vector<Row> picked;
  std::copy_if(rows.begin(), rows.end(), std::back_inserter(picked),
               [&](const Row& row) { return row[4]->starts_with(bus + "-"); });
  return picked;
}

test_support::ProcessResult report(const std::vector<std::string>& arguments) {
  return test_support::run_process(KAVRO_REPORT_BINARY, arguments);
}

TEST(StationDatabase, ShiftIsRecordedAlikeInSqliteAndPostgresql) {
  // The station role holds only what the manual grants it.
  const std::string owner = new_database("shift_role");
  ASSERT_EQ(report({"--db", owner, "migrate"}).exit_status, 0);
  const auto db = results::connect_postgres(owner, {}, "test");
  db->execute("CREATE ROLE kavro_station LOGIN");
  db->execute("GRANT SELECT ON kavro_schema TO kavro_station");
  db->execute("GRANT INSERT ON kavro_results TO kavro_station");
  db->execute(
      "GRANT SELECT (station, started, device_path), UPDATE (removed) ON kavro_results TO "
      "kavro_station");
  const struct {
    std::string name, target, owner;
  } engines[] = {
      {"sqlite", fixture::path("shift.sqlite"), fixture::path("shift.sqlite")},
      {"postgresql uri", server().uri("shift_uri"), new_database("shift_uri")},
      {"postgresql station role", server().conninfo("shift_role") + " user=kavro_station", owner},
  };
  for (const auto& engine : engines) {
    SCOPED_TRACE(engine.name);
    const std::string log = fixture::path(engine.name + ".jsonl");
    std::vector<std::string> arguments{"--results", log, "--db", engine.target};
    if (results::names_server(engine.target)) {
      arguments.insert(arguments.end(), {"--spool", fixture::path(engine.name + ".spool")});
    }
    Station station(shift_config("5", 2, 2, true), arguments);
    ASSERT_TRUE(station.until_finished(4)) << station.errors();
    const auto ended = station.stop();
    EXPECT_EQ(ended.exit_status, 1) << ended.err;
    expect_rows_hold_log(rows(engine.owner), lines(log));
  }
  // The same log through the other engine: the same rows, value for value.
  const std::string imported = new_database("shift_imported");
  ASSERT_EQ(report({"--db", imported, "import", fixture::path("sqlite.jsonl")}).exit_status, 0);
  EXPECT_EQ(rows(imported), rows(fixture::path("shift.sqlite")));
}

TEST(StationDatabase, TwoStationsWriteIntoOneServerAtOnce) {
  const std::string db = new_database("two_stations");
  std::vector<std::unique_ptr<Station>> stations;
  for (const std::string bus : {"6", "7"}) {
    stations.push_back(std::make_unique<Station>(
        shift_config(bus, 2, 2),
        std::vector<std::string>{"--results", fixture::path(bus + ".jsonl"), "--db", db, "--spool",
                                 fixture::path(bus + ".spool")}));
  }
  for (auto& station : stations) {
    ASSERT_TRUE(station->until_finished(4)) << station->errors();
  }
  for (auto& station : stations) {
    EXPECT_EQ(station->stop().exit_status, 0);
  }
  const auto all = rows(db);
  EXPECT_EQ(all.size(), 8u);
  for (const std::string bus : {"6", "7"}) {
    expect_rows_hold_log(rows_of_bus(all, bus), lines(fixture::path(bus + ".jsonl")));
  }
}

TEST(StationDatabase, ServerStoppedMidShiftGetsEveryRecordOnceInOrder) {
  const std::string db = new_database("server_away");
  const std::string log = fixture::path("away.jsonl");
  Station station(shift_config("8", 3, 3),
                  {"--results", log, "--db", db, "--spool", fixture::path("away.spool")});
  ASSERT_TRUE(station.until_finished(3)) << station.errors();
  server().stop();
  ASSERT_TRUE(station.until_finished(6)) << station.errors();
  ASSERT_TRUE(station.until_seen("results server unreachable since ")) << station.errors();
  server().start();
  ASSERT_TRUE(station.until_seen("results server reachable again")) << station.errors();
  ASSERT_TRUE(station.until_finished(9)) << station.errors();
  EXPECT_EQ(station.stop().exit_status, 0);
  expect_rows_hold_log(rows(db), lines(log));
}

TEST(StationDatabase, SpoolSurvivesAKilledStationAndIsSentByTheNextStart) {
  const std::string db = new_database("killed");
  ASSERT_EQ(report({"--db", db, "migrate"}).exit_status, 0);
  const std::string spool = fixture::path("killed.spool");
  server().stop();
  {
    Station station(shift_config("9", 3, 1),
                    {"--results", fixture::path("killed.jsonl"), "--db", db, "--spool", spool});
    // Each record is in the spool before its module is reported done.
    ASSERT_TRUE(station.until_finished(3)) << station.errors();
    EXPECT_EQ(station.stop(SIGKILL).exit_status, 128 + SIGKILL);
  }
  server().start();
  Station next(shift_config("10", 1, 1),
               {"--results", fixture::path("next.jsonl"), "--db", db, "--spool", spool, "--once"});
  const auto ended = next.ended();
  EXPECT_EQ(ended.exit_status, 0) << ended.err;
  auto log = lines(fixture::path("killed.jsonl"));
  const auto after = lines(fixture::path("next.jsonl"));
  log.insert(log.end(), after.begin(), after.end());
  expect_rows_hold_log(rows(db), log);
}

TEST(StationDatabase, UnwritableDatabaseStopsNewModulesAndKeepsTheRecords) {
  const std::string file = fixture::path("removed.sqlite");
  const std::string log = fixture::path("removed.jsonl");
  Station station(shift_config("11", 2, 3), {"--results", log, "--db", file});
  ASSERT_TRUE(station.until_finished(2)) << station.errors();
  std::filesystem::remove(file);
  const auto ended = station.ended();
  EXPECT_EQ(ended.exit_status, 1);
  EXPECT_NE(ended.err.find("the file was removed or moved; no new modules are taken"),
            std::string::npos)
      << ended.err;
  // The second module of each port finished after the removal and is kept; none came after it.
  const auto logged = lines(log);
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_NE(ended.err.find("2 records are not in the results database:\n" + logged[2] + "\n" +
                           logged[3] + "\n"),
            std::string::npos)
      << ended.err;
}

}  // namespace
