// Bring-up scripts: the built-in ones per product row and script files, parsed into commands.

#include "firmware/bringup_script.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>

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

// Running state of one parse: the commands so far, the latest command and how many arguments
// it has received.
class script_parser {
 public:
  explicit script_parser(command_table& commands) : commands_(commands) {}

  int parse(std::string_view text);

 private:
  int parse_line(std::string_view line);
  int parse_token(std::string_view token);
  int start_command(uint32_t type);
  void add_argument(uint32_t value);

  command_table& commands_;
  int current_ = -1;
  uint32_t argument_count_ = 0;
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
  return 0;
}

// Only the first character decides whether a line is a comment; tabs and carriage returns are
// no separators, so they stay inside the tokens.
int script_parser::parse_line(std::string_view line) {
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
  for (const keyword& candidate : keywords) {
    if (token.starts_with(candidate.text)) {
      return start_command(candidate.type);
    }
  }
  if (token.starts_with("0x")) {
    add_argument(read_hex_number(token));
  } else if (token.front() >= '0' && token.front() <= '9') {
    add_argument(read_decimal_number(token));
  }
  return 0;
}

int script_parser::start_command(uint32_t type) {
  if (current_ + 1 >= MAX_COMMANDS) {
    return ADS_TOO_MANY_COMMANDS;
  }
  ++current_;
  commands_[current_].type = type;
  argument_count_ = 0;
  return 0;
}

// Arguments belong to the latest command, also across lines. Numbers before the first keyword
// have no command to belong to and are ignored, like the numbers beyond a command's third.
void script_parser::add_argument(uint32_t value) {
  if (current_ < 0 || argument_count_ >= MAX_ARGUMENTS) {
    return;
  }
  commands_[current_].args[argument_count_++] = value;
}

int parse_ads_data(ads_handle* handle, std::string_view text) {
  return script_parser(handle->commands).parse(text) == 0 ? 0 : ADS_PARSE_FAILED;
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
int load_script(ads_handle** handle, std::string_view text) {
  std::unique_ptr<ads_handle> loaded{new (std::nothrow) ads_handle{}};
  if (!loaded) {
    return ADS_NO_MEMORY;
  }
  const int result = parse_ads_data(loaded.get(), text);
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
  return load_script(handle, as_text(embedded::ads_script(row)));
}

int kavro_ads_init_file(ads_handle** handle, const char* path) {
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
  return load_script(handle, text);
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
