// Bring-up scripts: the built-in ones per product row and script files, parsed into commands.

#include "firmware/bringup_script.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/c_handle.h"
#include "common/products.h"
#include "data/embedded.h"

namespace {

// Internal to the parser; callers see ADS_PARSE_FAILED.
constexpr int ADS_TOO_MANY_COMMANDS = -6;

constexpr int MAX_COMMANDS = 1024;
constexpr uint32_t MAX_ARGUMENTS = 3;
// Scripts are a few kilobytes. A file that goes on past this (a device such as /dev/zero) is
// refused as unreadable instead of filling memory.
constexpr size_t MAX_SCRIPT_FILE_SIZE = 16u << 20;

// One parsed command; arguments not given in the script stay 0.
struct ads_command {
  uint32_t type;
  uint32_t args[MAX_ARGUMENTS];
};

}  // namespace

struct ads_handle {
  std::array<ads_command, MAX_COMMANDS> commands{};
  int32_t next_index = 0;
};

namespace {

using command_table = std::array<ads_command, MAX_COMMANDS>;

struct keyword {
  std::string_view text;
  uint32_t type;
};

// Tested in this order; a token only has to begin with the keyword ("writes" is a write).
constexpr std::array<keyword, 3> keywords = {{
    {"write", ADS_CMD_WRITE},
    {"poll", ADS_CMD_POLL},
    {"usleep", ADS_CMD_USLEEP},
}};

constexpr std::string_view separators = " ,";

// The numbers read as the C library's scanf conversions "0x%x" and "%d" read them: white space,
// a sign and (for "%x") a second "0x" are taken, reading stops at the first other character
// (the carriage return of a CRLF line, for instance), a number wider than 32 bits keeps its low
// 32 bits and one beyond 64 bits saturates. A token that gives no number leaves the argument 0.
uint32_t read_hex_number(std::string_view token) {
  const std::string text(token);
  unsigned int value = 0;
  std::sscanf(text.c_str(), "0x%x", &value);
  return value;
}

uint32_t read_decimal_number(std::string_view token) {
  const std::string text(token);
  int value = 0;
  std::sscanf(text.c_str(), "%d", &value);
  return static_cast<uint32_t>(value);
}

// Whether `token` (without its line's carriage return) is exactly the number `value` written in
// digits of `base`, so that reading it lost nothing.
bool reads_whole(std::string_view token, int base, uint32_t value) {
  uint64_t written = 0;
  const auto [end, error] =
      std::from_chars(token.data(), token.data() + token.size(), written, base);
  return !token.empty() && error == std::errc{} && end == token.data() + token.size() &&
         written == value;
}

// Numbers a command needs; those not given are sent as 0.
uint32_t arguments_needed(uint32_t type) {
  return type == ADS_CMD_POLL ? 3 : type == ADS_CMD_WRITE ? 2 : 1;
}

std::string_view keyword_of(uint32_t type) {
  return type == ADS_CMD_POLL ? "poll" : type == ADS_CMD_WRITE ? "write" : "usleep";
}

// Warnings quote what they are about, cut short: a file that is no script at all can hold
// lines of any length.
constexpr size_t QUOTED_LENGTH = 40;
// And they stop after so many lines, with one more that counts the rest.
constexpr size_t WARNED_LINES = 20;

std::string quoted(std::string_view text) {
  return "\"" + std::string(text.substr(0, QUOTED_LENGTH)) +
         (text.size() > QUOTED_LENGTH ? "...\"" : "\"");
}

// What one line of a script file said that is not read as written, for the person who wrote it.
struct line_notes {
  std::string text;  // the line's start, without the carriage return of a CRLF line
  std::vector<std::string> notes;
  bool used = false;       // a command or a number on the line was taken
  bool only_words = true;  // every note is about a word that is neither command nor number
};

// Running state of one parse: the commands so far, the latest command and how many arguments
// it has received, and, when asked for, notes on every line that is not read as written.
class script_parser {
 public:
  script_parser(command_table& commands, std::vector<std::string>* warnings)
      : commands_(commands), warnings_(warnings) {}

  int parse(std::string_view text);

 private:
  int parse_line(std::string_view line);
  int parse_token(std::string_view token);
  int start_command(uint32_t type);
  void add_argument(std::string_view token, uint32_t value);
  void note_missing_arguments();
  void note(size_t line, std::string text, bool about_word = false);
  void write_warnings();

  command_table& commands_;
  int current_ = -1;
  uint32_t argument_count_ = 0;
  std::vector<std::string>* warnings_;
  std::vector<line_notes> lines_;  // only filled when warnings are asked for
  size_t command_line_ = 0;        // index in lines_ of the latest command's line
};

// The text is a C string: anything after a NUL byte is not part of the script.
int script_parser::parse(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const int result = parse_line(text.substr(0, end));
    if (result != 0) {
      return result;
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  note_missing_arguments();
  write_warnings();
  return 0;
}

// Only the first character decides whether a line is a comment; tabs and carriage returns are
// no separators, so they stay inside the tokens.
int script_parser::parse_line(std::string_view line) {
  if (warnings_ != nullptr) {
    const std::string_view text = line.substr(0, line.find_last_not_of('\r') + 1);
    lines_.push_back({std::string(text.substr(0, QUOTED_LENGTH + 1)), {}});
  }
  if (line.empty() || line.front() == '#') {
    return 0;
  }
  for (size_t start = line.find_first_not_of(separators); start != std::string_view::npos;
       start = line.find_first_not_of(separators, start)) {
    const size_t end = std::min(line.find_first_of(separators, start), line.size());
    const int result = parse_token(line.substr(start, end - start));
    if (result != 0) {
      return result;
    }
    start = end;
  }
  return 0;
}

// A keyword starts a command; a token that begins with "0x", or with a decimal digit, is an
// argument. Anything else is ignored: words, signed numbers, a "#" inside a line, a lone
// carriage return. "0X1F" reads as the decimal 0 followed by ignored characters.
int script_parser::parse_token(std::string_view token) {
  const std::string_view written = token.substr(0, token.find_last_not_of('\r') + 1);
  for (const keyword& candidate : keywords) {
    if (token.starts_with(candidate.text)) {
      if (written != candidate.text) {
        note(lines_.size(), quoted(written) + " read as " + std::string(candidate.text));
      }
      return start_command(candidate.type);
    }
  }
  if (token.starts_with("0x")) {
    const uint32_t value = read_hex_number(token);
    if (!reads_whole(written.substr(2), 16, value)) {
      char shown[16];
      std::snprintf(shown, sizeof shown, "0x%x", value);
      note(lines_.size(), quoted(written) + " read as " + shown);
    }
    add_argument(written, value);
  } else if (token.front() >= '0' && token.front() <= '9') {
    const uint32_t value = read_decimal_number(token);
    if (!reads_whole(written, 10, value)) {
      note(lines_.size(), quoted(written) + " read as " + std::to_string(value));
    }
    add_argument(written, value);
  } else if (!written.empty()) {
    note(lines_.size(), quoted(written) + " skipped: not a command or a number", true);
  }
  return 0;
}

int script_parser::start_command(uint32_t type) {
  if (current_ + 1 >= MAX_COMMANDS) {
    return ADS_TOO_MANY_COMMANDS;
  }
  note_missing_arguments();
  ++current_;
  commands_[current_].type = type;
  argument_count_ = 0;
  command_line_ = lines_.size();
  if (warnings_ != nullptr) {
    lines_.back().used = true;
  }
  return 0;
}

// Arguments belong to the latest command, also across lines. Numbers before the first keyword
// have no command to belong to and are ignored, like the numbers beyond a command's third.
void script_parser::add_argument(std::string_view token, uint32_t value) {
  if (current_ < 0) {
    note(lines_.size(), quoted(token) + " skipped: no command before it");
    return;
  }
  if (argument_count_ >= MAX_ARGUMENTS) {
    note(lines_.size(), quoted(token) + " skipped: a command takes at most 3 numbers");
    return;
  }
  // A pause sends only its first number; the others are kept but go nowhere.
  if (commands_[current_].type == ADS_CMD_USLEEP && argument_count_ >= 1) {
    note(lines_.size(), quoted(token) + " not used: usleep takes 1 number");
  }
  commands_[current_].args[argument_count_++] = value;
  if (warnings_ != nullptr) {
    lines_.back().used = true;
  }
}

void script_parser::note_missing_arguments() {
  if (current_ < 0) {
    return;
  }
  const uint32_t type = commands_[current_].type;
  if (argument_count_ < arguments_needed(type)) {
    note(command_line_,
         std::string(keyword_of(type)) + " has " + std::to_string(argument_count_) + " of its " +
             std::to_string(arguments_needed(type)) + " numbers, the missing " +
             (arguments_needed(type) - argument_count_ == 1 ? "one" : "ones") + " read as 0");
  }
}

// `line` counts from 1, as lines_ grows.
void script_parser::note(size_t line, std::string text, bool about_word) {
  if (warnings_ == nullptr) {
    return;
  }
  line_notes& notes = lines_[line - 1];
  notes.notes.push_back(std::move(text));
  notes.only_words = notes.only_words && about_word;
}

// A line of words only is one that was skipped whole; it says so in fewer words.
void script_parser::write_warnings() {
  size_t warned = 0;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const line_notes& line = lines_[i];
    if (line.notes.empty()) {
      continue;
    }
    if (++warned > WARNED_LINES) {
      const auto more = std::count_if(lines_.begin() + static_cast<std::ptrdiff_t>(i), lines_.end(),
                                      [](const line_notes& rest) { return !rest.notes.empty(); });
      warnings_->push_back("bring-up script: " + std::to_string(more) +
                           " more lines are not read as written");
      return;
    }
    std::string warning =
        "bring-up script: line " + std::to_string(i + 1) + " " + quoted(line.text);
    if (!line.used && line.only_words) {
      warnings_->push_back(warning + " skipped: not a command or a number");
      continue;
    }
    for (size_t n = 0; n < line.notes.size(); ++n) {
      warning += (n == 0 ? ": " : "; ") + line.notes[n];
    }
    warnings_->push_back(std::move(warning));
  }
}

int parse_ads_data(ads_handle* handle, std::string_view text, std::vector<std::string>* warnings) {
  return script_parser(handle->commands, warnings).parse(text) == 0 ? 0 : ADS_PARSE_FAILED;
}

std::string_view as_text(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Reads the file to its end, so that pipes work too and no size reported for a directory or a
// device is ever allocated.
int read_script_file(const char* path, std::string* text) {
  const CHandle<std::FILE, std::fclose> file{std::fopen(path, "rb")};
  if (!file) {
    return ADS_NOT_FOUND;
  }
  std::array<char, 4096> chunk;
  try {
    size_t bytes_read = 0;
    while ((bytes_read = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0) {
      text->append(chunk.data(), bytes_read);
      if (text->size() > MAX_SCRIPT_FILE_SIZE) {
        return ADS_NO_MEMORY;
      }
    }
  } catch (const std::bad_alloc&) {
    return ADS_NO_MEMORY;
  }
  // An empty file has no block to read, so it counts as not read completely.
  if (std::ferror(file.get()) != 0 || text->empty()) {
    return ADS_NO_MEMORY;
  }
  return 0;
}

// Shared tail of both init operations: parses `text` into a new handle and stores it in the
// caller's variable, which stays null on any failure.
int load_script(ads_handle** handle, std::string_view text, std::vector<std::string>* warnings) {
  std::unique_ptr<ads_handle> loaded{new (std::nothrow) ads_handle{}};
  if (!loaded) {
    return ADS_NO_MEMORY;
  }
  const int result = parse_ads_data(loaded.get(), text, warnings);
  if (result != 0) {
    return result;
  }
  *handle = loaded.release();
  return 0;
}

}  // namespace

int kavro_ads_init(ads_handle** handle, const char* platform, uint32_t hw_version) {
  if (handle == nullptr) {
    return ADS_INVALID_PARAMETER;
  }
  *handle = nullptr;
  if (platform == nullptr) {
    return ADS_INVALID_PARAMETER;
  }
  const int row = product_row_for(platform, hw_version);
  if (row < 0) {
    return ADS_NOT_FOUND;
  }
  return load_script(handle, as_text(embedded::ads_script(row)), nullptr);
}

int kavro_ads_init_file(ads_handle** handle, const char* path, std::vector<std::string>* warnings) {
  if (handle == nullptr) {
    return ADS_INVALID_PARAMETER;
  }
  *handle = nullptr;
  if (path == nullptr) {
    return ADS_INVALID_PARAMETER;
  }
  std::string text;
  const int result = read_script_file(path, &text);
  if (result != 0) {
    return result;
  }
  return load_script(handle, text, warnings);
}

void kavro_ads_destroy(ads_handle** handle) {
  if (handle == nullptr) {
    return;
  }
  delete *handle;
  *handle = nullptr;
}

int kavro_ads_get_next_command(ads_handle** handle, uint32_t* type, uint32_t* arg1, uint32_t* arg2,
                               uint32_t* arg3) {
  if (handle == nullptr || *handle == nullptr || type == nullptr || arg1 == nullptr ||
      arg2 == nullptr || arg3 == nullptr) {
    return ADS_INVALID_PARAMETER;
  }
  ads_handle* script = *handle;
  if (script->next_index >= MAX_COMMANDS ||
      script->commands[script->next_index].type == ADS_CMD_NONE) {
    return ADS_END_OF_SCRIPT;
  }
  const ads_command& command = script->commands[script->next_index++];
  *type = command.type;
  *arg1 = command.args[0];
  *arg2 = command.args[1];
  *arg3 = command.args[2];
  return 0;
}

const char* kavro_ads_error_string(int code) {
  switch (code) {
    case ADS_INVALID_PARAMETER:
      return "Invalid parameters specified";
    case ADS_NO_MEMORY:
      return "Insufficient memory available";
    case ADS_NOT_FOUND:
      return "Not found";
    default:
      return "Unknown error";
  }
}
