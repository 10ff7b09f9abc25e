#include "sim/usbredir/server_options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace realusb_test {
namespace {

using sim::redir::parse_server_options;
using sim::redir::ServerOptions;

// getopt wants writable argv strings.
class Arguments {
 public:
  Arguments(std::initializer_list<std::string> words) : words_(words) {
    words_.insert(words_.begin(), "kavro-usbredir-sim");
    for (std::string& word : words_) {
      pointers_.push_back(word.data());
    }
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

std::string parse_error(std::initializer_list<std::string> words) {
  Arguments arguments(words);
  std::string error;
  EXPECT_FALSE(parse_server_options(arguments.argc(), arguments.argv(), error));
  return error;
}

TEST(ServerOptions, ReadsEveryOption) {
  Arguments arguments{"--listen",         "unix:/tmp/m.sock",
                      "--config",         "m.json",
                      "--platform",       "cv25",
                      "--port",           "2-3",
                      "--revision",       "1",
                      "--flash-dir",      "out",
                      "--accept-timeout", "7",
                      "--verbose"};
  std::string error;
  const auto options = parse_server_options(arguments.argc(), arguments.argv(), error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->listen, "unix:/tmp/m.sock");
  EXPECT_EQ(options->config_path, "m.json");
  EXPECT_EQ(options->platform, "cv25");
  EXPECT_EQ(options->port, "2-3");
  EXPECT_EQ(options->revision, 1u);
  EXPECT_EQ(options->flash_dir, "out");
  EXPECT_EQ(options->accept_timeout, std::chrono::seconds(7));
  EXPECT_TRUE(options->verbose);
}

TEST(ServerOptions, DefaultsLeaveTheModuleAsConfigured) {
  Arguments arguments{"--listen", "tcp:0"};
  std::string error;
  const auto options = parse_server_options(arguments.argc(), arguments.argv(), error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->accept_timeout, std::chrono::seconds(60));
  sim::ModuleConfig module;
  module.platform = "s6lm";
  module.adc_reading = 1234;
  sim::redir::apply_overrides(*options, module);
  EXPECT_EQ(module.platform, "s6lm");
  EXPECT_EQ(module.adc_reading, 1234u);
}

TEST(ServerOptions, ARevisionReplacesAConfiguredAdcReading) {
  Arguments arguments{"--listen", "tcp:0", "--revision", "1", "--port", "1-4"};
  std::string error;
  const auto options = parse_server_options(arguments.argc(), arguments.argv(), error);
  ASSERT_TRUE(options) << error;
  sim::ModuleConfig module;
  module.adc_reading = 1234;
  sim::redir::apply_overrides(*options, module);
  EXPECT_EQ(module.revision, 1u);
  EXPECT_FALSE(module.adc_reading);
  EXPECT_EQ(module.port, "1-4");
}

TEST(ServerOptions, RejectsBadCommandLinesWithAReason) {
  EXPECT_EQ(parse_error({}), "--listen is required");
  EXPECT_EQ(parse_error({"--listen", "tcp:0", "--bogus"}),
            "unknown option or missing value: --bogus");
  EXPECT_EQ(parse_error({"--listen"}), "unknown option or missing value: --listen");
  EXPECT_EQ(parse_error({"--listen", "tcp:0", "--revision", "one"}),
            "--revision needs a number, not 'one'");
  EXPECT_EQ(parse_error({"--listen", "tcp:0", "--revision", "-1"}),
            "--revision needs a number, not '-1'");
  EXPECT_EQ(parse_error({"--listen", "tcp:0", "--accept-timeout", "0"}),
            "--accept-timeout needs a positive number of seconds, not '0'");
  EXPECT_EQ(parse_error({"--listen", "tcp:0", "--accept-timeout", "5s"}),
            "--accept-timeout needs a positive number of seconds, not '5s'");
  EXPECT_EQ(parse_error({"--listen", "tcp:0", "extra"}), "unexpected argument: extra");
}

}  // namespace
}  // namespace realusb_test
