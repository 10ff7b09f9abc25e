// The automation protocol of kavro-flash-sim -g over pipes: request grammar, every command and
// refusal, the request queue as seen from outside, sessions started, polled and closed, and the
// end of the protocol.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/app/fixture_files.h"
#include "tests/app/protocol_client.h"
#include "tests/support/test_keys.h"

namespace {

using fixture::flash_dir;
using fixture::module;
using fixture::ota_file;
using fixture::sim_config;

const std::string kFlashSim = KAVRO_FLASH_SIM_BINARY;

// Six modules of every platform, in slots 0 to 5 in this order.
std::string mixed_config() {
  return sim_config("mixed.json",
                    {module("1-1", "cv22"), module("1-2", "cv25"), module("1-3", "s5l"),
                     module("1-4", "cv25"), module("1-5", "s6lm"), module("1-6", "cv28")});
}

class Automation : public testing::Test {
 protected:
  // Starts the program serving `config` with the cv22 OTA archive and waits until all
  // `modules` are ready.
  void start(const std::string& config, size_t modules,
             const std::vector<std::string>& arguments = {}) {
    std::vector<std::string> all{"-o", ota_file("cv22")};
    all.insert(all.end(), arguments.begin(), arguments.end());
    client_ = std::make_unique<ProtocolClient>(kFlashSim, config, all);
    ASSERT_TRUE(client_->wait_for_modules(modules)) << client_->process().error_output();
  }

  std::string ask(const std::string& request) { return client_->ask(request); }

  // The requests get no response: the next response is the one to a request sent after them.
  void expect_no_response(const std::vector<std::string>& requests) {
    for (const auto& request : requests) {
      client_->send(request);
    }
    EXPECT_EQ(ask("[424242 3] 0"), "[424242 3] 0 0\r\n");
  }

  void expect_clean_end() {
    const auto result = client_->quit();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.exit_status, 0) << result.err;
  }

  std::unique_ptr<ProtocolClient> client_;
};

TEST_F(Automation, EmptyListWithoutModules) {
  start(sim_config("none.json", {}), 0);
  EXPECT_EQ(ask("[5 1]"), "[5 1] 0\r\n");
  EXPECT_EQ(ask("[6 1] 2"), "[6 1] 0\r\n");
  expect_clean_end();
}

// Every answer that needs no session, from one program serving the six mixed modules.
TEST_F(Automation, RequestsWithoutSessions) {
  start(mixed_config(), 6);
  const std::pair<const char*, const char*> exchanges[] = {
      // The list, by platform number; 0, out-of-range and missing numbers list every module.
      {"[5 1] 3", "[5 1] 2 1 3\r\n"},
      {"[5 1] 1", "[5 1] 1 2\r\n"},
      {"[5 1] 2", "[5 1] 1 0\r\n"},
      {"[5 1] 4", "[5 1] 1 4\r\n"},
      {"[5 1] 5", "[5 1] 1 2\r\n"},
      {"[5 1] 6", "[5 1] 1 5\r\n"},
      {"[5 1] 9", "[5 1] 6 0 1 2 3 4 5\r\n"},
      {"[5 1] 0", "[5 1] 6 0 1 2 3 4 5\r\n"},
      {"[5 1] -3", "[5 1] 6 0 1 2 3 4 5\r\n"},
      {"[5 1]", "[5 1] 6 0 1 2 3 4 5\r\n"},
      // Platform numbers exist for s5l, cv22, cv25 and s6lm only.
      {"[4 2] 0", "[4 2] 2\r\n"},
      {"[4 2] 1", "[4 2] 3\r\n"},
      {"[4 2] 2", "[4 2] 1\r\n"},
      {"[4 2] 4", "[4 2] 4\r\n"},
      {"[4 2] 5", "[4 255] 2\r\n"},
      {"[4 2] 6", "[4 255] 2\r\n"},
      {"[8 8] 0", "[8 8] 1-1\r\n"},
      {"[8 8] 5", "[8 8] 1-6\r\n"},
      {"[8 8] 6", "[8 255] 4\r\n"},
      {"[8 8] 63", "[8 255] 4\r\n"},
      // A space before the closing bracket: the head is valid, the index is not read.
      {"[7 3 ] 0", "[7 255] 7\r\n"},
      // Session commands on slots without a session.
      {"[2 3] 0", "[2 3] 0 0\r\n"},
      {"[9 4] 0", "[9 4] 6 -1\r\n"},
      {"[9 7] 0", "[9 7] 0 0\r\n"},
      {"[9 7] 40", "[9 255] 3\r\n"},
      {"[9 6] 40", "[9 255] 3\r\n"},
  };
  for (const auto& [request, response] : exchanges) {
    EXPECT_EQ(ask(request), response) << request;
  }
  for (const char* command : {"2", "3", "4", "6", "7", "8"}) {
    const std::string head = std::string("[7 ") + command + "]";
    EXPECT_EQ(ask(head + " 64"), "[7 255] 2\r\n") << command;
    EXPECT_EQ(ask(head + " -1"), "[7 255] 2\r\n") << command;
    EXPECT_EQ(ask(head + " 4294967296"), "[7 255] 2\r\n") << command;
    EXPECT_EQ(ask(head), "[7 255] 7\r\n") << command;
    EXPECT_EQ(ask(head + " x"), "[7 255] 7\r\n") << command;
  }
  for (const char* command : {"0", "5", "9", "10", "255", "-1", "99999999999"}) {
    EXPECT_EQ(ask(std::string("[7 ") + command + "] 0"), "[7 255] 1\r\n") << command;
  }
  expect_no_response({"[-1 3] 0", "[-5 1]", "[", "[]", "[abc] 0", "[5] 0", "[5,3] 0", "[ x 3] 0",
                      "[99999999999 3] 0", " [1 1]", "x[1 1]", "", "\t", "1 1] 0", "#[1 1]"});
  expect_clean_end();
}

TEST_F(Automation, FlashesAModuleAndKeepsTheEndedSession) {
  start(sim_config("one.json", {module("2-1", "cv22")}), 1);
  EXPECT_EQ(ask("[3 6] 0"), "[3 6]\r\n");
  EXPECT_EQ(ask("[3 6] 0"), "[3 255] 5\r\n");
  EXPECT_EQ(client_->wait_for_end(0), "6 100");
  EXPECT_EQ(ask("[10 3] 0"), "[10 3] 6 100\r\n");
  EXPECT_EQ(ask("[11 7] 0"), "[11 7] 0 0\r\n");
  // The ended session stays until it is closed.
  EXPECT_EQ(ask("[12 6] 0"), "[12 255] 5\r\n");
  EXPECT_EQ(ask("[13 4] 0"), "[13 4]\r\n");
  EXPECT_EQ(ask("[14 3] 0"), "[14 3] 0 0\r\n");
  // The module now runs the flash bootloader: no new session, no error query.
  EXPECT_EQ(ask("[15 6] 0"), "[15 255] 3\r\n");
  EXPECT_EQ(ask("[16 7] 0"), "[16 255] 3\r\n");
  const auto& archive = fixture::ota("cv22");
  for (const char* name : {"bda.bin", "mta.bin", "kna.bin", "rfa.bin"}) {
    EXPECT_EQ(fixture::read_file(flash_dir("2-1") + "/" + name), archive.image(name)) << name;
  }
  expect_clean_end();
}

TEST_F(Automation, DeviceStatusFailureIsReportedByPolling) {
  start(sim_config("status.json",
                   {module("2-2", "cv22",
                           ", \"faults\": [{\"kind\": \"status\", \"command\": \"image_header\", "
                           "\"occurrence\": 1, \"status\": 5}]")}),
        1);
  EXPECT_EQ(ask("[1 6] 0"), "[1 6]\r\n");
  EXPECT_EQ(client_->wait_for_end(0), "7 0");
  EXPECT_EQ(ask("[2 3] 0"), "[2 3] 7 0\r\n");
  EXPECT_EQ(ask("[3 7] 0"), "[3 7] -22 5\r\n");
  EXPECT_EQ(ask("[4 4] 0"), "[4 4]\r\n");
  expect_clean_end();
}

// A module whose platform differs from the firmware's fails in its session, not at start.
TEST_F(Automation, PlatformMismatchFailsTheSession) {
  start(sim_config("mismatch.json", {module("2-3", "cv25")}), 1);
  EXPECT_EQ(ask("[1 6] 0"), "[1 6]\r\n");
  EXPECT_EQ(client_->wait_for_end(0), "7 0");
  EXPECT_EQ(ask("[3 7] 0"), "[3 7] -17 0\r\n");
  expect_clean_end();
}

// The key files are checked at start; one that goes away later makes the session start fail,
// and the slot can be tried again.
TEST_F(Automation, SessionStartFailureIsRefusalSix) {
  const auto rsa = test_support::make_rsa_key(2048);
  const std::string private_key = fixture::path("vanishing-private.pem");
  test_support::write_private_key_pem(private_key, rsa.get());
  const std::string public_key =
      fixture::files().write_file("vanishing-public.bin", std::string(512, 'p'));
  start(sim_config("keys.json", {module("2-4", "cv22")}), 1, {"-p", public_key, "-q", private_key});
  std::filesystem::remove(private_key);
  EXPECT_EQ(ask("[1 6] 0"), "[1 255] 6 -20\r\n");
  EXPECT_EQ(ask("[2 3] 0"), "[2 3] 0 0\r\n");
  test_support::write_private_key_pem(private_key, rsa.get());
  EXPECT_EQ(ask("[3 6] 0"), "[3 6]\r\n");
  EXPECT_EQ(client_->wait_for_end(0), "6 100");
  expect_clean_end();
}

// Closing a session that is still flashing aborts it with two lines; the module, still in
// hardware mode in the middle of the bootloader download, can be flashed afresh.
TEST_F(Automation, ClosingARunningSessionAbortsItAndTheSlotStartsAfresh) {
  start(sim_config("slow.json",
                   {module("2-5", "cv22", ", \"timing\": {\"control_latency_us\": 60}")}),
        1);
  EXPECT_EQ(ask("[1 6] 0"), "[1 6]\r\n");
  ASSERT_TRUE(client_->wait_for_state(0, 3));
  EXPECT_EQ(ask("[8 4] 0"), "[8 255] 3\r\n");
  EXPECT_EQ(client_->next_response(), "[8 4]\r\n");
  EXPECT_EQ(ask("[9 3] 0"), "[9 3] 0 0\r\n");
  EXPECT_EQ(ask("[10 7] 0"), "[10 7] 0 0\r\n");
  EXPECT_EQ(ask("[11 6] 0"), "[11 6]\r\n");
  EXPECT_EQ(client_->wait_for_end(0), "6 100");
  EXPECT_EQ(fixture::read_file(flash_dir("2-5") + "/rfa.bin"),
            fixture::ota("cv22").image("rfa.bin"));
  expect_clean_end();
}

// "Q" stops running sessions and ends the program. Nobody can send "Q" once the input has
// ended, so the end of the input does the same.
TEST_F(Automation, QuitOrEndOfInputStopsRunningSessions) {
  const auto config = sim_config(
      "quit.json", {module("2-6", "cv22", ", \"timing\": {\"control_latency_us\": 60}")});
  for (const bool send_quit : {true, false}) {
    start(config, 1);
    EXPECT_EQ(ask("[1 6] 0"), "[1 6]\r\n");
    ASSERT_TRUE(client_->wait_for_state(0, 3));
    if (send_quit) {
      client_->send("Q");
    }
    client_->process().close_input();
    const auto result = client_->process().finish(std::chrono::seconds(120));
    EXPECT_EQ(result.out, "") << send_quit;
    EXPECT_EQ(result.exit_status, 0) << send_quit << result.err;
  }
}

// A line of exactly 1023 characters is one request; its line ending arrives as a piece of its
// own and is ignored. Longer lines are cut into 1023-character pieces, each judged alone.
TEST_F(Automation, LongLinesArriveIn1023CharacterPieces) {
  start(mixed_config(), 6);
  const std::string exact = "[1 3] 0" + std::string(1023 - 7, ' ');
  client_->send(exact + "\r");
  EXPECT_EQ(client_->next_response(), "[1 3] 0 0\r\n");
  const std::string longer = "[2 3] 0" + std::string(1023 - 7, ' ') + "[3 3] 1";
  client_->send(longer);
  EXPECT_EQ(client_->next_response(), "[2 3] 0 0\r\n");
  EXPECT_EQ(client_->next_response(), "[3 3] 0 0\r\n");
  // The second piece of this line begins with "Q": it ends the program.
  client_->send("x" + std::string(1022, ' ') + "Q");
  const auto result = client_->process().finish(std::chrono::seconds(120));
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 0) << result.err;
}

// Far more requests than the queue has slots, in bursts smaller than the queue: every one is
// answered once, in order, while the ring's indexes wrap round several times.
TEST_F(Automation, QueueIndexesWrapWithoutLosingRequests) {
  start(mixed_config(), 6);
  for (int burst = 0; burst < 8; ++burst) {
    std::string requests;
    for (int i = 0; i < 200; ++i) {
      requests += "[" + std::to_string(burst * 200 + i) + " 3] " + std::to_string(i % 64) + "\n";
    }
    ASSERT_TRUE(client_->process().write(requests));
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(client_->next_response(), "[" + std::to_string(burst * 200 + i) + " 3] 0 0\r\n");
    }
  }
  expect_clean_end();
}

// What the threads of a process are blocked in, as the kernel reports it.
std::vector<std::string> wait_channels(pid_t pid) {
  std::vector<std::string> channels;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream wchan(task.path() / "wchan");
    std::string channel;
    std::getline(wchan, channel);
    channels.push_back(channel);
  }
  return channels;
}

bool some_thread_waits_in(pid_t pid, const std::string& channel) {
  for (const auto& waiting : wait_channels(pid)) {
    if (waiting.find(channel) != std::string::npos) {
      return true;
    }
  }
  return false;
}

int bytes_in_pipe(int fd) {
  int bytes = 0;
  ioctl(fd, FIONREAD, &bytes);
  return bytes;
}

// Polls another process's state with a deadline.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// The handler is held in its write of a response to a full standard output; meanwhile the
// listener keeps queueing. The queue keeps 255 requests, drops the 256th without a response,
// and every kept request is answered once the output drains.
TEST_F(Automation, QueueKeeps255RequestsWhileTheHandlerIsBlocked) {
  start(mixed_config(), 6);
  test_support::ChildProcess& process = client_->process();
  ASSERT_GE(fcntl(process.output_fd(), F_SETPIPE_SZ, 4096), 0);
  // One request at a time, so that the queue is empty once the handler blocks.
  int fillers = 0;
  int expected_bytes = 0;
  bool blocked = false;
  while (!blocked) {
    const std::string tag = std::to_string(fillers++);
    ASSERT_TRUE(process.write("[" + tag + " 3] 0\n"));
    expected_bytes += static_cast<int>(("[" + tag + " 3] 0 0\r\n").size());
    ASSERT_TRUE(eventually([&] {
      blocked = some_thread_waits_in(process.pid(), "pipe_write");
      return blocked || bytes_in_pipe(process.output_fd()) == expected_bytes;
    }));
  }
  std::string burst;
  for (int i = 0; i < 256; ++i) {
    burst += "[" + std::to_string(1000 + i) + " 3] 0\n";
  }
  ASSERT_LT(burst.size(), 4096u);
  ASSERT_TRUE(process.write(burst));
  // The listener has taken every line once the input is empty and it waits for more.
  ASSERT_TRUE(eventually([&] {
    return bytes_in_pipe(process.input_fd()) == 0 &&
           some_thread_waits_in(process.pid(), "pipe_read");
  }));
  ASSERT_TRUE(some_thread_waits_in(process.pid(), "pipe_write"));
  for (int i = 0; i < fillers; ++i) {
    ASSERT_EQ(client_->next_response(), "[" + std::to_string(i) + " 3] 0 0\r\n");
  }
  for (int i = 0; i < 255; ++i) {
    ASSERT_EQ(client_->next_response(), "[" + std::to_string(1000 + i) + " 3] 0 0\r\n");
  }
  expect_no_response({});
  expect_clean_end();
}

}  // namespace
