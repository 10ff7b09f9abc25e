#pragma once
// Why a text is not one JSON value, in json-c's words and with the place where json-c stopped,
// for every program that tells a person about a broken JSON file.

#include <cstddef>
#include <string>
#include <string_view>

// "unexpected character at line 3, column 7 (byte 40)"; empty when `text` begins with one whole
// JSON value (what follows it is not looked at).
std::string json_problem(std::string_view text);

// "line 3, column 7 (byte 40)" for byte `offset` of `text`; lines and columns count from 1.
std::string json_position(std::string_view text, size_t offset);
