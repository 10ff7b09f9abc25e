// kavro-pack: builds, signs, verifies and lists the firmware archives that kavro-flash reads.

#include <json-c/json.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <ostream>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/archive_format.h"
#include "tools/kavro_pack.h"
#include "tools/pack_handles.h"
#include "tools/pack_input_checks.h"
#include "tools/pack_options.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

constexpr std::string_view BUILD_USAGE =
    "  kavro-pack build -m MANIFEST.json -o OUTPUT [--format 7z|7z-store|zip]\n"
    "                   [--sign-key PRIVATE.pem --sign NAME[,NAME...]] FILE...\n"
    "      Packs the manifest and the files (each stored under its own file name) into\n"
    "      OUTPUT: the manifest first, then the images in the order kavro-flash sends them.\n"
    "      The platform must be one kavro-flash knows, every partition of the manifest must\n"
    "      name one of the files with its exact \"filesize\", and the manifest must name\n"
    "      every file.\n"
    "      Each NAME given to --sign gets a 512-byte NAME.sign companion (RSA-4096,\n"
    "      PKCS#1 v1.5 over SHA-256).\n";
constexpr std::string_view VERIFY_USAGE =
    "  kavro-pack verify -k PUBLIC.pem ARCHIVE\n"
    "      Checks every .sign companion of ARCHIVE against its file.\n";
constexpr std::string_view LIST_USAGE =
    "  kavro-pack list ARCHIVE\n"
    "      Prints the manifest values, the partitions and the entries of ARCHIVE.\n";
constexpr std::string_view OTHER_USAGE =
    "  kavro-pack --help | --version\n"
    "  kavro-pack COMMAND --help\n";
constexpr std::string_view EXIT_USAGE_TEXT =
    "Exit status: 0 success, 1 failure, 2 bad command line.\n";

// One command's part of the usage text, or all of it for anything that is not a command.
std::string usage(std::string_view command) {
  std::string text = "Usage:\n";
  if (command == "build") {
    text += BUILD_USAGE;
  } else if (command == "verify") {
    text += VERIFY_USAGE;
  } else if (command == "list") {
    text += LIST_USAGE;
  } else {
    text.append(BUILD_USAGE).append(VERIFY_USAGE).append(LIST_USAGE).append(OTHER_USAGE);
  }
  return text += EXIT_USAGE_TEXT;
}

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

bool is_help(std::string_view word) {
  return std::ranges::find(kavro_pack::HELP_OPTIONS, word) != kavro_pack::HELP_OPTIONS.end();
}

// The arguments after the command word: the command's options with one value each, and plain
// operands.
class Arguments {
 public:
  Arguments(int argc, char** argv, std::span<const std::string_view> options)
      : words_(argv + 2, argv + argc), options_(options) {}

  // Takes the value of an option that may be given once; nullopt when absent.
  std::optional<std::string> take(std::string_view option) {
    if (std::ranges::find(options_, option) == options_.end()) {
      throw std::logic_error("option " + std::string(option) + " is missing from the list");
    }
    std::optional<std::string> value;
    for (auto word = words_.begin(); word != words_.end();) {
      if (*word != option) {
        ++word;
        continue;
      }
      if (value) {
        throw UsageError(std::string(option) + " is given twice");
      }
      if (std::next(word) == words_.end()) {
        throw UsageError(std::string(option) + " needs a value");
      }
      value = *std::next(word);
      word = words_.erase(word, std::next(word, 2));
    }
    return value;
  }

  bool wants_help() const { return std::ranges::any_of(words_, is_help); }

  std::string require(std::string_view option) {
    auto value = take(option);
    if (!value) {
      throw UsageError(std::string(option) + " is required");
    }
    return *value;
  }

  // What is left once every option has been taken; anything that looks like an option here
  // is one this command does not know.
  std::vector<std::string> operands() const {
    for (const auto& word : words_) {
      if (word.starts_with("-")) {
        throw UsageError("unknown option " + word);
      }
    }
    return words_;
  }

 private:
  std::vector<std::string> words_;
  std::span<const std::string_view> options_;
};

kavro_pack::Format parse_format(const std::string& name) {
  if (name == "7z") {
    return kavro_pack::Format::seven_zip;
  }
  if (name == "7z-store") {
    return kavro_pack::Format::seven_zip_store;
  }
  if (name == "zip") {
    return kavro_pack::Format::zip;
  }
  throw UsageError("unknown format " + name + " (7z, 7z-store or zip)");
}

std::vector<std::string> split_names(const std::string& list) {
  std::vector<std::string> names;
  std::istringstream stream(list);
  for (std::string name; std::getline(stream, name, ',');) {
    if (name.empty()) {
      throw UsageError("empty name in --sign " + list);
    }
    names.push_back(name);
  }
  return names;
}

std::string megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

// On a terminal, a build that runs for more than a second shows how far it has read, redrawn in
// place on standard error a few times a second; a quick build and a build into a pipe show
// nothing. The line is cleared when the build ends, also by a failure, whose message follows.
class ProgressLine {
 public:
  ProgressLine() = default;
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() {
    if (shown_) {
      std::fputs("\r\033[K", stderr);
    }
  }

  void show(std::uintmax_t done, std::uintmax_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (!on_terminal_ || now - started_ < QUIET_TIME || now - drawn_ < REDRAW_INTERVAL) {
      return;
    }
    drawn_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    std::fprintf(stderr, "\r\033[Kkavro-pack: read %s of %s, %s/s",
                 megabytes(static_cast<double>(done)).c_str(),
                 megabytes(static_cast<double>(total)).c_str(),
                 megabytes(static_cast<double>(done) / seconds).c_str());
    shown_ = true;
  }

 private:
  static constexpr auto QUIET_TIME = std::chrono::seconds(1);
  static constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(200);
  bool on_terminal_ = isatty(STDERR_FILENO) != 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point drawn_{};
};

int run_build(Arguments arguments) {
  kavro_pack::BuildRequest request;
  request.manifest = arguments.require("-m");
  request.output = arguments.require("-o");
  if (auto format = arguments.take("--format")) {
    request.format = parse_format(*format);
  }
  request.sign_key = arguments.take("--sign-key");
  if (auto names = arguments.take("--sign")) {
    request.sign_names = split_names(*names);
  }
  if (request.sign_key.has_value() == request.sign_names.empty()) {
    throw UsageError("--sign-key and --sign go together");
  }
  for (const auto& file : arguments.operands()) {
    request.files.emplace_back(file);
  }
  if (request.files.empty()) {
    throw UsageError("no files to pack");
  }
  kavro_pack::require_files_named(request.manifest, request.files);
  kavro_pack::BuildResult result;
  {
    ProgressLine progress_line;
    request.progress = [&progress_line](std::uintmax_t done, std::uintmax_t total) {
      progress_line.show(done, total);
    };
    result = kavro_pack::build(request);
  }
  std::cout << "wrote " << request.output.string() << ": " << result.entries << " entries, "
            << result.size << " bytes\n";
  return EXIT_OK;
}

std::string single_operand(const Arguments& arguments) {
  const auto operands = arguments.operands();
  if (operands.size() != 1) {
    throw UsageError("exactly one archive is needed");
  }
  return operands.front();
}

int run_verify(Arguments arguments) {
  const std::string key = arguments.require("-k");
  const std::string archive = single_operand(arguments);
  kavro_pack::require_public_key(key);
  const auto checks = kavro_pack::verify(archive, key);
  if (checks.empty()) {
    std::cerr << "kavro-pack: " << archive << " has no .sign companions\n";
    return EXIT_FAILED;
  }
  int result = EXIT_OK;
  for (const auto& check : checks) {
    if (check.problem.empty()) {
      std::cout << "OK " << check.name << "\n";
    } else {
      std::cout << "FAILED " << check.name << ": " << check.problem << "\n";
      result = EXIT_FAILED;
    }
  }
  return result;
}

std::string json_text(json_object* value) {
  if (json_object_is_type(value, json_type_string)) {
    return json_object_get_string(value);
  }
  return json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN);
}

void print_manifest(json_object* manifest, std::ostream& out) {
  json_object* partitions = nullptr;
  json_object_object_foreach(manifest, key, value) {
    if (std::string_view(key) == MANIFEST_KEY_PARTITIONS) {
      partitions = value;
    } else {
      out << key << ": " << json_text(value) << "\n";
    }
  }
  out << "partitions:\n";
  if (!json_object_is_type(partitions, json_type_object)) {
    return;
  }
  json_object_object_foreach(partitions, name, details) {
    out << "  " << name << ":\n";
    if (!json_object_is_type(details, json_type_object)) {
      continue;
    }
    json_object_object_foreach(details, member, member_value) {
      out << "    " << member << ": " << json_text(member_value) << "\n";
    }
  }
}

// The listing is put together first and printed only when complete, so that a failure never
// leaves a partial listing on standard output for a script to take as the whole.
int run_list(Arguments arguments) {
  const std::string archive = single_operand(arguments);
  const auto contents = kavro_pack::read_contents(archive);
  if (!contents.manifest) {
    throw kavro_pack::Error(archive + " has no manifest");
  }
  const kavro_pack::detail::Json root(json_tokener_parse(contents.manifest->c_str()));
  json_object* manifest = nullptr;
  if (!json_object_object_get_ex(root.get(), MANIFEST_KEY_ROOT, &manifest) ||
      !json_object_is_type(manifest, json_type_object)) {
    throw kavro_pack::Error("the manifest of " + archive + " is not valid");
  }
  std::ostringstream listing;
  print_manifest(manifest, listing);
  listing << "entries:\n";
  for (const auto& entry : contents.entries) {
    listing << "  " << entry.name << " " << entry.size << "\n";
  }
  std::cout << listing.str();
  return EXIT_OK;
}

int run_command(std::string_view command, Arguments arguments) {
  if (arguments.wants_help()) {
    std::cout << usage(command);
    return EXIT_OK;
  }
  if (command == "build") {
    return run_build(std::move(arguments));
  }
  if (command == "verify") {
    return run_verify(std::move(arguments));
  }
  return run_list(std::move(arguments));
}

int run(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (is_help(command)) {
    std::cout << usage(command);
    return EXIT_OK;
  }
  if (command == kavro_pack::VERSION_OPTION) {
    std::cout << "kavro-pack: version " << KAVRO_VERSION << "\n";
    return EXIT_OK;
  }
  if (command == "build") {
    return run_command(command, Arguments(argc, argv, kavro_pack::BUILD_OPTIONS));
  }
  if (command == "verify") {
    return run_command(command, Arguments(argc, argv, kavro_pack::VERIFY_OPTIONS));
  }
  if (command == "list") {
    return run_command(command, Arguments(argc, argv, kavro_pack::LIST_OPTIONS));
  }
  throw UsageError(command.empty() ? "no command given"
                                   : "unknown command " + std::string(command));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "kavro-pack: " << error.what() << "\n" << usage(argc > 1 ? argv[1] : "");
    return EXIT_USAGE;
  } catch (const std::exception& error) {
    std::cerr << "kavro-pack: " << error.what() << "\n";
    return EXIT_FAILED;
  }
}
