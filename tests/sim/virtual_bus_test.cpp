// The virtual bus as a usb::Bus: listing, opening, hot-plug notifications, delayed arrivals,
// and the test controls (attach, unplug, replug, wait_until).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "sim/virtual_bus.h"
#include "tests/sim/sim_test_support.h"

namespace {

using namespace simtest;

// Counts watcher calls and lets a test wait for the next ones.
class WatchCounter {
 public:
  std::function<void()> callback() {
    return [this] {
      std::lock_guard lock(mutex_);
      ++calls_;
      changed_.notify_all();
    };
  }
  bool wait_for(int calls) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return calls_ >= calls; });
  }
  int calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int calls_ = 0;
};

TEST(VirtualBusList, ModulesPresentAtStartInConfigOrder) {
  sim::VirtualBus bus(
      {quick_module("2-1", "s6lm"), quick_module("1-4.2", "cv22"), quick_module("1-1", "s5l")});
  const auto devices = bus.list(kVid);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].device_path, "2-1");
  EXPECT_EQ(devices[0].pid, 0x0015);
  EXPECT_EQ(devices[1].device_path, "1-4.2");
  EXPECT_EQ(devices[1].pid, 0x0013);
  EXPECT_EQ(devices[2].device_path, "1-1");
  EXPECT_EQ(devices[2].vid, 0x4255);
  EXPECT_TRUE(bus.list(0x1234).empty());
}

TEST(VirtualBusOpen, NeedsAPresentModuleWithThatIdentity) {
  sim::VirtualBus bus({quick_module()});
  EXPECT_NE(bus.open({0x4255, 0x0013, "1-1"}), nullptr);
  EXPECT_EQ(bus.open({0x4255, 0x4250, "1-1"}), nullptr);
  EXPECT_EQ(bus.open({0x4256, 0x0013, "1-1"}), nullptr);
  EXPECT_EQ(bus.open({0x4255, 0x0013, "1-2"}), nullptr);
  bus.unplug("1-1");
  EXPECT_EQ(bus.open({0x4255, 0x0013, "1-1"}), nullptr);
}

// A replug keeps the port but is another enumeration, so that a handle from before is known
// to be stale.
TEST(VirtualBusControls, UnplugAndReplugKeepThePort) {
  sim::VirtualBus bus({quick_module()});
  const uint64_t first = bus.list(kVid).at(0).enumeration;
  auto device = open_port(bus, "1-1");
  bus.unplug("1-1");
  EXPECT_TRUE(bus.list(kVid).empty());
  EXPECT_EQ(write_register(*device, 0, 0), usb::kDisconnected);
  bus.unplug("1-1");  // already off: nothing happens
  bus.replug("1-1");
  ASSERT_EQ(bus.list(kVid).size(), 1u);
  EXPECT_EQ(bus.list(kVid)[0].device_path, "1-1");
  EXPECT_NE(bus.list(kVid)[0].enumeration, first);
  EXPECT_EQ(bus.module("1-1").arrivals(), 2u);
}

TEST(VirtualBusControls, UnplugDuringReenumerationCancelsTheReturn) {
  sim::ModuleConfig config = quick_module();
  config.reenumerate_ms = 60'000;
  sim::VirtualBus bus({config});
  auto device = open_port(bus, "1-1");
  download(*device, bootloader_image(64));
  ASSERT_EQ(jump(*device, 0), 12);
  bus.unplug("1-1");
  bus.replug("1-1");
  EXPECT_EQ(bus.module("1-1").presence().mode, sim::Mode::Hardware);
}

TEST(VirtualBusControls, AttachRefusesATakenPortAndUnknownProducts) {
  sim::VirtualBus bus({quick_module()});
  EXPECT_THROW(bus.attach(quick_module()), std::invalid_argument);
  EXPECT_THROW(bus.attach(quick_module("1-2", "cv99")), std::invalid_argument);
  sim::ModuleConfig revision = quick_module("1-3", "cv22");
  revision.revision = 1;
  EXPECT_THROW(bus.attach(revision), std::invalid_argument);
  sim::ModuleConfig digest = quick_module("1-4");
  digest.bootloader_sha256 = "abc";
  EXPECT_THROW(bus.attach(digest), std::invalid_argument);
  EXPECT_THROW(bus.module("9-9"), std::out_of_range);
  EXPECT_THROW(bus.unplug("9-9"), std::out_of_range);
  EXPECT_THROW((sim::VirtualBus{{quick_module(), quick_module()}}), std::invalid_argument);
  EXPECT_EQ(bus.list(kVid).size(), 1u);
}

TEST(VirtualBusControls, AttachAddsAModuleLater) {
  sim::VirtualBus bus({quick_module()});
  sim::Module& added = bus.attach(quick_module("1-2", "cv25"));
  EXPECT_TRUE(added.presence().attached);
  ASSERT_EQ(bus.list(kVid).size(), 2u);
  EXPECT_EQ(bus.list(kVid)[1].pid, 0x0014);
}

TEST(VirtualBusControls, WaitUntilGivesUpAtTheTimeLimit) {
  sim::VirtualBus bus({quick_module()});
  EXPECT_FALSE(bus.wait_until([] { return false; }, 1ms));
  EXPECT_TRUE(bus.wait_until([] { return true; }, 0ms));
}

TEST(VirtualBusWatch, CalledOnceAtRegistrationThenOnEveryArrivalAndRemoval) {
  sim::VirtualBus bus({quick_module()});
  WatchCounter counter;
  bus.watch(counter.callback());
  ASSERT_TRUE(counter.wait_for(1));
  bus.unplug("1-1");
  ASSERT_TRUE(counter.wait_for(2));
  bus.replug("1-1");
  ASSERT_TRUE(counter.wait_for(3));

  // Jump: removal, then arrival in software mode.
  auto device = open_port(bus, "1-1");
  download(*device, bootloader_image(64));
  ASSERT_EQ(jump(*device, 0), 12);
  ASSERT_TRUE(counter.wait_for(5));
  bus.watch({});
  EXPECT_EQ(counter.calls(), 5);
}

TEST(VirtualBusWatch, NoCallAfterWatchingStops) {
  sim::VirtualBus bus({quick_module()});
  WatchCounter first;
  bus.watch(first.callback());
  ASSERT_TRUE(first.wait_for(1));
  bus.watch({});
  bus.unplug("1-1");
  bus.replug("1-1");
  // A new watcher's first call is queued behind the notifications of the unplug and replug.
  WatchCounter second;
  bus.watch(second.callback());
  ASSERT_TRUE(second.wait_for(1));
  bus.watch({});
  EXPECT_EQ(first.calls(), 1);
}

TEST(VirtualBusWatch, WatcherMayStopItselfAndLookAtTheBus) {
  sim::VirtualBus bus({quick_module()});
  std::mutex mutex;
  std::condition_variable done;
  size_t seen = 0;
  bool finished = false;
  bus.watch([&] {
    seen = bus.list(kVid).size();
    bus.watch({});
    std::lock_guard lock(mutex);
    finished = true;
    done.notify_all();
  });
  std::unique_lock lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, kWait, [&] { return finished; }));
  EXPECT_EQ(seen, 1u);
}

TEST(VirtualBusArrival, DelayedModuleArrivesAndIsAnnounced) {
  sim::ModuleConfig late = quick_module("1-2");
  late.attach_after_ms = 1;
  sim::VirtualBus bus({quick_module(), late});
  WatchCounter counter;
  bus.watch(counter.callback());
  ASSERT_TRUE(wait_for_mode(bus, "1-2", sim::Mode::Hardware));
  ASSERT_TRUE(counter.wait_for(2));
  ASSERT_EQ(bus.list(kVid).size(), 2u);
  bus.watch({});
}

TEST(VirtualBusArrival, BusGoesAwayBeforeALateModuleArrives) {
  sim::ModuleConfig late = quick_module();
  late.attach_after_ms = 60'000;
  sim::VirtualBus bus({late});
  EXPECT_TRUE(bus.list(kVid).empty());
  EXPECT_FALSE(bus.module("1-1").presence().attached);
}

}  // namespace
