// json-c's description of a JSON fault, with its line and column.

#include "common/json_problem.h"

#include <json-c/json.h>

#include "common/c_handle.h"

std::string json_position(std::string_view text, size_t offset) {
  size_t line = 1;
  size_t column = 1;
  for (size_t at = 0; at < offset && at < text.size(); ++at) {
    column = text[at] == '\n' ? 1 : column + 1;
    line += text[at] == '\n' ? 1 : 0;
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + " (byte " +
         std::to_string(offset) + ")";
}

std::string json_problem(std::string_view text) {
  const CHandle<json_tokener, json_tokener_free> tokener(json_tokener_new());
  const CHandle<json_object, json_object_put> value(
      json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
  const json_tokener_error error = json_tokener_get_error(tokener.get());
  if (value) {
    return "";
  }
  if (error == json_tokener_continue || error == json_tokener_success) {
    return "the JSON text ends before its value is complete at " + json_position(text, text.size());
  }
  return std::string(json_tokener_error_desc(error)) + " at " +
         json_position(text, json_tokener_get_parse_end(tokener.get()));
}
