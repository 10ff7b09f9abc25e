// The request queue between the listener and the handler, and the listener's reading of
// standard input.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/automation.h"

namespace {

using Line = std::array<char, REQUEST_LINE_SIZE>;

std::unique_ptr<RequestQueue> make_queue() {
  return std::make_unique<RequestQueue>();
}

std::vector<std::string> drain(RequestQueue& queue) {
  std::vector<std::string> lines;
  Line line{};
  while (queue.command_get(line) == 0) {
    lines.emplace_back(line.data());
  }
  return lines;
}

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Runs the listener over `input` alone, with no handler taking requests.
std::vector<std::string> listen_to(RequestQueue& queue, std::string input) {
  std::unique_ptr<std::FILE, FileClose> file(fmemopen(input.data(), input.size(), "r"));
  incoming_listener(queue, file.get());
  return drain(queue);
}

TEST(RequestQueue, EmptyQueueLeavesTheBufferAlone) {
  auto queue = make_queue();
  Line line{};
  line[0] = 'x';
  EXPECT_EQ(queue->command_get(line), -1);
  EXPECT_EQ(line[0], 'x');
}

TEST(RequestQueue, HoldsAtMost255Requests) {
  auto queue = make_queue();
  for (int i = 0; i < 255; ++i) {
    ASSERT_EQ(queue->command_put("[" + std::to_string(i) + " 1]\n"), 0) << i;
  }
  EXPECT_EQ(queue->command_put("[255 1]\n"), -1);
  const auto lines = drain(*queue);
  ASSERT_EQ(lines.size(), 255u);
  EXPECT_EQ(lines.front(), "[0 1]\n");
  EXPECT_EQ(lines.back(), "[254 1]\n");
}

TEST(RequestQueue, IndexesWrapWithoutLosingOrRepeating) {
  auto queue = make_queue();
  Line line{};
  for (int i = 0; i < 1000; ++i) {
    const std::string request = "[" + std::to_string(i) + " 3] 0\n";
    ASSERT_EQ(queue->command_put(request), 0);
    if (i % 3 == 0) {
      ASSERT_EQ(queue->command_put(request), 0);
      ASSERT_EQ(queue->command_get(line), 0);
      ASSERT_EQ(std::string(line.data()), request);
    }
    ASSERT_EQ(queue->command_get(line), 0);
    ASSERT_EQ(std::string(line.data()), request) << i;
  }
  EXPECT_EQ(queue->command_get(line), -1);
}

TEST(RequestQueue, ShorterLineLeavesNoTraceOfALongerOne) {
  auto queue = make_queue();
  Line line{};
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(queue->command_put(std::string(1000, 'a')), 0);
    ASSERT_EQ(queue->command_get(line), 0);
  }
  ASSERT_EQ(queue->command_put("[1 1]\n"), 0);
  ASSERT_EQ(queue->command_get(line), 0);
  EXPECT_EQ(std::string(line.data()), "[1 1]\n");
}

TEST(RequestQueue, StopEndsWaitingEvenWithRequestsLeft) {
  auto queue = make_queue();
  ASSERT_EQ(queue->command_put("[1 1]\n"), 0);
  EXPECT_TRUE(queue->wait_for_request());
  queue->stop();
  EXPECT_FALSE(queue->wait_for_request());
}

TEST(RequestQueue, HandsEveryRequestAcrossThreadsInOrder) {
  auto queue = make_queue();
  constexpr int kRequests = 2000;
  std::vector<std::string> received;
  std::thread consumer([&] {
    Line line{};
    while (static_cast<int>(received.size()) < kRequests && queue->wait_for_request()) {
      if (queue->command_get(line) == 0) {
        received.emplace_back(line.data());
      }
    }
  });
  for (int i = 0; i < kRequests; ++i) {
    const std::string request = "[" + std::to_string(i) + " 3] 0\n";
    while (queue->command_put(request) != 0) {
      std::this_thread::yield();
    }
  }
  consumer.join();
  ASSERT_EQ(received.size(), static_cast<size_t>(kRequests));
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(received[i], "[" + std::to_string(i) + " 3] 0\n");
  }
}

TEST(RequestListener, QueuesOnlyLinesBeginningWithBracket) {
  auto queue = make_queue();
  const auto lines = listen_to(*queue, "[1 1]\n x\n\nq\n#[2 1]\n[3 3] 0\r\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"[1 1]\n", "[3 3] 0\r\n"}));
}

TEST(RequestListener, QuitLineEndsListeningAndIsNotQueued) {
  auto queue = make_queue();
  const auto lines = listen_to(*queue, "[1 1]\nQuit now\n[2 1]\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"[1 1]\n"}));
  EXPECT_FALSE(queue->wait_for_request());
}

TEST(RequestListener, EndOfInputStopsTheQueueLikeQuit) {
  auto queue = make_queue();
  const auto lines = listen_to(*queue, "[1 1]\n[2 1]");
  EXPECT_EQ(lines, (std::vector<std::string>{"[1 1]\n", "[2 1]"}));
  EXPECT_FALSE(queue->wait_for_request());
}

// fgets-sized pieces: 1023 characters and the NUL. The line ending of a 1023-character line
// arrives as a piece of its own and is ignored.
TEST(RequestListener, SplitsLongLinesIntoPiecesJudgedByTheirOwnFirstCharacter) {
  auto queue = make_queue();
  const std::string exact = "[1 3] 0" + std::string(1023 - 7, ' ');
  const std::string longer = "[2 3] 0" + std::string(1023 - 7, ' ') + "[3 3] 0";
  const auto lines = listen_to(*queue, exact + "\r\n" + longer + "\n");
  EXPECT_EQ(lines, (std::vector<std::string>{exact, longer.substr(0, 1023), "[3 3] 0\n"}));
}

}  // namespace
