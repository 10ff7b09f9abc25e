// How the program ends: a batch followed by "Q" is answered whole, stray arguments and start-up
// refusals are explained (on standard error in automated mode), the log reaches a pipe line by
// line, and SIGINT/SIGTERM stop an interactive run with exit 130 and automated mode like "Q".
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "tests/app/fixtures.h"
#include "tests/support/subprocess.h"

namespace {

using fixture::module;
using fixture::ota_file;
using fixture::sim_config;
using test_support::run_process;

const std::string kFlashSim = KAVRO_FLASH_SIM_BINARY;

TEST(Stopping, QuitAnswersEveryRequestReadBeforeIt) {
  const std::string config = sim_config(
      "three.json", {module("1-1", "cv22"), module("1-2", "cv25"), module("1-3", "s6lm")});
  for (int run = 0; run < 100; ++run) {
    const auto result =
        run_process(kFlashSim, {"-g", "-o", ota_file("cv22")}, {{"KAVRO_SIM_CONFIG", config}},
                    "[1 1]\r\n[2 1] 4\r\n[3 8] 0\r\nQ\r\n");
    ASSERT_EQ(result.exit_status, 0) << result.err;
    // By tag: a request may be refused while the modules are still being listed.
    const std::string& out = result.out;
    const size_t second = out.find("\n[2 ");
    ASSERT_TRUE(out.starts_with("[1 ") && second != std::string::npos &&
                out.find("\n[3 ") > second && std::count(out.begin(), out.end(), '\n') == 3)
        << "run " << run << ":\n"
        << out;
  }
}

// A refusal is one line: on standard output in interactive use, on standard error with -g.
TEST(Stopping, RefusalsBeforeAnythingIsOpened) {
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
    int exit_status;
  };
  const Case cases[] = {
      {{"-o", "ota.7z", "oops", "-s", "settings.json"}, "Unexpected argument 'oops'\r\n", 2},
      {{"-o", "ota.7z", "--", "-q", "private.pem"}, "Unexpected argument '-q'\r\n", 2},
      {{"-g", "-o", "ota.7z", "-p", "public.bin"},
       "Public and private key must be provided together\r\n",
       11},
  };
  for (const auto& c : cases) {
    const auto result = run_process(kFlashSim, c.arguments);
    const bool automated = c.arguments[0] == "-g";
    EXPECT_EQ(result.out, automated ? "" : c.message);
    EXPECT_EQ(result.err, automated ? c.message : "");
    EXPECT_EQ(result.exit_status, c.exit_status) << c.message;
  }
  // "--" with nothing after it ends the options and is accepted.
  EXPECT_EQ(run_process(kFlashSim, {"-g", "-o", "ota.7z", "--"}).exit_status, 0);
}

// The log is read through a pipe while the program still waits; the signal ends the wait.
TEST(Stopping, SignalEndsAnInteractiveWaitWith130) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    test_support::ChildProcess child(kFlashSim, {"-o", ota_file("cv22")},
                                     {{"KAVRO_SIM_CONFIG", sim_config("none.json", {})}});
    EXPECT_EQ(child.read_line(std::chrono::seconds(60)), "Checking input files\r\n");
    EXPECT_EQ(child.read_line(std::chrono::seconds(60)), "Waiting for device to connect\r\n");
    kill(child.pid(), signal_number);
    const auto result = child.finish(std::chrono::seconds(60));
    EXPECT_EQ(result.out,
              "\033[31mInterrupted while waiting for a module: no module was touched\033[0m\n");
    EXPECT_EQ(result.exit_status, 130);
  }
}

// A slow module is still being written when the signal comes: the session stops between blocks.
TEST(Stopping, SignalStopsAnInteractiveFlashBetweenBlocks) {
  const std::string config = sim_config(
      "slow.json", {module("1-1", "cv22", R"(, "timing": {"bulk_bytes_per_second": 20000})")});
  test_support::ChildProcess child(kFlashSim, {"-o", ota_file("cv22")},
                                   {{"KAVRO_SIM_CONFIG", config}});
  std::string out;
  for (auto line = child.read_line(std::chrono::seconds(60));
       line && !line->ends_with("Sending bootstrap\n");
       line = child.read_line(std::chrono::seconds(60))) {
    out += *line;
  }
  kill(child.pid(), SIGINT);
  const auto result = child.finish(std::chrono::seconds(60));
  out += result.out;
  // The stop repeats the percentage last shown.
  const size_t shown = out.rfind("% done", out.find("\033[31mFlashing interrupted"));
  const std::string percent = out.substr(out.rfind(' ', shown) + 1, shown - out.rfind(' ', shown));
  EXPECT_NE(out.find("\033[31mFlashing interrupted at " + percent + " done"), std::string::npos)
      << out;
  EXPECT_NE(out.find("the module is in the flash bootloader with its flash partly written"),
            std::string::npos);
  EXPECT_EQ(result.exit_status, 130);
}

TEST(Stopping, SignalInAutomatedModeActsLikeQuit) {
  test_support::ChildProcess child(
      kFlashSim, {"-g", "-o", ota_file("cv22")},
      {{"KAVRO_SIM_CONFIG", sim_config("one.json", {module("1-1", "cv22")})}});
  std::optional<std::string> listed;
  for (int attempt = 0; attempt < 1000 && listed != "[1 1] 1 0\r\n"; ++attempt) {
    child.write("[1 1]\n");
    listed = child.read_line(std::chrono::seconds(60));
  }
  ASSERT_EQ(listed, "[1 1] 1 0\r\n");
  child.write("[7 6] 0\n");
  EXPECT_EQ(child.read_line(std::chrono::seconds(60)), "[7 6]\r\n");
  // The flashing session is stopped on the way out.
  kill(child.pid(), SIGTERM);
  const auto result = child.finish(std::chrono::seconds(60));
  EXPECT_EQ(result.exit_status, 0) << result.err;
}

}  // namespace
