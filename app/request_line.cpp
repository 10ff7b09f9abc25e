// Reading the numbers of a request line the way scanf reads "[%d %d] %d".

#include "app/request_line.h"

#include <algorithm>
#include <optional>

#include "common/request_protocol.h"

namespace {

// Any magnitude above this is held at it; it is far outside the int range and far from
// overflowing while digits are added.
constexpr long long kMagnitudeCap = 1LL << 40;

bool is_scanf_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

class LineCursor {
 public:
  explicit LineCursor(std::string_view line) : rest_(line) {}

  void skip_space() {
    while (!rest_.empty() && is_scanf_space(rest_.front())) {
      rest_.remove_prefix(1);
    }
  }

  bool take(char expected) {
    if (rest_.empty() || rest_.front() != expected) {
      return false;
    }
    rest_.remove_prefix(1);
    return true;
  }

  std::optional<long long> number() {
    skip_space();
    const bool negative = take('-');
    if (!negative) {
      take('+');
    }
    if (rest_.empty() || !is_digit(rest_.front())) {
      return std::nullopt;
    }
    long long magnitude = 0;
    while (!rest_.empty() && is_digit(rest_.front())) {
      magnitude = std::min(magnitude * 10 + (rest_.front() - '0'), kMagnitudeCap);
      rest_.remove_prefix(1);
    }
    return negative ? -magnitude : magnitude;
  }

 private:
  std::string_view rest_;
};

}  // namespace

RequestFields scan_request(std::string_view line) {
  RequestFields fields;
  LineCursor cursor(line);
  if (!cursor.take(REQUEST_LINE_START)) {
    return fields;
  }
  const auto tag = cursor.number();
  if (!tag) {
    return fields;
  }
  fields.tag = *tag;
  fields.count = 1;
  const auto command = cursor.number();
  if (!command) {
    return fields;
  }
  fields.command = *command;
  fields.count = 2;
  if (!cursor.take(REQUEST_HEAD_END)) {
    return fields;
  }
  const auto index = cursor.number();
  if (!index) {
    return fields;
  }
  fields.index = *index;
  fields.count = 3;
  return fields;
}
