// The two printers: log text only in interactive mode, responses always and flushed at once.
// Each case runs in a probe process of its own, because the automated-mode flag is
// process-wide and is never cleared; bytes read before the probe's input is closed show what
// was flushed.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "tests/support/subprocess.h"

namespace {

using std::chrono::seconds;

test_support::ChildProcess start_probe(const std::string& scenario) {
  return test_support::ChildProcess(KAVRO_CONSOLE_PROBE, {scenario});
}

TEST(Console, AutomatedModeSilencesLogAndFlushesResponses) {
  auto probe = start_probe("automated");
  EXPECT_EQ(probe.read_line(seconds(30)), "[3 255] 1\r\n");
  probe.close_input();
  const auto rest = probe.finish(seconds(30));
  EXPECT_EQ(rest.out, "");
  EXPECT_EQ(rest.exit_status, 0);
}

// The log line was not flushed on its own, but reaches the pipe with the response, in order.
TEST(Console, ResponseFlushesEarlierLogText) {
  auto probe = start_probe("interactive");
  EXPECT_EQ(probe.read_bytes(14, seconds(30)), "log 5\r\n[1 6]\r\n");
  probe.close_input();
  EXPECT_EQ(probe.finish(seconds(30)).out, "");
}

TEST(Console, ProgressLineIsFlushedInInteractiveMode) {
  auto probe = start_probe("progress");
  EXPECT_EQ(probe.read_bytes(10, seconds(30)), " 42% done\r");
  probe.close_input();
  EXPECT_EQ(probe.finish(seconds(30)).out, "");
}

TEST(Console, NoProgressInAutomatedMode) {
  auto probe = start_probe("automated-progress");
  probe.close_input();
  const auto result = probe.finish(seconds(30));
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 0);
}

TEST(Console, ModeIsTheSameOnEveryThread) {
  auto probe = start_probe("mode");
  probe.close_input();
  const auto result = probe.finish(seconds(30));
  EXPECT_EQ(result.err, "0 0 1 1 ");
  EXPECT_EQ(result.exit_status, 0);
}

// A device-list response is written in pieces. Diagnostic lines that session threads write
// meanwhile must not land between the pieces and break the response line up.
TEST(Console, DeviceListResponseStaysWholeBesideDiagnostics) {
  const auto result = test_support::run_process(KAVRO_DEVICE_LIST_PROBE, {});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  std::string all_slots = " 64";
  for (int slot = 0; slot < 64; ++slot) {
    all_slots += " " + std::to_string(slot);
  }
  std::istringstream lines(result.out);
  int responses = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line == "diagnostic") {
      continue;
    }
    ASSERT_EQ(line, "[" + std::to_string(responses) + " 1]" + all_slots + "\r");
    ++responses;
  }
  EXPECT_EQ(responses, 500);
}

}  // namespace
