// The simulator as kavro-flash-sim uses it: a configuration it cannot use ends the program with
// exit status 2 and one line naming the offending item; each fault kind makes the module
// misbehave in its own way, which the flashing session reports as its error pair.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/fixtures.h"
#include "tests/support/subprocess.h"

namespace {

using std::chrono::seconds;
using test_support::ChildProcess;

const std::string kFlashSim = KAVRO_FLASH_SIM_BINARY;

struct BadConfig {
  const char* text;  // nullptr: no file at the path
  std::string problem;
};

TEST(SimulatorConfig, UnusableConfigEndsTheProgram) {
  const std::string modules = R"({"modules": [{)";
  const std::string fault = modules + R"("faults": [{"kind": )";
  const BadConfig cases[] = {
      {nullptr, "No such file or directory"},
      {"", "config: not JSON: unexpected end of text"},
      {R"({"modules": [)", "config: not JSON: unexpected end of text"},
      {R"({"modules": []} x)", "config: not JSON: text after the end of the document"},
      {"{modules}", "config: not JSON: quoted object property name expected"},
      {"[]", "config: must be an object with the key \"modules\""},
      {"{}", "config: missing key \"modules\""},
      {R"({"modules": {}})", "modules: must be an array"},
      {R"({"modules": [], "extra": 1})", "config: unknown key \"extra\""},
      {R"({"modules": [3]})", "modules[0]: must be an object"},
      {R"({"modules": [{}, {"port": "1-2", "colour": 1}]})", "modules[1]: unknown key \"colour\""},
      {R"({"modules": [{"port": "1-1"}, {"port": "1-1"}]})",
       "modules[1].port: port \"1-1\" is used by an earlier module"},
      {R"({"modules": [{"port": 1}]})", "modules[0].port: must be a string"},
      {R"({"modules": [{"port": ""}]})", "modules[0].port: must not be empty"},
      {R"({"modules": [{"platform": "cv99"}]})",
       "modules[0].platform: unknown platform \"cv99\" (known: s5l, cv22, cv25, s6lm, cv28)"},
      {R"({"modules": [{"revision": 1}]})",
       "modules[0].revision: platform \"cv22\" has no revision 1"},
      {R"({"modules": [{"revision": 1, "adc_reading": 1}]})",
       "modules[0]: give either \"revision\" or \"adc_reading\", not both"},
      {R"({"modules": [{"reenumerate_ms": 1.5}]})",
       "modules[0].reenumerate_ms: must be a whole number"},
      {R"({"modules": [{"attach_after_ms": -1}]})",
       "modules[0].attach_after_ms: must not be negative"},
      {R"({"modules": [{"attach_after_ms": 4294967296}]})",
       "modules[0].attach_after_ms: must be at most 4294967295"},
      {R"({"modules": [{"keep_image_bytes": 1}]})",
       "modules[0].keep_image_bytes: must be true or false"},
      {R"({"modules": [{"bootloader_size": 154305}]})",
       "modules[0].bootloader_size: must be a positive multiple of 4"},
      {R"({"modules": [{"bootloader_sha256": "abcd"}]})",
       "modules[0].bootloader_sha256: must be 64 hexadecimal digits"},
      {R"({"modules": [{"timing": []}]})", "modules[0].timing: must be an object"},
      {R"({"modules": [{"timing": {"latency": 1}}]})",
       "modules[0].timing: unknown key \"latency\""},
      {R"({"modules": [{"faults": {}}]})", "modules[0].faults: must be an array"},
      {R"({"modules": [{"faults": [3]}]})", "modules[0].faults[0]: must be an object"},
      {R"({"modules": [{"faults": [{}]}]})", "modules[0].faults[0]: missing key \"kind\""},
      {R"({"modules": [{"faults": [{"kind": "explode"}]}]})",
       "modules[0].faults[0].kind: unknown fault \"explode\""},
      {R"({"modules": [{"faults": [{"kind": "hang", "status": 1}]}]})",
       "modules[0].faults[0]: unknown key \"status\""},
      {R"({"modules": [{"faults": [{"kind": "status"}]}]})",
       "modules[0].faults[0]: missing key \"status\""},
      {R"({"modules": [{"faults": [{"kind": "status", "status": 0}]}]})",
       "modules[0].faults[0].status: must not be 0 (that is no fault)"},
      {R"({"modules": [{"faults": [{"kind": "hang", "command": "format"}]}]})",
       "modules[0].faults[0].command: unknown command \"format\""},
      {R"({"modules": [{"faults": [{"kind": "hang", "command": 9}]}]})",
       "modules[0].faults[0].command: unknown command 9"},
      {R"({"modules": [{"faults": [{"kind": "short_responses", "piece_size": 0}]}]})",
       "modules[0].faults[0].piece_size: must be 1 to 16"},
      {R"({"modules": [{"faults": [{"kind": "short_responses", "piece_size": 17}]}]})",
       "modules[0].faults[0].piece_size: must be at most 16"},
  };
  for (const auto& test : cases) {
    const std::string path = test.text ? fixture::files().write_file("bad.json", test.text)
                                       : fixture::path("absent.json");
    const auto result =
        test_support::run_process(kFlashSim, {"-g", "-o", "ota.7z"}, {{"KAVRO_SIM_CONFIG", path}});
    const std::string head = test.text ? "simulator config '" : "cannot read simulator config '";
    EXPECT_EQ(result.err, "kavro-flash-sim: " + head + path + "': " + test.problem + "\n");
    EXPECT_EQ(result.out, "") << test.problem;
    EXPECT_EQ(result.exit_status, 2) << test.problem;
  }
}

// Without a configuration there is one cv22 module on port 1-1.
TEST(SimulatorConfig, DefaultIsOneCv22Module) {
  ChildProcess flash(kFlashSim, {"-g", "-o", "ota.7z"}, {{"KAVRO_SIM_CONFIG", ""}});
  // The device manager finds the module on its own time.
  for (int tag = 1; tag < 500; ++tag) {
    const std::string head = "[" + std::to_string(tag) + " 1]";
    flash.write(head + "\n");
    if (flash.read_line(seconds(10)) == head + " 1 0\r\n") {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  flash.write("[1 2] 0\n[2 8] 0\n");
  EXPECT_EQ(flash.read_line(seconds(10)), "[1 2] 2\r\n");
  EXPECT_EQ(flash.read_line(seconds(10)), "[2 8] 1-1\r\n");
}

struct FaultCase {
  const char* platform;
  const char* fault;
  const char* pair;  // the session's error pair; empty when the module is flashed regardless
};

// Every module is flashed by a kavro-flash-sim of its own, all at once, so that the faults that
// run into a time limit wait side by side.
TEST(SimulatorFaults, EachKindAsTheSessionSeesIt) {
  const FaultCase cases[] = {
      {"cv22", R"("kind": "status", "command": "image_header", "occurrence": 2, "status": 5)",
       "-22:5"},
      {"cv22", R"("kind": "status", "command": "data", "status": 3)", "-22:3"},
      {"cv22", R"("kind": "status", "command": 7, "status": 9)", "-22:9"},
      {"cv22", R"("kind": "bad_signature", "command": "partition_details")", "-4:-13"},
      {"cv22", R"("kind": "hang", "command": "ptb_write")", "-4:-9"},
      {"cv22", R"("kind": "hang", "after_control_transfers": 40)", "-4:-4"},
      {"cv22", R"("kind": "unplug", "after_image_bytes": 30000)", "-4:-10"},
      {"cv22", R"("kind": "unplug", "after_control_transfers": 40)", "-4:-4"},
      {"cv22", R"("kind": "no_return")", "-15:0"},
      {"cv22", R"("kind": "short_responses", "command": "any", "piece_size": 4)", ""},
      {"cv22", R"("kind": "poll_never_ready")", "-4:-6"},
      {"s5l", R"("kind": "adc_never_done")", ""},
  };
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (const auto& test : cases) {
    const std::string port = "9-" + std::to_string(runs.size() + 1);
    const auto module =
        fixture::module(port, test.platform, ", \"faults\": [{" + std::string(test.fault) + "}]");
    runs.push_back(std::make_unique<ChildProcess>(
        kFlashSim, std::vector<std::string>{"-o", fixture::ota_file(test.platform)},
        test_support::EnvironmentOverrides{
            {"KAVRO_SIM_CONFIG", fixture::sim_config(port + ".json", {module})}}));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string pair = cases[i].pair;
    const auto result = runs[i]->finish(seconds(120));
    const std::string ending = pair.empty() ? "Flashing completed successfully\r\n"
                                            : "Error occured during flashing: " + pair + "\r\n";
    EXPECT_NE(result.out.find(ending), std::string::npos) << cases[i].fault << "\n" << result.out;
    EXPECT_EQ(result.exit_status, pair.empty() ? 0 : 9) << cases[i].fault;
  }
}

}  // namespace
