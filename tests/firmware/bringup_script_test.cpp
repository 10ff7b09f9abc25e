// Bring-up scripts: the built-in ones per product row and script files. One table of scripts with
// the commands they parse to, one of scripts refused with their code.

#include "firmware/bringup_script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/temp_directory.h"

namespace {

using namespace std::string_literals;

// The commands as text: one letter per command (W, P or U) and its three arguments in hex.
std::string drain(ads_handle** handle) {
  std::string text;
  uint32_t type = 0, a = 0, b = 0, c = 0;
  while (kavro_ads_get_next_command(handle, &type, &a, &b, &c) == 0) {
    char line[40];
    std::snprintf(line, sizeof line, "%s%c %x %x %x", text.empty() ? "" : "; ", " WPU"[type], a, b,
                  c);
    text += line;
  }
  kavro_ads_destroy(handle);
  return text;
}

std::string repeated(const std::string& text, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) {
    all += text;
  }
  return all;
}

class ScriptFile : public ::testing::Test {
 protected:
  void TearDown() override { kavro_ads_destroy(&handle_); }
  int load(const std::string& text, std::vector<std::string>* warnings = nullptr) {
    kavro_ads_destroy(&handle_);
    return kavro_ads_init_file(&handle_, folder_.write_file("ads.txt", text).c_str(), warnings);
  }

  test_support::TempDirectory folder_;
  ads_handle* handle_ = nullptr;
};

TEST_F(ScriptFile, ParsedCommands) {
  const std::pair<std::string, std::string> rows[] = {
      {"# Init\nwrite 0xdffe0800,0x60000004\n\npoll 0xdffe0818,0x80000000,0x0\nusleep 1000\n",
       "W dffe0800 60000004 0; P dffe0818 80000000 0; U 3e8 0 0"},
      {"# Init\r\nwrite 0x1,0x2\r\n\r\nusleep 12\r\n", "W 1 2 0; U c 0 0"},
      {"# only comments\n\n# and another\n", ""},
      {"usleep 500\n7\n", "U 1f4 7 0"},                          // arguments go across lines
      {"write 0x1 usleep 5 poll", "W 1 0 0; U 5 0 0; P 0 0 0"},  // no final line feed
      {"writes 0x4,0x5\npollster 0xA,0xbC\n", "W 4 5 0; P a bc 0"},
      {"Write 0x1\nWRITE 0x2\n", ""},
      {"write\t0x1\nusleep 1\n\twrite 0x4,0x5\n", "W 0 0 0; U 1 4 5"},  // tabs are no separators
      {"write 0x1 # 0x2\n", "W 1 2 0"},
      {"write,,,0x1,,  ,0x2 -5 +6 abc\n", "W 1 2 0"},
      {"usleep 0x\nusleep 12abc\n", "U 0 0 0; U c 0 0"},
      // Numbers read as the C library's "0x%x" and "%d" conversions read them.
      {"write 0x-1,0x+5,0x0x10\n", "W ffffffff 5 10"},
      {"usleep 3000000000 4294967296 99999999999999999999999\n", "U b2d05e00 0 ffffffff"},
      {"write 0x123456789,0x100000000000000000\n", "W 23456789 ffffffff 0"},
      {"write 0x1,0x2\nusleep 5\0\nwrite 0x3\n"s, "W 1 2 0; U 5 0 0"},  // a NUL ends the text
      {"write 0x1," + std::string(1 << 20, ',') + "0x2", "W 1 2 0"},
  };
  for (const auto& [text, commands] : rows) {
    ASSERT_EQ(load(text), 0) << text.substr(0, 100);
    EXPECT_EQ(drain(&handle_), commands) << text.substr(0, 100);
  }
  // A full table of 1024 commands, then the end of the script.
  ASSERT_EQ(load(repeated("write 0x1,0x2\n", 1023) + "usleep 7"), 0);
  uint32_t type = 0, a = 0, b = 0, c = 0;
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(kavro_ads_get_next_command(&handle_, &type, &a, &b, &c), 0);
  }
  EXPECT_EQ(type, ADS_CMD_USLEEP);
  EXPECT_EQ(a, 7u);
  EXPECT_EQ(kavro_ads_get_next_command(&handle_, &type, &a, &b, &c), ADS_END_OF_SCRIPT);
  EXPECT_EQ(kavro_ads_get_next_command(&handle_, nullptr, &a, &b, &c), ADS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_ads_get_next_command(&handle_, &type, nullptr, &b, &c), ADS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_ads_get_next_command(&handle_, &type, &a, nullptr, &c), ADS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_ads_get_next_command(&handle_, &type, &a, &b, nullptr), ADS_INVALID_PARAMETER);
  kavro_ads_destroy(&handle_);
  EXPECT_EQ(kavro_ads_get_next_command(&handle_, &type, &a, &b, &c), ADS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_ads_get_next_command(nullptr, &type, &a, &b, &c), ADS_INVALID_PARAMETER);
  kavro_ads_destroy(&handle_);
  kavro_ads_destroy(nullptr);
}

// One warning for each line not read as written, after "bring-up script: ".
TEST_F(ScriptFile, WarningsOfLinesNotReadAsWritten) {
  const std::pair<std::string, std::string> rows[] = {
      {"# Init\r\nwrite 0x1,0x2\r\n\r\nusleep 12\r\n", ""},
      {"write 0x1000 zz\nfoo bar\n",
       "line 1 \"write 0x1000 zz\": \"zz\" skipped: not a command or a number; write has 1 of its "
       "2 numbers, the missing one read as 0\nline 2 \"foo bar\" skipped: not a command or a "
       "number\n"},
      {"0x10\nwrites 0X1F,12abc,0x123456789,0x4\nusleep 5 7 poll",
       "line 1 \"0x10\": \"0x10\" skipped: no command before it\nline 2 \"writes "
       "0X1F,12abc,0x123456789,0x4\": \"writes\" read as write; \"0X1F\" read as 0; \"12abc\" "
       "read as 12; \"0x123456789\" read as 0x23456789; \"0x4\" skipped: a command takes at most "
       "3 numbers\nline 3 \"usleep 5 7 poll\": \"7\" not used: usleep takes 1 number; poll has "
       "0 of its 3 numbers, the missing ones read as 0\n"},
      {"usleep 1 " + std::string(1 << 20, 'x'), "line 1 \"usleep 1 " + std::string(31, 'x') +
                                                    "...\": \"" + std::string(40, 'x') +
                                                    "...\" skipped: not a command or a number\n"},
  };
  for (const auto& [text, warnings] : rows) {
    std::vector<std::string> lines;
    ASSERT_EQ(load(text, &lines), 0);
    std::string joined;
    for (const std::string& line : lines) {
      joined += line.substr(line.starts_with("bring-up script: ") ? 17 : 0) + "\n";
    }
    EXPECT_EQ(joined, warnings) << text.substr(0, 100);
  }
}

TEST_F(ScriptFile, RefusedScripts) {
  EXPECT_EQ(load(""), ADS_NO_MEMORY);
  // More than 1024 commands, all on one line.
  EXPECT_EQ(load(repeated("poll,", 4096)), ADS_PARSE_FAILED);
  EXPECT_EQ(handle_, nullptr);
  const std::pair<const char*, int> files[] = {
      {"/dev/zero", ADS_NO_MEMORY},  // no end: refused at 16 MiB
      {"/", ADS_NO_MEMORY},
      {"/nonexistent/ads.txt", ADS_NOT_FOUND},
      {nullptr, ADS_INVALID_PARAMETER},
  };
  for (const auto& [path, code] : files) {
    EXPECT_EQ(kavro_ads_init_file(&handle_, path), code) << (path ? path : "null");
    EXPECT_EQ(handle_, nullptr);
  }
  EXPECT_EQ(kavro_ads_init_file(nullptr, "/dev/null"), ADS_INVALID_PARAMETER);
}

// The built-in scripts by platform and revision: how many writes, polls and pauses each holds.
TEST(BuiltInScripts, SelectedByPlatformAndRevision) {
  const std::tuple<const char*, uint32_t, int, int, int> rows[] = {
      {"s5l", 0, 52, 11, 6},       {"cv22", 0, 64, 19, 6}, {"cv25", 0, 83, 21, 6},
      {"s6lm", 0, 78, 19, 6},      {"s5l", 1, 48, 10, 19}, {"cv28", 0, 75, 13, 6},
      {"cv22-lite", 0, 64, 19, 6},
  };
  for (const auto& [platform, revision, writes, polls, pauses] : rows) {
    ads_handle* handle = nullptr;
    ASSERT_EQ(kavro_ads_init(&handle, platform, revision), 0) << platform;
    // Arguments print as lower-case hex, so the capitals are the commands.
    const std::string commands = drain(&handle);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 'W'), writes) << platform << revision;
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 'P'), polls) << platform << revision;
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 'U'), pauses) << platform << revision;
  }
  ads_handle* handle = nullptr;
  ASSERT_EQ(kavro_ads_init(&handle, "s5l", 0), 0);
  EXPECT_TRUE(drain(&handle).starts_with("W ec1700dc 45100000 0; ")) << "the PLL comes first";
  const std::pair<const char*, uint32_t> unknown[] = {{"s5l", 2}, {"cv22", 1}, {"CV22", 0}};
  for (const auto& [platform, revision] : unknown) {
    handle = reinterpret_cast<ads_handle*>(&handle);  // a stale value the failure must clear
    EXPECT_EQ(kavro_ads_init(&handle, platform, revision), ADS_NOT_FOUND) << platform << revision;
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_EQ(kavro_ads_init(&handle, nullptr, 0), ADS_INVALID_PARAMETER);
  EXPECT_EQ(kavro_ads_init(nullptr, "cv22", 0), ADS_INVALID_PARAMETER);
}

}  // namespace
