// kavro-report against both engines: a results log imported (twice: stored once) and asked every
// question with its filters; the HTML page parsed as XML for its charts; and the databases that
// kavro-station and kavro-report must refuse or migrate (a version 2 record and its removal
// event land in the new columns).
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/app/fixtures.h"
#include "tests/report/results_fixture.h"

namespace {

using namespace results_fixture;

test_support::ProcessResult report(std::vector<std::string> arguments, const std::string& db) {
  arguments.insert(arguments.begin(), {"--db", db});
  return test_support::run_process(KAVRO_REPORT_BINARY, arguments);
}

// Three hours of two stations: line1 ports 1-1 to 1-4 on firmware 2.3.0, line2 ports 2-1 and
// 2-2 on 2.4.0, five modules per port and hour. Port 1-4 fails three times an hour; 2-1 once
// with the wrong platform; one session on 2-2 is stopped; one module has a USB serial.
std::string shift_log() {
  std::string log;
  const std::string digests[] = {std::string(64, 'a'), std::string(64, 'b')};
  for (int hour = 1; hour <= 3; ++hour) {
    for (const std::string port : {"1-1", "1-2", "1-3", "1-4", "2-1", "2-2"}) {
      const bool line1 = port[0] == '1';
      for (int module = 0; module < 5; ++module) {
        char started[64];
        std::snprintf(started, sizeof started, "2026-12-07T0%d:%02d:00.000Z", hour,
                      module * 10 + port[2] - '0');
        std::string line = std::string("{\"started\":\"") + started + "\",\"finished\":\"" +
                           started + "\",\"duration_s\":61.5,\"device_path\":\"" + port +
                           "\",\"platform\":\"cv22\",\"station\":\"" + (line1 ? "line1" : "line2") +
                           "\",\"firmware_version\":\"" + (line1 ? "2.3.0" : "2.4.0") +
                           "\",\"ota_archive_sha256\":\"" + digests[line1 ? 0 : 1] + "\",";
        if (port == "1-4" && module < 3) {
          line +=
              R"("result":"failed","error":-22,"sub_error":5,"error_text":"Error returned from device")";
        } else if (port == "2-1" && hour == 2 && module == 0) {
          line +=
              R"("result":"wrong_platform","error":-17,"sub_error":0,"error_text":"Platform mismatch")";
        } else if (port == "2-2" && hour == 3 && module == 4) {
          line += R"("result":"failed","stopped":true)";
        } else {
          line += std::string(R"("result":"ok")") +
                  (port == "1-1" && hour == 1 && module == 0 ? R"(,"usb_serial":"SER123")" : "");
        }
        log += line + "}\n";
      }
    }
  }
  return log;
}

// Each line of `expected` is a line of `text`.
void expect_lines(const std::string& text, const std::vector<std::string>& expected) {
  for (const std::string& line : expected) {
    EXPECT_NE(text.find("\n" + line + "\r\n"), std::string::npos) << line << " in\n" << text;
  }
}

class Report : public testing::TestWithParam<const char*> {
 protected:
  std::string database() {
    return GetParam() == std::string("sqlite") ? fixture::path("report.sqlite")
                                               : new_database("report");
  }
};

TEST_P(Report, AnswersEveryQuestionFromAnImportedLog) {
  const std::string db = database();
  const std::string log = fixture::files().write_file("shift.jsonl", shift_log());
  EXPECT_EQ(report({"import", log}, db).out,
            log + ": 90 records stored, 0 already there, 0 not records\n");
  EXPECT_EQ(report({"import", log}, db).out,
            log + ": 0 records stored, 90 already there, 0 not records\n");

  const std::string summary = report({"summary", "--csv"}, db).out;
  expect_lines(summary, {"all,,79,11,87.8 %,33.1", "station,line1,51,9,85.0 %,22.1",
                         "station,line2,28,2,93.3 %,11.2", "firmware,2.3.0,51,9,85.0 %,22.1"});
  expect_lines(report({"failures", "--csv"}, db).out,
               {"-22 5,9,81.8 %,81.8 %,Error returned from device",
                "-17 0,1,9.1 %,90.9 %,Platform mismatch", "stopped,1,9.1 %,100.0 %,",
                "line1,1-4,15,9,60.0 %,far above the rest", "line2,2-1,15,1,6.7 %,"});
  const struct {
    std::vector<std::string> filter;
    std::string all;
  } filters[] = {
      {{"--since", "2026-12-07 02:00", "--until", "2026-12-07T03:00Z"}, "all,,26,4,86.7 %,"},
      {{"--station", "line2"}, "all,,28,2,93.3 %,"},
      {{"--firmware", std::string(64, 'B')}, "all,,28,2,93.3 %,"},
      {{"--firmware", "2.3.0"}, "all,,51,9,85.0 %,"},
  };
  for (const auto& row : filters) {
    auto arguments = row.filter;
    arguments.insert(arguments.begin(), {"summary", "--csv"});
    const std::string out = report(arguments, db).out;
    EXPECT_NE(out.find("\n" + row.all), std::string::npos) << row.filter[1] << "\n" << out;
  }
  for (const auto& [wanted, records] : {std::pair{"1-4", 15}, std::pair{"SER123", 1}}) {
    const std::string out = report({"history", wanted, "--csv"}, db).out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), records + 1) << out;
  }
  const std::string table = report({"summary"}, db).out;
  EXPECT_NE(table.find("\nall                79      11  87.8 %      33.1\n"), std::string::npos)
      << table;

  const std::string page = fixture::path("report.html");
  ASSERT_EQ(report({"summary", "--html", page}, db).exit_status, 0);
  const auto parsed = test_support::run_process(
      "/usr/bin/python3",
      {"-c",
       "import sys, xml.etree.ElementTree as tree\n"
       "svg = '{http://www.w3.org/2000/svg}'\n"
       "page = tree.parse(sys.argv[1]).getroot()\n"
       "for chart in page.iter(svg + 'svg'):\n"
       "  print(chart.get('id'), *sorted(f\"{e.tag[len(svg):]}.{e.get('class')}\"\n"
       "        for e in chart if e.get('class')))\n",
       page});
  EXPECT_EQ(parsed.out,
            "hourly-chart polyline.yield rect.modules rect.modules rect.modules\n"
            "pareto-chart polyline.cumulative rect.failures rect.failures rect.failures\n")
      << parsed.err;
}

INSTANTIATE_TEST_SUITE_P(Engines, Report, testing::Values("sqlite", "postgresql"));

TEST(ResultsSchema, OlderDatabasesAreMigratedAndKeepTheirRecords) {
  for (const std::string& db : {fixture::path("version1.sqlite"), new_database("version1")}) {
    SCOPED_TRACE(db);
    {
      const auto old = results::open_database(db, "test");
      results::prepare_schema(*old, 1);
      old->execute(
          "INSERT INTO kavro_results (station, started, device_path, result) VALUES "
          "('line1', '2026-01-02T03:04:05.678Z', '1-1', 'ok')");
    }
    const std::string serial = fixture::files().write_file(
        "serial.jsonl",
        R"({"station":"line1","started":"2026-02-02T03:04:05.678Z","device_path":"1-1","result":"ok","usb_serial":"S1"})"
        "\n"
        R"({"event":"removed","station":"line1","started":"2026-02-02T03:04:05.678Z","device_path":"1-1","removed":"2026-02-02T03:05:00.000Z"})"
        "\n");
    ASSERT_EQ(report({"import", serial}, db).exit_status, 0);
    const auto records = rows(db);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0][1], "2026-01-02T03:04:05.678Z");
    EXPECT_EQ(records[1][27], "S1");
    EXPECT_EQ(records[1][28], "2026-02-02T03:05:00.000Z");
    const auto migrated = results::open_database(db, "test");
    EXPECT_EQ(migrated->query(migrated->dialect().read_version)[0][0], "2");
  }
}

TEST(ResultsSchema, ForeignAndNewerDatabasesAreRefused) {
  const std::string newer_server = new_database("newer");
  const struct {
    std::string db;
    std::function<void(results::Database&)> make;
    std::string message;
  } cases[] = {
      {fixture::files().write_file("text.sqlite", "a text file, long enough to have a header\n"),
       nullptr, "file is not a database"},
      {fixture::path("foreign.sqlite"),
       [](results::Database& db) { db.execute("CREATE TABLE other (x)"); },
       "is not a kavro results database"},
      {fixture::path("newer.sqlite"),
       [](results::Database& db) {
         results::prepare_schema(db);
         db.execute("PRAGMA user_version = 3");
       },
       "holds results schema version 3, newer than this program's 2"},
      {newer_server,
       [](results::Database& db) {
         results::prepare_schema(db);
         db.execute("UPDATE kavro_schema SET version = 3");
       },
       "holds results schema version 3, newer than this program's 2"},
  };
  for (const auto& refused : cases) {
    SCOPED_TRACE(refused.db);
    if (refused.make) {
      refused.make(*results::open_database(refused.db, "test"));
    }
    const auto station = test_support::run_process(
        KAVRO_STATION_BINARY, {"-o", fixture::ota_file("cv22"), "--once", "--db", refused.db},
        {{"KAVRO_FLASH", KAVRO_FLASH_SIM_BINARY}});
    EXPECT_EQ(station.exit_status, 2);
    EXPECT_NE(station.err.find(refused.message), std::string::npos) << station.err;
    const auto summary = report({"summary"}, refused.db);
    EXPECT_EQ(summary.exit_status, 2);
    EXPECT_NE(summary.err.find(refused.message), std::string::npos) << summary.err;
  }
}

}  // namespace
