// Reading the numbers of a request line the way the protocol defines them ("[%d %d] %d").
#include "app/request_line.h"

#include <gtest/gtest.h>

namespace {

struct Expected {
  const char* line;
  int count;
  long long tag;
  long long command;
  long long index;
};

void expect_fields(const Expected& expected) {
  const RequestFields fields = scan_request(expected.line);
  EXPECT_EQ(fields.count, expected.count) << expected.line;
  if (fields.count >= 1) {
    EXPECT_EQ(fields.tag, expected.tag) << expected.line;
  }
  if (fields.count >= 2) {
    EXPECT_EQ(fields.command, expected.command) << expected.line;
  }
  if (fields.count >= 3) {
    EXPECT_EQ(fields.index, expected.index) << expected.line;
  }
}

TEST(RequestLine, ReadsNumbersTheWayScanfDoes) {
  const Expected cases[] = {
      {"[5 3] 0\r\n", 3, 5, 3, 0},
      {"[12 6] 63\n", 3, 12, 6, 63},
      // Whitespace before each number, optional signs, no space needed after the bracket.
      {"[ 5\t3]\t 7\n", 3, 5, 3, 7},
      {"[+5 -3] -1\n", 3, 5, -3, -1},
      {"[5 3]7", 3, 5, 3, 7},
      // The head alone.
      {"[5 1]\r\n", 2, 5, 1, 0},
      {"[5 1] abc\n", 2, 5, 1, 0},
      // The closing bracket must follow the command number directly for the index to be read.
      {"[5 3 ] 0\n", 2, 5, 3, 0},
      {"[5 3 0\n", 2, 5, 3, 0},
      // Bad heads.
      {"5 3] 0\n", 0, 0, 0, 0},
      {" [5 3] 0\n", 0, 0, 0, 0},
      {"[\n", 0, 0, 0, 0},
      {"[x 3] 0\n", 0, 0, 0, 0},
      {"[5,3] 0\n", 1, 5, 0, 0},
      {"[53] 0\n", 1, 53, 0, 0},
      {"[- 5 3] 0\n", 0, 0, 0, 0},
      {"[5 +-3] 0\n", 1, 5, 0, 0},
      // Reading stops at the first character that is not a digit.
      {"[5 8] 0x10\n", 3, 5, 8, 0},
      {"[5 8] 12ab\n", 3, 5, 8, 12},
  };
  for (const auto& expected : cases) {
    expect_fields(expected);
  }
}

// Numbers beyond the int range must not wrap into a valid-looking value.
TEST(RequestLine, HugeNumbersStayFarOutsideTheIntRange) {
  const RequestFields fields =
      scan_request("[99999999999999999999 -99999999999999999999] 4294967296\n");
  ASSERT_EQ(fields.count, 3);
  EXPECT_GT(fields.tag, 2147483647LL);
  EXPECT_LT(fields.command, -2147483648LL);
  EXPECT_GT(fields.index, 2147483647LL);
}

}  // namespace
