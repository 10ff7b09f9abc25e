// Each manual page against its program: the options on the program's own list and in its usage
// text, the environment variables it reads and, for the simulator, every configuration key.
// One row per program.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "app/options.h"
#include "common/environment.h"
#include "sim/config_keys.h"
#include "tests/support/subprocess.h"
#include "tools/pack_options.h"

namespace {

using Names = std::set<std::string, std::less<>>;
using List = std::span<const std::string_view>;

// The page with the roff escapes for dashes and fonts gone.
std::string read_page(const std::string& page) {
  std::ifstream input(std::string(KAVRO_MAN_DIR) + "/" + page);
  std::string text{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
  for (size_t at = text.find('\\'); at != std::string::npos; at = text.find('\\', at + 1)) {
    text.erase(at, text[at + 1] == '-' ? 1 : text[at + 1] == 'f' ? 3 : 0);
  }
  return text;
}

// The lines that follow ".TP", without their font macro: the items a page describes.
std::string tags(const std::string& text) {
  std::string tagged;
  for (size_t at = text.find(".TP\n"); at != std::string::npos; at = text.find(".TP\n", at + 1)) {
    const size_t start = text[at + 4] == '.' ? text.find(' ', at + 4) : at + 4;
    tagged += text.substr(start, text.find('\n', at + 4) - start + 1);
  }
  return tagged;
}

// The words of `text` (runs of letters, digits, "_" and "-") that `wanted` accepts.
Names words(std::string text, bool (*wanted)(const std::string&)) {
  std::replace_if(
      text.begin(), text.end(),
      [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_' && c != '-';
      },
      ' ');
  std::istringstream stream(text);
  Names found;
  for (std::string word; stream >> word;) {
    if (wanted(word)) {
      found.insert(word);
    }
  }
  return found;
}

bool is_option(const std::string& word) {
  return word[0] == '-' && std::isalpha(static_cast<unsigned char>(word[word[1] == '-' ? 2 : 1]));
}

bool is_variable(const std::string& word) {
  return word.size() > 1 && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == word.npos;
}

Names all_of(std::initializer_list<List> lists) {
  Names all;
  for (const List list : lists) {
    all.insert(list.begin(), list.end());
  }
  return all;
}

TEST(Manuals, DescribeWhatEachProgramReads) {
  Names flash_options;
  for (const char letter : flasher_option_string().substr(1)) {
    flash_options.insert(letter == ':' ? "" : std::string("-") + letter);
  }
  flash_options.erase("");
  Names sim_keys = all_of({sim::kRootKeys, sim::kModuleKeys, sim::kTimingKeys});
  sim_keys.emplace(sim::kFaultKindKey);
  for (const auto& kind : sim::kFaultKinds) {
    sim_keys.emplace(kind.name);
    sim_keys.insert(kind.keys.begin(), kind.keys.end());
  }
  const std::array<std::string_view, 1> version{kavro_pack::VERSION_OPTION};
  const std::array<std::string_view, 3> libpq_variables{"PGPASSFILE", "PGHOST", "PGUSER"};
  // The station's options are those its usage text names.
  const Names station_options =
      words(test_support::run_process(KAVRO_STATION_BINARY, {"-h"}).out, is_option);
  const Names report_options =
      words(test_support::run_process(KAVRO_REPORT_BINARY, {"--help"}).out, is_option);
  // Each program: its page, how it shows its usage, the options and environment variables on its
  // own lists, and the configuration keys its page describes besides.
  const std::tuple<const char*, std::string, const char*, Names, Names, Names> programs[] = {
      {"kavro-flash.1", KAVRO_FLASH_SIM_BINARY, "-h", flash_options, all_of({FLASHER_ENVIRONMENT}),
       sim_keys},
      {"kavro-pack.1",
       KAVRO_PACK_BINARY,
       "--help",
       all_of({kavro_pack::BUILD_OPTIONS, kavro_pack::VERIFY_OPTIONS, kavro_pack::HELP_OPTIONS,
               version}),
       {},
       {}},
      // libpq reads its own variables, which the page names beside the station's.
      {"kavro-station.1",
       KAVRO_STATION_BINARY,
       "-h",
       station_options,
       all_of({STATION_ENVIRONMENT, libpq_variables}),
       {}},
      // kavro-report reads no variable itself; its page names libpq's in prose.
      {"kavro-report.1", KAVRO_REPORT_BINARY, "--help", report_options, {}, {}},
  };
  for (const auto& [name, binary, help, options, variables, keys] : programs) {
    const std::string page = read_page(name);
    EXPECT_EQ(words(tags(page), is_option), options) << name;
    const std::string usage = test_support::run_process(binary, {help}).out;
    for (const std::string& option : words(usage, is_option)) {
      EXPECT_TRUE(options.contains(option)) << name << ": usage names " << option;
    }
    const size_t start = page.find(".SH ENVIRONMENT\n");
    const std::string environment =
        start == page.npos ? "" : page.substr(start, page.find(".SH ", start + 1) - start);
    EXPECT_EQ(words(tags(environment), is_variable), variables) << name;
    const Names described = words(environment, [](const std::string&) { return true; });
    for (const std::string& key : keys) {
      EXPECT_TRUE(described.contains(key)) << name << " does not describe " << key;
    }
  }
}

}  // namespace
