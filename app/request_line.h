#pragma once
// Reading the numbers of one request line.

#include <string_view>

// The numbers of one request line "[tag command] index", read the way scanf reads the format
// "[%d %d] %d": the line must begin with "[", each number may be preceded by whitespace and
// carries an optional sign, and reading stops at the first text that does not fit. Numbers too
// large for an int are held at a magnitude far outside the int range instead of wrapping, so
// that they are refused as out of range rather than mistaken for a valid one.
struct RequestFields {
  int count = 0;  // how many of the three numbers were read, from the left
  long long tag = -1;
  long long command = -1;
  long long index = 0;

  // The head "[tag command]" was read whole; so was the slot index after it.
  bool has_head() const { return count >= 2; }
  bool has_index() const { return count == 3; }
};

RequestFields scan_request(std::string_view line);
