// A shift at a hub of three ports: three modules plugged into each port in turn, flashed by
// kavro-station through kavro-flash-sim. One module has the wrong platform (it is never
// flashed), one refuses an image (it stays in software mode); neither may be flashed twice. The
// results log must hold one record per module, in plugging order per port, every record naming
// what the module received, and a removed line for each module taken out. Inputs the station
// cannot use end it before any module is taken.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/app/fixtures.h"
#include "tests/support/subprocess.h"
#include "tests/support/test_keys.h"

namespace {

using Json = std::unique_ptr<json_object, decltype(&json_object_put)>;

struct Expected {
  std::string platform;
  std::string result;
  std::string error;  // "error sub_error: error_text: sub_error_text", empty without an error pair
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
       {"cv25", "wrong_platform", ""}},
      // Later than the others: the station must see the port empty in between.
      {R"("platform": "cv22", "attach_after_ms": 1500)", kOk}}},
    {"7-3",
     {{kCv22, kOk},
      {kCv22 + R"(, "faults": [{"kind": "status", "command": "image_header", "status": 5}])",
       {"cv22", "failed", "-22 5: Error returned from device: CRC mismatch on received data"}},
      {kCv22, kOk}}}};

// Each module's serial number names its port and place there: "KV7-2-1".
std::string serial_member(const Port& port, size_t module) {
  return ", \"serial\": \"KV" + port.port + "-" + std::to_string(module) + "\"";
}

std::string shift_config() {
  std::vector<std::string> modules;
  for (const Port& port : kShift) {
    std::string followers;
    for (size_t i = 1; i < port.modules.size(); ++i) {
      followers += (i == 1 ? "{" : ", {") + port.modules[i].first + serial_member(port, i) + "}";
    }
    modules.push_back("{\"port\": \"" + port.port + "\", " + port.modules[0].first +
                      serial_member(port, 0) + ", \"next\": [" + followers + "]}");
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

std::string sha256sum(const std::string& path) {
  return test_support::run_process("/usr/bin/sha256sum", {path}).out.substr(0, 64);
}

// The inputs of the shift, and the keys every record must hold for them.
struct Inputs {
  std::vector<std::string> arguments;
  std::map<std::string, std::string> keys;
};

Inputs shift_inputs() {
  const std::string ota = fixture::ota_file("cv22");
  const std::string settings =
      fixture::files().write_file("cv22.json", R"({"settings": {"platform": "cv22"}})");
  const std::string ads = KAVRO_SOURCE_DIR "/data/ads/ads2.txt";
  const std::string public_key = fixture::files().write_file("key.pub", std::string(512, 'k'));
  const std::string private_key = fixture::path("key.pem");
  test_support::write_private_key_pem(private_key, test_support::make_rsa_key(2048).get());
  return {{"-o", ota, "-s", settings, "-a", ads, "-p", public_key, "-q", private_key, "--station",
           "bench-3", "--operator", "anna", "--expect-sha256", sha256sum(ota)},
          {{"station", "bench-3"},
           {"operator", "anna"},
           {"flasher_version", "1.7.0"},
           {"firmware_version", "1.7.0"},
           {"ota_archive", ota},
           {"ota_archive_sha256", sha256sum(ota)},
           {"base_archive", ""},
           {"settings_file", settings},
           {"settings_sha256", sha256sum(settings)},
           {"ads_file", ads},
           {"ads_sha256", sha256sum(ads)},
           {"secure_boot", "true"},
           {"public_key_sha256", sha256sum(public_key)}}};
}

// The log's records per port, each reduced to what kShift expects, after checking the rest;
// and the count of removed lines, each of which must follow the record of its module.
std::map<std::string, std::vector<Expected>> read_log(const std::string& path, const Inputs& inputs,
                                                      int& removed) {
  std::map<std::string, std::vector<Expected>> records;
  std::set<std::string> finished;
  std::ifstream log(path);
  for (std::string text; std::getline(log, text);) {
    const Json line(json_tokener_parse(text.c_str()), json_object_put);
    EXPECT_NE(line, nullptr) << text;
    if (line == nullptr) {
      continue;
    }
    const std::string module = member(line.get(), "started") + member(line.get(), "device_path");
    if (member(line.get(), "event") == "removed") {
      EXPECT_TRUE(finished.contains(module)) << text;
      EXPECT_TRUE(utc_time(member(line.get(), "removed"))) << text;
      EXPECT_EQ(member(line.get(), "station"), "bench-3") << text;
      ++removed;
      continue;
    }
    finished.insert(module);
    EXPECT_TRUE(utc_time(member(line.get(), "started"))) << text;
    EXPECT_TRUE(utc_time(member(line.get(), "finished"))) << text;
    EXPECT_GE(std::stod(member(line.get(), "duration_s")), 0) << text;
    EXPECT_EQ(member(line.get(), "base_archive_sha256").size(), 64u) << text;
    for (const auto& [key, value] : inputs.keys) {
      EXPECT_EQ(member(line.get(), key.c_str()), value) << key;
    }
    const std::string port = member(line.get(), "device_path");
    EXPECT_EQ(member(line.get(), "device_id"), std::to_string(port.back() - '1')) << text;
    EXPECT_EQ(member(line.get(), "usb_serial"),
              "KV" + port + "-" + std::to_string(records[port].size()))
        << text;
    const std::string result = member(line.get(), "result");
    const std::string error = member(line.get(), "error");
    records[port].push_back({member(line.get(), "platform"), result,
                             error.empty() ? ""
                                           : error + " " + member(line.get(), "sub_error") + ": " +
                                                 member(line.get(), "error_text") + ": " +
                                                 member(line.get(), "sub_error_text")});
  }
  return records;
}

TEST(StationShift, FlashesEveryModuleInTurnAndLogsEachOnce) {
  const std::string results = fixture::path("results.jsonl");
  const Inputs inputs = shift_inputs();
  std::vector<std::string> arguments = inputs.arguments;
  arguments.insert(arguments.end(), {"--results", results});
  test_support::ChildProcess station(
      KAVRO_STATION_BINARY, arguments,
      {{"KAVRO_FLASH", KAVRO_FLASH_SIM_BINARY}, {"KAVRO_SIM_CONFIG", shift_config()}});
  // Event lines (standard output is a pipe): the header, then up to the ninth finished module.
  const auto header = station.read_line(std::chrono::minutes(1));
  ASSERT_TRUE(header) << station.error_output();
  EXPECT_NE(
      header->find(" kavro-station bench-3 started: firmware cv22 1.7.0, ota-cv22.7z, sha256 " +
                   inputs.keys.at("ota_archive_sha256")),
      std::string::npos)
      << *header;
  for (int finished = 0; finished < 9;) {
    const auto line = station.read_line(std::chrono::minutes(2));
    ASSERT_TRUE(line) << station.error_output();
    finished += line->find(" done in ") != line->npos ||
                line->find(" failed after ") != line->npos ||
                line->find(" wrong platform (cv25) for this firmware: take it out") != line->npos;
  }
  ::kill(station.pid(), SIGTERM);
  const auto ended = station.finish(std::chrono::minutes(1));
  EXPECT_EQ(ended.exit_status, 1) << ended.err;
  EXPECT_NE(ended.out.find("done 7, failed 1, wrong platform 1, yield 87.5%, running 0"),
            std::string::npos)
      << ended.out;

  int removed = 0;
  const auto records = read_log(results, inputs, removed);
  // Each port's first two modules were taken out before the next one came.
  EXPECT_GE(removed, 6);
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

// Each: the station's arguments, its exit status and the message it must give (kavro-flash's
// own, with the reason after it). The flasher is never started, so no module is touched and
// nothing is recorded.
TEST(StationShift, RefusesInputsItCannotUseBeforeTakingAModule) {
  const std::string ota = fixture::ota_file("cv22");
  const std::string missing = fixture::path("missing.7z");
  const std::string text = fixture::files().write_file("text.7z", "not an archive\n");
  const std::string settings = fixture::files().write_file("no-settings.json", "{}");
  const struct {
    std::vector<std::string> arguments;
    int exit_status;
    std::string message;
  } cases[] = {
      {{"-o", missing},
       5,
       "Invalid OTA file '" + missing + "' provided\r\n  reason: the file does not exist\n"},
      {{"-o", text},
       5,
       "Invalid OTA file '" + text + "' provided\r\n  reason: not an archive libarchive can read"},
      {{"-o", ota, "-s", settings},
       6,
       "Parsing settings json file '" + settings + "' failed\r\n  reason: Missing settings object"},
      {{"-o", ota, "--expect-sha256", std::string(64, 'A')},
       5,
       "kavro-station: '" + ota + "' is not the expected firmware\n  reason: its SHA-256 is " +
           sha256sum(ota) + ", expected " + std::string(64, 'a') + "\n"},
  };
  const std::string config = fixture::sim_config("refusals.json", {fixture::module("8-1", "cv22")});
  for (const auto& test : cases) {
    const std::string results = fixture::path("refused.jsonl");
    std::vector<std::string> arguments = test.arguments;
    arguments.insert(arguments.end(), {"--results", results, "--once", "--settle", "1"});
    const auto ended = test_support::run_process(
        KAVRO_STATION_BINARY, arguments,
        {{"KAVRO_FLASH", KAVRO_FLASH_SIM_BINARY}, {"KAVRO_SIM_CONFIG", config}});
    EXPECT_EQ(ended.exit_status, test.exit_status) << test.message;
    EXPECT_NE(ended.err.find(test.message), std::string::npos) << ended.err;
    EXPECT_FALSE(std::filesystem::exists(fixture::flash_dir("8-1"))) << test.message;
    EXPECT_FALSE(std::filesystem::exists(results)) << test.message;
  }
}

}  // namespace
