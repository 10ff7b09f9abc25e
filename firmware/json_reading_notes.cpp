// Notes on JSON values that are not read as written, and on keys a format does not know.

#include "firmware/json_reading_notes.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

json_object* member_of(json_object* object, const char* key, bool& present) {
  json_object* member = nullptr;
  present = json_object_object_get_ex(object, key, &member);
  return member;
}

std::string json_text(json_object* value) {
  return json_object_to_json_string_ext(value,
                                        JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

// How the value is written in the file, in words: the text "16M", the number 1.5, true, null.
std::string written_as(json_object* value) {
  switch (json_object_get_type(value)) {
    case json_type_null:
      return "null";
    case json_type_boolean:
      return json_text(value);
    case json_type_double:
    case json_type_int:
      return "the number " + json_text(value);
    case json_type_string: {
      // A settings text is short; a long one is shown by its start.
      constexpr size_t kShown = 60;
      const std::string text = json_text(value);
      return "the text " + (text.size() > kShown ? text.substr(0, kShown) + "...\"" : text);
    }
    case json_type_object:
      return "an object";
    case json_type_array:
      return "an array";
  }
  return json_text(value);
}

// A text of an optional minus and decimal digits, without leading zeros: "-12" for "-012".
std::optional<std::string> canonical_digits(std::string_view text) {
  const bool negative = text.starts_with('-');
  std::string_view digits = text.substr(negative ? 1 : 0);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
  return (negative && digits != "0" ? "-" : "") + std::string(digits);
}

// The whole number a value stands for exactly, in decimal; nothing when it stands for none
// (a fraction, a text that is not a whole number, true, null, an object).
std::optional<std::string> exact_integer(json_object* value) {
  switch (json_object_get_type(value)) {
    case json_type_int:
      return json_text(value);
    case json_type_string:
      return canonical_digits(json_object_get_string(value));
    case json_type_double: {
      const double number = json_object_get_double(value);
      constexpr double kLimit = 9007199254740992.0;  // 2^53: every whole double below is exact
      if (std::trunc(number) != number || std::fabs(number) >= kLimit) {
        return std::nullopt;
      }
      return std::to_string(static_cast<long long>(number));
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string json_path(std::string_view where, std::string_view key) {
  return where.empty() ? std::string(key) : std::string(where) + "." + std::string(key);
}

void json_reading_notes::integer(json_object* object, std::string_view where, const char* key,
                                 std::string_view used) {
  bool present = false;
  json_object* value = member_of(object, key, present);
  if (lines_ == nullptr || !present || exact_integer(value) == used) {
    return;
  }
  converted(value, json_path(where, key), used);
}

// 0 and 1 are read as false and true as a reader expects; every other value is a guess.
void json_reading_notes::boolean(json_object* object, std::string_view where, const char* key,
                                 bool used) {
  bool present = false;
  json_object* value = member_of(object, key, present);
  if (lines_ == nullptr || !present || json_object_is_type(value, json_type_boolean)) {
    return;
  }
  const auto number = exact_integer(value);
  if (json_object_is_type(value, json_type_int) && (number == "0" || number == "1")) {
    return;
  }
  converted(value, json_path(where, key), used ? "true" : "false");
}

void json_reading_notes::text(json_object* object, std::string_view where, const char* key,
                              std::string_view used) {
  bool present = false;
  json_object* value = member_of(object, key, present);
  if (lines_ == nullptr || !present ||
      (json_object_is_type(value, json_type_string) && json_object_get_string(value) == used)) {
    return;
  }
  converted(value, json_path(where, key), "\"" + std::string(used) + "\"");
}

void json_reading_notes::object(json_object* value, std::string_view path) {
  if (lines_ == nullptr || json_object_is_type(value, json_type_object)) {
    return;
  }
  converted(value, path, "an empty object");
}

void json_reading_notes::unknown_keys(json_object* object, std::string_view where,
                                      std::span<const std::string_view> known) {
  if (lines_ == nullptr || !json_object_is_type(object, json_type_object)) {
    return;
  }
  json_object_object_foreach(object, key, value) {
    static_cast<void>(value);
    if (std::find(known.begin(), known.end(), std::string_view(key)) == known.end()) {
      add(json_path(where, key) + " is not a known key, ignored");
    }
  }
}

void json_reading_notes::add(std::string_view line) {
  if (lines_ != nullptr) {
    lines_->push_back(prefix_ + std::string(line));
  }
}

void json_reading_notes::converted(json_object* value, std::string_view path,
                                   std::string_view used) {
  add(std::string(path) + " is " + written_as(value) + ", read as " + std::string(used));
}
