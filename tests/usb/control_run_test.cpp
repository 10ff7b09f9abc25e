// A run of control requests on a device that takes one at a time: filled ahead by up to the
// queue depth, sent and reported in order, and ended by the first failure, whose result it
// returns, without sending what was queued behind it.

#include <gtest/gtest.h>

#include <vector>

#include "usb/bus.h"

namespace {

constexpr usb::SetupPacket WRITE{0x40, 0, 0, 0, 12};

class OneAtATime final : public usb::Device {
 public:
  explicit OneAtATime(int failing) : failing_(failing) {}
  int control(const usb::SetupPacket& setup, std::span<uint8_t> data, unsigned) override {
    sent.push_back(data[0]);
    return static_cast<int>(sent.size()) - 1 == failing_ ? usb::kTimeout : setup.wLength;
  }
  std::vector<uint8_t> endpoints() override { return {}; }
  int bulk(uint8_t, std::span<uint8_t>, unsigned, size_t&) override { return usb::kError; }

  std::vector<int> sent;  // the first data byte of each request, in the order sent

 private:
  int failing_;
};

TEST(ControlRun, FillsAheadSendsInOrderAndStopsAtTheFirstFailure) {
  struct Case {
    unsigned depth;
    int failing;  // -1: none
    int result;
    int sent;
  };
  const Case cases[] = {{4, -1, 12, 10},
                        {4, 5, usb::kTimeout, 6},
                        {1, 2, usb::kTimeout, 3},
                        {32, 0, usb::kTimeout, 1}};
  for (const Case& row : cases) {
    OneAtATime device(row.failing);
    int filled = 0;
    std::vector<int> completed;
    bool ahead_within_depth = true;
    const usb::ControlRun run{
        .setup = WRITE,
        .depth = row.depth,
        .timeout_ms = 100,
        .fill =
            [&](size_t index, std::span<uint8_t> data) {
              ahead_within_depth &= index < device.sent.size() + row.depth;
              data[0] = static_cast<uint8_t>(index);
              filled += index < 10 ? 1 : 0;
              return index < 10;
            },
        .completed = [&](size_t index) { completed.push_back(static_cast<int>(index)); },
    };
    EXPECT_EQ(device.control_run(run), row.result) << row.depth << " " << row.failing;
    std::vector<int> in_order(static_cast<size_t>(row.sent));
    for (int i = 0; i < row.sent; ++i) {
      in_order[static_cast<size_t>(i)] = i;
    }
    EXPECT_EQ(device.sent, in_order) << row.depth << " " << row.failing;
    EXPECT_EQ(completed, in_order) << row.depth << " " << row.failing;
    EXPECT_TRUE(ahead_within_depth) << row.depth << " " << row.failing;
    EXPECT_LE(filled, row.sent + static_cast<int>(row.depth)) << row.depth << " " << row.failing;
  }
}

}  // namespace
