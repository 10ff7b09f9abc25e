#pragma once
// Notes on what a JSON input said that is not read as written: a value that json-c converts with
// loss (a text read as a number, a text read as a boolean, a number beyond its field) and a key
// the format does not know. The values themselves are read as before; the notes only tell the
// person who wrote the file, one line each.

#include <json-c/json.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

class json_reading_notes {
 public:
  // Every line begins with `prefix` ("settings: "). Lines go to `lines`; with a null `lines`
  // every call does nothing.
  json_reading_notes(std::string_view prefix, std::vector<std::string>* lines)
      : prefix_(prefix), lines_(lines) {}

  // The member `key` of the object at `where` ("" at the top, "partitions", ...) was read as
  // the whole number `used` (in decimal). Absent members are not looked at.
  void integer(json_object* object, std::string_view where, const char* key, std::string_view used);
  void boolean(json_object* object, std::string_view where, const char* key, bool used);
  void text(json_object* object, std::string_view where, const char* key, std::string_view used);
  // The value at `path` stands where an object is expected; anything else has no members.
  void object(json_object* value, std::string_view path);
  // Every member of `object` (at `where`) whose key is not one of `known`.
  void unknown_keys(json_object* object, std::string_view where,
                    std::span<const std::string_view> known);
  // A line of the caller's own, after the prefix.
  void add(std::string_view line);

 private:
  void converted(json_object* value, std::string_view path, std::string_view used);

  std::string prefix_;
  std::vector<std::string>* lines_;
};

// The path of member `key` of the object at `where`: "partitions.kernel_maxsize".
std::string json_path(std::string_view where, std::string_view key);
