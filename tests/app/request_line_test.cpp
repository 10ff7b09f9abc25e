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

TEST(RequestLine, ReadsAllThreeNumbers) {
  expect_fields({"[5 3] 0\r\n", 3, 5, 3, 0});
  expect_fields({"[12 6] 63\n", 3, 12, 6, 63});
}

TEST(RequestLine, WhitespaceAndSignsAreAcceptedWhereScanfAcceptsThem) {
  expect_fields({"[ 5\t3]\t 7\n", 3, 5, 3, 7});
  expect_fields({"[+5 -3] -1\n", 3, 5, -3, -1});
  expect_fields({"[5 3]7", 3, 5, 3, 7});
}

TEST(RequestLine, HeadAloneCountsTwo) {
  expect_fields({"[5 1]\r\n", 2, 5, 1, 0});
  expect_fields({"[5 1] abc\n", 2, 5, 1, 0});
}

// The closing bracket must follow the command number directly for the index to be read.
TEST(RequestLine, SpaceBeforeClosingBracketLosesTheIndex) {
  expect_fields({"[5 3 ] 0\n", 2, 5, 3, 0});
  expect_fields({"[5 3 0\n", 2, 5, 3, 0});
}

TEST(RequestLine, BadHeads) {
  expect_fields({"5 3] 0\n", 0, 0, 0, 0});
  expect_fields({" [5 3] 0\n", 0, 0, 0, 0});
  expect_fields({"[\n", 0, 0, 0, 0});
  expect_fields({"[x 3] 0\n", 0, 0, 0, 0});
  expect_fields({"[5,3] 0\n", 1, 5, 0, 0});
  expect_fields({"[53] 0\n", 1, 53, 0, 0});
  expect_fields({"[- 5 3] 0\n", 0, 0, 0, 0});
  expect_fields({"[5 +-3] 0\n", 1, 5, 0, 0});
}

TEST(RequestLine, ReadingStopsAtTheFirstNonDigit) {
  expect_fields({"[5 8] 0x10\n", 3, 5, 8, 0});
  expect_fields({"[5 8] 12ab\n", 3, 5, 8, 12});
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
