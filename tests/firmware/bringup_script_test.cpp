#include "firmware/bringup_script.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "data/embedded.h"

namespace {

namespace fs = std::filesystem;

struct Command {
  uint32_t type;
  uint32_t a, b, c;
  bool operator==(const Command&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Command& command) {
  return out << "{" << command.type << ", 0x" << std::hex << command.a << ", 0x" << command.b
             << ", 0x" << command.c << std::dec << "}";
}

constexpr uint32_t W = ADS_CMD_WRITE;
constexpr uint32_t P = ADS_CMD_POLL;
constexpr uint32_t U = ADS_CMD_USLEEP;

// Iterates a loaded script to its end and destroys it.
std::vector<Command> drain(ads_handle** handle) {
  std::vector<Command> commands;
  Command command{};
  while (kavro_ads_get_next_command(handle, &command.type, &command.a, &command.b, &command.c) ==
         0) {
    commands.push_back(command);
  }
  kavro_ads_destroy(handle);
  return commands;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path script_file(int number) {
  return fs::path(KAVRO_ADS_SCRIPT_DIR) / ("ads" + std::to_string(number) + ".txt");
}

class ScriptFile : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(directory_); }

  fs::path write(std::string_view text) {
    fs::create_directories(directory_);
    const fs::path path = directory_ / ("script" + std::to_string(++files_) + ".txt");
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  int load(std::string_view text) { return kavro_ads_init_file(&handle_, write(text).c_str()); }

  // Commands of `text`; fails the test when it does not load.
  std::vector<Command> parse(std::string_view text) {
    EXPECT_EQ(load(text), 0);
    return drain(&handle_);
  }

  ads_handle* handle_ = nullptr;
  const fs::path directory_ = fs::path(::testing::TempDir()) /
                              ("kavro_ads_" + std::to_string(getpid()) + "_" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
  int files_ = 0;
};

std::string commands_text(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "write 0x" + std::to_string(i) + ",0x1\n";
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// The built-in scripts

struct BuiltIn {
  int number;
  const char* platform;
  uint32_t revision;
  size_t size;
  const char* line_end;
  int writes, polls, pauses;
  uint32_t long_pause;  // the one pause that is not 1000; 0 when every pause is 1000
};

const BuiltIn built_ins[] = {
    {1, "s5l", 0, 2142, "\r\n", 52, 11, 6, 0},    {2, "cv22", 0, 2707, "\n", 64, 19, 6, 2000},
    {3, "cv25", 0, 5896, "\n", 83, 21, 6, 2000},  {4, "s6lm", 0, 5565, "\n", 78, 19, 6, 2000},
    {5, "s5l", 1, 2040, "\n", 48, 10, 19, 20000}, {6, "cv28", 0, 4948, "\n", 75, 13, 6, 2000},
};

class BuiltInScript : public ::testing::TestWithParam<BuiltIn> {};

// Counts of each kind, pauses of 1000 but for the script's one long pause, polls that wait for
// one bit to clear, and a final pause of 1000.
TEST_P(BuiltInScript, ParsesToItsCommandMix) {
  const BuiltIn& script = GetParam();
  ads_handle* handle = nullptr;
  ASSERT_EQ(kavro_ads_init(&handle, script.platform, script.revision), 0);
  const auto commands = drain(&handle);
  int writes = 0, polls = 0, pauses = 0;
  std::vector<uint32_t> long_pauses;
  for (const Command& command : commands) {
    writes += command.type == W;
    polls += command.type == P;
    pauses += command.type == U;
    if (command.type == U && command.a != 1000) {
      long_pauses.push_back(command.a);
    }
    if (command.type == P) {
      EXPECT_EQ(std::popcount(command.b), 1) << command;
      EXPECT_EQ(command.c, 0u) << command;
    }
  }
  EXPECT_EQ(writes, script.writes);
  EXPECT_EQ(polls, script.polls);
  EXPECT_EQ(pauses, script.pauses);
  EXPECT_EQ(long_pauses, script.long_pause == 0 ? std::vector<uint32_t>{}
                                                : std::vector<uint32_t>{script.long_pause});
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), (Command{U, 1000, 0, 0}));
}

TEST_P(BuiltInScript, EmbeddedTextHasItsSizeLineEndingsAndFrame) {
  const BuiltIn& script = GetParam();
  const auto bytes = embedded::ads_script(script.number);
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  EXPECT_EQ(text.size(), script.size);
  EXPECT_EQ(text, read_file(script_file(script.number)));

  const std::string_view end = script.line_end;
  size_t lines = 0;
  for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
    ++lines;
    EXPECT_EQ(text.substr(at + 1 - end.size(), end.size()), end) << "line " << lines;
  }
  EXPECT_TRUE(text.ends_with(end));

  const std::string_view first = text.substr(0, text.find(end));
  EXPECT_TRUE(first.starts_with("# ")) << first;
  EXPECT_TRUE(first.ends_with("Init DRAM controller...")) << first;
  EXPECT_EQ(first == "# Init DRAM controller...", script.number != 5) << first;
  const std::string_view body = text.substr(0, text.size() - end.size());
  const std::string_view last = body.substr(body.rfind('\n') + 1);
  EXPECT_TRUE(last.starts_with("# ")) << last;
  EXPECT_NE(last.find("DRAM controller initialized"), std::string_view::npos) << last;
}

TEST_P(BuiltInScript, FileCopyParsesToTheSameCommands) {
  ads_handle* embedded_script = nullptr;
  ASSERT_EQ(kavro_ads_init(&embedded_script, GetParam().platform, GetParam().revision), 0);
  ads_handle* file_script = nullptr;
  ASSERT_EQ(kavro_ads_init_file(&file_script, script_file(GetParam().number).c_str()), 0);
  EXPECT_EQ(drain(&file_script), drain(&embedded_script));
}

INSTANTIATE_TEST_SUITE_P(AllRows, BuiltInScript, ::testing::ValuesIn(built_ins),
                         [](const auto& info) {
                           return "ads" + std::to_string(info.param.number);
                         });

TEST(BuiltInScripts, Script1StartsWithThePllWriteAndEndsAfter69Commands) {
  ads_handle* handle = nullptr;
  ASSERT_EQ(kavro_ads_init(&handle, "s5l", 0), 0);
  Command command{};
  ASSERT_EQ(kavro_ads_get_next_command(&handle, &command.type, &command.a, &command.b, &command.c),
            0);
  EXPECT_EQ(command, (Command{W, 0xEC1700DC, 0x45100000, 0}));
  for (int i = 2; i <= 69; ++i) {
    ASSERT_EQ(
        kavro_ads_get_next_command(&handle, &command.type, &command.a, &command.b, &command.c), 0);
  }
  EXPECT_EQ(command, (Command{U, 1000, 0, 0}));
  const Command untouched{9, 9, 9, 9};
  command = untouched;
  for (int call = 70; call < 75; ++call) {
    EXPECT_EQ(
        kavro_ads_get_next_command(&handle, &command.type, &command.a, &command.b, &command.c), -5);
  }
  EXPECT_EQ(command, untouched);
  kavro_ads_destroy(&handle);
}

TEST(BuiltInScripts, UppercaseAddressOfScript5ReadsAsHex) {
  ads_handle* handle = nullptr;
  ASSERT_EQ(kavro_ads_init(&handle, "s5l", 1), 0);
  const auto commands = drain(&handle);
  EXPECT_EQ(commands.size(), 77u);
  EXPECT_NE(std::find_if(commands.begin(), commands.end(),
                         [](const Command& c) { return c.type == W && c.a == 0xDFFE0830; }),
            commands.end());
  for (const Command& command : commands) {
    if (command.type != U) {
      EXPECT_TRUE(command.a >> 16 == 0xEC17 || command.a >> 8 == 0xDFFE08) << command;
    }
  }
}

TEST(BuiltInScripts, SelectionByPlatformAndRevision) {
  ads_handle* handle = nullptr;
  ASSERT_EQ(kavro_ads_init(&handle, "cv22-lite", 0), 0);
  EXPECT_EQ(drain(&handle).size(), 89u);
  for (const auto& [platform, revision] : std::vector<std::pair<const char*, uint32_t>>{
           {"s5l", 2}, {"cv22", 1}, {"SOFTWARE", 0}, {"", 0}, {"cv2", 0}, {"CV22", 0}}) {
    handle = reinterpret_cast<ads_handle*>(&handle);  // a stale value the failure must clear
    EXPECT_EQ(kavro_ads_init(&handle, platform, revision), -3) << platform << " " << revision;
    EXPECT_EQ(handle, nullptr);
    kavro_ads_destroy(&handle);
  }
}

// ---------------------------------------------------------------------------------------------
// Arguments, lifecycle and error texts

TEST(AdsArguments, NullArgumentsAreRejected) {
  EXPECT_EQ(kavro_ads_init(nullptr, "cv22", 0), -1);
  EXPECT_EQ(kavro_ads_init_file(nullptr, "/dev/null"), -1);
  ads_handle* handle = nullptr;
  EXPECT_EQ(kavro_ads_init(&handle, nullptr, 0), -1);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(kavro_ads_init_file(&handle, nullptr), -1);
  EXPECT_EQ(handle, nullptr);

  uint32_t type = 0, a = 0, b = 0, c = 0;
  EXPECT_EQ(kavro_ads_get_next_command(nullptr, &type, &a, &b, &c), -1);
  EXPECT_EQ(kavro_ads_get_next_command(&handle, &type, &a, &b, &c), -1);
  ASSERT_EQ(kavro_ads_init(&handle, "cv25", 0), 0);
  EXPECT_EQ(kavro_ads_get_next_command(&handle, nullptr, &a, &b, &c), -1);
  EXPECT_EQ(kavro_ads_get_next_command(&handle, &type, nullptr, &b, &c), -1);
  EXPECT_EQ(kavro_ads_get_next_command(&handle, &type, &a, nullptr, &c), -1);
  EXPECT_EQ(kavro_ads_get_next_command(&handle, &type, &a, &b, nullptr), -1);
  EXPECT_EQ(drain(&handle).size(), 110u) << "rejected calls must not advance the script";
}

TEST(AdsArguments, DestroyIsNullSafeAndRepeatable) {
  kavro_ads_destroy(nullptr);
  ads_handle* handle = nullptr;
  kavro_ads_destroy(&handle);
  ASSERT_EQ(kavro_ads_init(&handle, "cv28", 0), 0);
  kavro_ads_destroy(&handle);
  EXPECT_EQ(handle, nullptr);
  kavro_ads_destroy(&handle);
}

TEST(AdsErrorString, EveryCode) {
  EXPECT_STREQ(kavro_ads_error_string(-1), "Invalid parameters specified");
  EXPECT_STREQ(kavro_ads_error_string(-2), "Insufficient memory available");
  EXPECT_STREQ(kavro_ads_error_string(-3), "Not found");
  for (int code : {-4, -5, -6, -7, 0, 1}) {
    EXPECT_STREQ(kavro_ads_error_string(code), "Unknown error") << code;
  }
}

// ---------------------------------------------------------------------------------------------
// Script files

TEST_F(ScriptFile, MissingFileIsNotFound) {
  EXPECT_EQ(kavro_ads_init_file(&handle_, (directory_ / "absent.txt").c_str()), -3);
  EXPECT_EQ(handle_, nullptr);
}

TEST_F(ScriptFile, EmptyFileCannotBeReadCompletely) {
  EXPECT_EQ(load(""), -2);
  EXPECT_EQ(handle_, nullptr);
  kavro_ads_destroy(&handle_);
}

TEST_F(ScriptFile, DirectoryAndEndlessDeviceCannotBeRead) {
  fs::create_directories(directory_);
  EXPECT_EQ(kavro_ads_init_file(&handle_, directory_.c_str()), -2);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(kavro_ads_init_file(&handle_, "/dev/zero"), -2);
  EXPECT_EQ(handle_, nullptr);
}

TEST_F(ScriptFile, CrlfAndLfGiveTheSameCommands) {
  const std::string lf =
      "# Init\nwrite 0xdffe0800,0x60000004\n\npoll 0xdffe0818,0x80000000,0x0\n"
      "usleep 1000\nwrite 12,34\n";
  std::string crlf;
  for (char c : lf) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  const std::vector<Command> expected = {{W, 0xdffe0800, 0x60000004, 0},
                                         {P, 0xdffe0818, 0x80000000, 0},
                                         {U, 1000, 0, 0},
                                         {W, 12, 34, 0}};
  EXPECT_EQ(parse(lf), expected);
  EXPECT_EQ(parse(crlf), expected);
}

TEST_F(ScriptFile, BuiltInScript1WithLfEndingsMatchesTheOriginal) {
  std::string text = read_file(script_file(1));
  std::erase(text, '\r');
  ads_handle* original = nullptr;
  ASSERT_EQ(kavro_ads_init(&original, "s5l", 0), 0);
  EXPECT_EQ(parse(text), drain(&original));
}

TEST_F(ScriptFile, ScriptOf1024CommandsLoadsAndOf1025Fails) {
  const auto commands = parse(commands_text(1024));
  ASSERT_EQ(commands.size(), 1024u);
  EXPECT_EQ(commands.back(), (Command{W, 0x1023, 1, 0}));
  EXPECT_EQ(load(commands_text(1025)), -4);
  EXPECT_EQ(handle_, nullptr);
  kavro_ads_destroy(&handle_);
}

TEST_F(ScriptFile, IterationStopsAfterAFullTable) {
  ASSERT_EQ(load(commands_text(1024)), 0);
  uint32_t type = 0, a = 0, b = 0, c = 0;
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(kavro_ads_get_next_command(&handle_, &type, &a, &b, &c), 0);
  }
  EXPECT_EQ(kavro_ads_get_next_command(&handle_, &type, &a, &b, &c), -5);
  EXPECT_EQ(kavro_ads_get_next_command(&handle_, &type, &a, &b, &c), -5);
  kavro_ads_destroy(&handle_);
}

TEST_F(ScriptFile, ScriptWithoutCommandsLoads) {
  EXPECT_TRUE(parse("# only a comment\n\n# and another\n").empty());
  EXPECT_TRUE(parse("\n").empty());
}

struct Fragment {
  const char* text;
  std::vector<Command> commands;
};

TEST_F(ScriptFile, Fragments) {
  const Fragment fragments[] = {
      {"write 0x10,0x20,0x30,0x40\n", {{W, 0x10, 0x20, 0x30}}},
      {"usleep 500\n7\n", {{U, 500, 7, 0}}},
      {"write 0x1 usleep 5\n", {{W, 0x1, 0, 0}, {U, 5, 0, 0}}},
      {"poll 0x1\n # note 12\n", {{P, 0x1, 12, 0}}},
      {"writes 0x4,0x5\n", {{W, 0x4, 0x5, 0}}},
      {"poll 0X10\n", {{P, 0, 0, 0}}},
      {"usleep 1\n\twrite 0x4,0x5\n", {{U, 1, 0x4, 0x5}}},
      {"poll 0x1,0x2\n\twrite 0x4,0x5\n", {{P, 0x1, 0x2, 0x4}}},
      {"write 0x1 # 0x2\n", {{W, 0x1, 0x2, 0}}},
      {"write,,,0x1,,  ,0x2\n", {{W, 0x1, 0x2, 0}}},
      {"write 0x1 -5 +6 abc 0x2\n", {{W, 0x1, 0x2, 0}}},
      {"Write 0x1\nWRITE 0x2\n", {}},
      {"pollster 0xA,0xbC\n", {{P, 0xA, 0xBC, 0}}},
      {"usleep 0x\n", {{U, 0, 0, 0}}},
      {"usleep 12abc\n", {{U, 12, 0, 0}}},
      {"write 0x1\r\n0x2\r\n", {{W, 0x1, 0x2, 0}}},
      {"write\t0x1\n", {{W, 0, 0, 0}}},
      {"write 0x1", {{W, 0x1, 0, 0}}},
      // After "0x" the number reads as the C library's "%x" conversion does: a sign, a second
      // "0x" and leading white space are taken.
      {"write 0x-1,0x+5\n", {{W, 0xFFFFFFFF, 5, 0}}},
      {"write 0x0x10,0x0X1f\n", {{W, 0x10, 0x1F, 0}}},
      {"write 0x\t7\n", {{W, 7, 0, 0}}},
  };
  for (const Fragment& fragment : fragments) {
    EXPECT_EQ(parse(fragment.text), fragment.commands) << fragment.text;
  }
}

TEST_F(ScriptFile, NumbersBeforeTheFirstKeywordAreIgnored) {
  EXPECT_EQ(parse("0x10 20\n0x30\nwrite 0x1,0x2\n"), (std::vector<Command>{{W, 0x1, 0x2, 0}}));
}

TEST_F(ScriptFile, WideNumbersReadAsTheCLibraryStoresThem) {
  EXPECT_EQ(parse("usleep 3000000000\n"), (std::vector<Command>{{U, 3000000000u, 0, 0}}));
  EXPECT_EQ(parse("usleep 4294967295 4294967296 4294967297\n"),
            (std::vector<Command>{{U, 0xFFFFFFFF, 0, 1}}));
  // Beyond 64 bits the C library's conversions saturate.
  EXPECT_EQ(parse("write 99999999999999999999999,0x100000000000000000\n"),
            (std::vector<Command>{{W, 0xFFFFFFFF, 0xFFFFFFFF, 0}}));
  EXPECT_EQ(parse("write 0x123456789,0xfedcba9876543210\n"),
            (std::vector<Command>{{W, 0x23456789, 0x76543210, 0}}));
  EXPECT_EQ(parse("usleep " + std::string(5000, '9') + "\n").size(), 1u);
}

TEST_F(ScriptFile, TextEndsAtANulByte) {
  EXPECT_EQ(parse(std::string("write 0x1,0x2\nusleep 5\0\nwrite 0x3\n", 35)),
            (std::vector<Command>{{W, 0x1, 0x2, 0}, {U, 5, 0, 0}}));
  EXPECT_EQ(parse(std::string("\0write 0x1\n", 11)), (std::vector<Command>{}));
}

TEST_F(ScriptFile, ManyKeywordsOnOneLine) {
  std::string line;
  for (int i = 0; i < 1024; ++i) {
    line += "usleep " + std::to_string(i) + " ";
  }
  const auto commands = parse(line);
  ASSERT_EQ(commands.size(), 1024u);
  EXPECT_EQ(commands[1023], (Command{U, 1023, 0, 0}));

  std::string crowded;
  for (int i = 0; i < 4096; ++i) {
    crowded += "poll,";
  }
  EXPECT_EQ(load(crowded), -4);
  EXPECT_EQ(handle_, nullptr);
}

TEST_F(ScriptFile, LongLinesWithoutLineFeed) {
  EXPECT_EQ(parse("write 0x1," + std::string(1 << 20, ',') + "0x2"),
            (std::vector<Command>{{W, 0x1, 0x2, 0}}));
  EXPECT_EQ(parse("usleep 1 " + std::string(1 << 20, 'x')), (std::vector<Command>{{U, 1, 0, 0}}));
}

// Random bytes and random mixes of script tokens: loading either succeeds with at most 1024
// well-formed commands or fails with -4; the sanitizers watch every access.
TEST_F(ScriptFile, RandomInputNeverLeavesItsBuffers) {
  std::mt19937 random(20240611);
  const std::vector<std::string> pieces = {
      "write", "poll", "usleep", "0x", "0xFFFFFFFFFFFF",     "123",        "#", ",",
      " ",     "\n",   "\r\n",   "\t", std::string(1, '\0'), "99999999999"};
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const size_t length = random() % 4096 + 1;
    if (round % 2 == 0) {
      while (text.size() < length) {
        text.push_back(static_cast<char>(random() & 0xFF));
      }
    } else {
      while (text.size() < length) {
        text += pieces[random() % pieces.size()];
      }
    }
    const int result = load(text);
    ASSERT_TRUE(result == 0 || result == -4) << result;
    if (result == 0) {
      const auto commands = drain(&handle_);
      ASSERT_LE(commands.size(), 1024u);
      for (const Command& command : commands) {
        ASSERT_TRUE(command.type == W || command.type == P || command.type == U);
      }
    }
  }
}

TEST_F(ScriptFile, SessionsParseConcurrently) {
  const fs::path path = write(read_file(script_file(3)));
  std::vector<std::vector<Command>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&result, &path] {
      for (int i = 0; i < 20; ++i) {
        ads_handle* handle = nullptr;
        if (kavro_ads_init_file(&handle, path.c_str()) == 0) {
          result = drain(&handle);
        }
        if (kavro_ads_init(&handle, "cv25", 0) == 0) {
          result = drain(&handle);
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (const auto& result : results) {
    EXPECT_EQ(result.size(), 110u);
    EXPECT_EQ(result, results.front());
  }
}

}  // namespace
