#pragma once
// The key readers of the manifest and the settings file: one member of a JSON object by key.
// Each returns JSON_KEY_ABSENT when the object (of any JSON type) has no member `key`, and
// otherwise stores json-c's conversion of the member and returns 0: values are converted, not
// type-checked, so a JSON null reads as 0 or false. For a text the caller says what a null means.

#include <json-c/json.h>

#include <cstdint>
#include <string_view>

inline constexpr int JSON_KEY_ABSENT = -1;

// What a JSON null given where a text is expected stands for.
enum class json_null_text {
  absent,  // as if the key were not there
  empty,   // the empty text
};

// The member `key` of `object`, converted by `convert` into `value`.
template <typename Value, typename Convert>
int j_get_converted(json_object* object, const char* key, Value& value, Convert convert) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member)) {
    return JSON_KEY_ABSENT;
  }
  value = convert(member);
  return 0;
}

inline int j_get_bool(json_object* object, const char* key, bool& value) {
  return j_get_converted(object, key, value,
                         [](json_object* member) { return json_object_get_boolean(member) != 0; });
}

inline int j_get_int32(json_object* object, const char* key, int32_t& value) {
  return j_get_converted(object, key, value, json_object_get_int);
}

inline int j_get_int64(json_object* object, const char* key, int64_t& value) {
  return j_get_converted(object, key, value, json_object_get_int64);
}

// A size: a negative value counts as absent.
inline int j_get_uint64(json_object* object, const char* key, uint64_t& value) {
  int64_t signed_value = 0;
  if (j_get_int64(object, key, signed_value) != 0 || signed_value < 0) {
    return JSON_KEY_ABSENT;
  }
  value = static_cast<uint64_t>(signed_value);
  return 0;
}

// The text stays valid as long as `object` does.
inline int j_get_string(json_object* object, const char* key, json_null_text null_text,
                        std::string_view& value) {
  json_object* member = nullptr;
  if (!json_object_object_get_ex(object, key, &member)) {
    return JSON_KEY_ABSENT;
  }
  // json-c holds a JSON null as a null member.
  if (member == nullptr) {
    if (null_text == json_null_text::absent) {
      return JSON_KEY_ABSENT;
    }
    value = {};
    return 0;
  }
  value = json_object_get_string(member);
  return 0;
}
