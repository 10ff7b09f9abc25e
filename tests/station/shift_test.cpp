// A shift at a hub of three ports: three modules plugged into each port in turn, flashed by
// kavro-station through kavro-flash-sim. One module has the wrong platform (it stays in
// hardware mode until taken out), one refuses an image (it stays in software mode); neither
// may be flashed twice. The results log must hold one record per module, in plugging order
// per port, and the station must end on SIGTERM with status 1 for the two failures.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/app/fixtures.h"
#include "tests/support/subprocess.h"

namespace {

struct Expected {
  std::string platform;
  std::string result;
  std::string error;  // "error sub_error: error_text", empty for "ok"
};

// The config's modules per port, in plugging order, with what the log must say of each. A
// module is taken out once it has moved no data for 4 s (its session is over), the next one
// plugged in half a second later.
struct Port {
  std::string port;
  std::vector<std::pair<std::string, Expected>> modules;  // config members, expected record
};

const Expected kOk{"cv22", "ok", ""};
const std::string kCv22 = R"("platform": "cv22", "attach_after_ms": 500, "leave_after_ms": 4000)";

const std::vector<Port> kShift{
    {"7-1", {{kCv22, kOk}, {kCv22, kOk}, {kCv22, kOk}}},
    {"7-2",
     {{kCv22, kOk},
      {R"("platform": "cv25", "attach_after_ms": 500, "leave_after_ms": 1500)",
       {"cv25", "failed", "-17 0: Platform mismatch between firmware, settings or device"}},
      // Later than the others: the station must see the port empty in between.
      {R"("platform": "cv22", "attach_after_ms": 1500)", kOk}}},
    {"7-3",
     {{kCv22, kOk},
      {kCv22 + R"(, "faults": [{"kind": "status", "command": "image_header", "status": 5}])",
       {"cv22", "failed", "-22 5: Error returned from device:"}},
      {kCv22, kOk}}}};

std::string shift_config() {
  std::vector<std::string> modules;
  for (const Port& port : kShift) {
    std::string followers;
    for (size_t i = 1; i < port.modules.size(); ++i) {
      followers += (i == 1 ? "{" : ", {") + port.modules[i].first + "}";
    }
    modules.push_back("{\"port\": \"" + port.port + "\", " + port.modules[0].first +
                      ", \"next\": [" + followers + "]}");
  }
  return fixture::sim_config("shift.json", modules);
}

std::string member(json_object* line, const char* key) {
  json_object* value = nullptr;
  return json_object_object_get_ex(line, key, &value) && value != nullptr
             ? json_object_get_string(value)
             : "";
}

// "2026-12-07T02:10:00.123Z": UTC, ISO 8601, milliseconds.
bool utc_time(const std::string& text) {
  const std::string shape = "0000-00-00T00:00:00.000Z";
  return text.size() == shape.size() &&
         std::equal(shape.begin(), shape.end(), text.begin(), [](char want, char got) {
           return want == '0' ? std::isdigit(got) != 0 : want == got;
         });
}

// The log's records per port, each reduced to what kShift expects, after checking the rest.
std::map<std::string, std::vector<Expected>> read_log(const std::string& path) {
  std::map<std::string, std::vector<Expected>> records;
  std::ifstream log(path);
  for (std::string text; std::getline(log, text);) {
    std::unique_ptr<json_object, decltype(&json_object_put)> line(json_tokener_parse(text.c_str()),
                                                                  json_object_put);
    EXPECT_NE(line, nullptr) << text;
    if (line == nullptr) {
      continue;
    }
    EXPECT_TRUE(utc_time(member(line.get(), "started"))) << text;
    EXPECT_TRUE(utc_time(member(line.get(), "finished"))) << text;
    EXPECT_GE(std::stod(member(line.get(), "duration_s")), 0) << text;
    EXPECT_EQ(member(line.get(), "firmware_version"), "1.7.0") << text;
    EXPECT_EQ(member(line.get(), "ota_archive"), fixture::ota_file("cv22")) << text;
    EXPECT_EQ(member(line.get(), "base_archive"), "") << text;
    const std::string result = member(line.get(), "result");
    records[member(line.get(), "device_path")].push_back(
        {member(line.get(), "platform"), result,
         result == "ok" ? ""
                        : member(line.get(), "error") + " " + member(line.get(), "sub_error") +
                              ": " + member(line.get(), "error_text")});
  }
  return records;
}

TEST(StationShift, FlashesEveryModuleInTurnAndLogsEachOnce) {
  const std::string results = fixture::path("results.jsonl");
  test_support::ChildProcess station(
      KAVRO_STATION_BINARY, {"-o", fixture::ota_file("cv22"), "--results", results},
      {{"KAVRO_FLASH", KAVRO_FLASH_SIM_BINARY}, {"KAVRO_SIM_CONFIG", shift_config()}});
  // Event lines (standard output is a pipe): wait for the ninth finished module.
  for (int finished = 0; finished < 9;) {
    const auto line = station.read_line(std::chrono::minutes(2));
    ASSERT_TRUE(line) << station.error_output();
    finished += line->find(" done in ") != line->npos || line->find(" failed after ") != line->npos;
  }
  ::kill(station.pid(), SIGTERM);
  const auto ended = station.finish(std::chrono::minutes(1));
  EXPECT_EQ(ended.exit_status, 1) << ended.err;
  EXPECT_NE(ended.out.find("done 7, failed 2, running 0"), std::string::npos) << ended.out;

  const auto records = read_log(results);
  ASSERT_EQ(records.size(), kShift.size());
  for (const Port& port : kShift) {
    ASSERT_EQ(records.at(port.port).size(), port.modules.size()) << port.port;
    for (size_t i = 0; i < port.modules.size(); ++i) {
      const Expected& want = port.modules[i].second;
      const Expected& got = records.at(port.port)[i];
      EXPECT_EQ(got.platform + " " + got.result + " " + got.error,
                want.platform + " " + want.result + " " + want.error)
          << port.port << " module " << i + 1;
    }
  }
}

}  // namespace
