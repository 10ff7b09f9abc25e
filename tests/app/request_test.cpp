// The automation protocol's request lines: how their numbers are read, and how the listener
// hands them from standard input to the handler through the request queue.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/automation.h"
#include "app/request_line.h"

namespace {

// As scanf reads "[%d %d] %d": how many numbers were read, then those numbers. Numbers beyond the
// int range do not wrap: they are held at 2^40 (1099511627776), where none can pass for valid.
TEST(RequestLine, ReadsNumbersTheWayScanfDoes) {
  const std::pair<const char*, const char*> cases[] = {
      {"[5 3] 0\r\n", "3: 5 3 0"},
      {"[ 5\t3]\t 7\n", "3: 5 3 7"},
      {"[+5 -3] -1\n", "3: 5 -3 -1"},
      {"[5 8]12ab\n", "3: 5 8 12"},
      {"[4294967296 4294967297] 4294967298", "3: 4294967296 4294967297 4294967298"},
      {"[99999999999999999999 -99999999999999999999] 1", "3: 1099511627776 -1099511627776 1"},
      {"[5 1] abc\n", "2: 5 1"},
      {"[5 3 ] 0\n", "2: 5 3"},
      {"[5,3] 0\n", "1: 5"},
      {"[5 +-3] 0\n", "1: 5"},
      {" [5 3] 0\n", "0:"},
      {"[- 5 3] 0\n", "0:"},
  };
  for (const auto& [line, expected] : cases) {
    const RequestFields fields = scan_request(line);
    const long long numbers[] = {fields.tag, fields.command, fields.index};
    std::string read = std::to_string(fields.count) + ":";
    for (int i = 0; i < fields.count; ++i) {
      read += " " + std::to_string(numbers[i]);
    }
    EXPECT_EQ(read, expected) << line;
  }
}

std::vector<std::string> drain(RequestQueue& queue) {
  std::vector<std::string> lines;
  for (std::array<char, REQUEST_LINE_SIZE> line{}; queue.command_get(line) == 0;) {
    lines.emplace_back(line.data());
  }
  return lines;
}

// Only lines beginning with "[" are requests. "Q" and the end of the input both end listening
// and close the queue: the requests read before are still handed out, then no more. Lines are read
// in 1023-character pieces, each judged by its own first character.
TEST(RequestListener, QueuesRequestsUntilQuitOrEndOfInput) {
  const std::string exact = "[1 3] 0" + std::string(1016, ' ');
  const std::string longer = "[2 3] 0" + std::string(1016, ' ') + "[3 3] 0\n";
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"[1 1]\n x\n\nq\n#[2 1]\n[3 3] 0\r\n", {"[1 1]\n", "[3 3] 0\r\n"}},
      {"[1 1]\nQuit now\n[2 1]\n", {"[1 1]\n"}},
      {"[1 1]\n[2 1]", {"[1 1]\n", "[2 1]"}},
      {exact + "\r\n" + longer, {exact, longer.substr(0, 1023), "[3 3] 0\n"}},
      {"x" + std::string(1022, ' ') + "Q\n[1 1]\n", {}},
  };
  for (auto [input, queued] : cases) {
    auto queue = std::make_unique<RequestQueue>();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fmemopen(input.data(), input.size(), "r"),
                                                         std::fclose);
    incoming_listener(*queue, file.get());
    EXPECT_EQ(drain(*queue), queued) << input;
    EXPECT_FALSE(queue->wait_for_request()) << input;
  }
}

// 255 requests fit. The slots are used round and round, and a shorter line leaves no trace of
// a longer one held in its slot before.
TEST(RequestQueue, HoldsAtMost255RequestsAndWrapsAround) {
  auto queue = std::make_unique<RequestQueue>();
  for (int i = 0; i < 255; ++i) {
    ASSERT_EQ(queue->command_put("[" + std::to_string(i) + " 1]\n"), 0);
  }
  EXPECT_EQ(queue->command_put("[255 1]\n"), -1);
  EXPECT_EQ(drain(*queue).back(), "[254 1]\n");
  for (int i = 0; i < 1000; ++i) {
    const std::string request = "[" + std::to_string(i) + " 3]" + std::string(i % 7 * 100, ' ');
    ASSERT_EQ(queue->command_put(request), 0);
    ASSERT_EQ(drain(*queue), std::vector<std::string>{request});
  }
}

}  // namespace
