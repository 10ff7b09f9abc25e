// kavro-pack: builds, signs, verifies and lists the firmware archives that kavro-flash reads.

#include <json-c/json.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/kavro_pack.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

constexpr std::string_view USAGE =
    "Usage:\n"
    "  kavro-pack build -m MANIFEST.json -o OUTPUT [--format 7z|7z-store|zip]\n"
    "                   [--sign-key PRIVATE.pem --sign NAME[,NAME...]] FILE...\n"
    "      Packs the manifest and the files (each stored under its own file name) into\n"
    "      OUTPUT, entries sorted by name. Every partition of the manifest must name one of\n"
    "      the files with its exact \"filesize\". Each NAME given to --sign gets a 512-byte\n"
    "      NAME.sign companion (RSA-4096, PKCS#1 v1.5 over SHA-256).\n"
    "  kavro-pack verify -k PUBLIC.pem ARCHIVE\n"
    "      Checks every .sign companion of ARCHIVE against its file.\n"
    "  kavro-pack list ARCHIVE\n"
    "      Prints the manifest values, the partitions and the entries of ARCHIVE.\n"
    "  kavro-pack --help\n"
    "Exit status: 0 success, 1 failure, 2 bad command line.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The arguments after the command word: options with one value each, and plain operands.
class Arguments {
 public:
  Arguments(int argc, char** argv) : words_(argv + 2, argv + argc) {}

  // Takes the value of an option that may be given once; nullopt when absent.
  std::optional<std::string> take(std::string_view option) {
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
  for (const auto& file : arguments.operands()) {
    request.files.emplace_back(file);
  }
  if (request.files.empty()) {
    throw UsageError("no files to pack");
  }
  kavro_pack::build(request);
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

void print_manifest(json_object* manifest) {
  json_object* partitions = nullptr;
  json_object_object_foreach(manifest, key, value) {
    if (std::string_view(key) == "partitions") {
      partitions = value;
    } else {
      std::cout << key << ": " << json_text(value) << "\n";
    }
  }
  std::cout << "partitions:\n";
  if (!json_object_is_type(partitions, json_type_object)) {
    return;
  }
  json_object_object_foreach(partitions, name, details) {
    std::cout << "  " << name << ":\n";
    if (!json_object_is_type(details, json_type_object)) {
      continue;
    }
    json_object_object_foreach(details, member, member_value) {
      std::cout << "    " << member << ": " << json_text(member_value) << "\n";
    }
  }
}

int run_list(Arguments arguments) {
  const std::string archive = single_operand(arguments);
  const auto contents = kavro_pack::read_contents(archive);
  int result = EXIT_OK;
  if (!contents.manifest) {
    std::cerr << "kavro-pack: " << archive << " has no manifest\n";
    result = EXIT_FAILED;
  } else {
    std::unique_ptr<json_object, decltype(&json_object_put)> root(
        json_tokener_parse(contents.manifest->c_str()), json_object_put);
    json_object* manifest = nullptr;
    if (!json_object_object_get_ex(root.get(), "manifest", &manifest) ||
        !json_object_is_type(manifest, json_type_object)) {
      std::cerr << "kavro-pack: the manifest of " << archive << " is not valid\n";
      result = EXIT_FAILED;
    } else {
      print_manifest(manifest);
    }
  }
  std::cout << "entries:\n";
  for (const auto& entry : contents.entries) {
    std::cout << "  " << entry.name << " " << entry.size << "\n";
  }
  return result;
}

int run(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "--help" || command == "-h") {
    std::cout << USAGE;
    return EXIT_OK;
  }
  if (command == "build") {
    return run_build(Arguments(argc, argv));
  }
  if (command == "verify") {
    return run_verify(Arguments(argc, argv));
  }
  if (command == "list") {
    return run_list(Arguments(argc, argv));
  }
  throw UsageError(command.empty() ? "no command given"
                                   : "unknown command " + std::string(command));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "kavro-pack: " << error.what() << "\n" << USAGE;
    return EXIT_USAGE;
  } catch (const std::exception& error) {
    std::cerr << "kavro-pack: " << error.what() << "\n";
    return EXIT_FAILED;
  }
}
