#pragma once
// One thread that runs the virtual bus's deferred work in order: hot-plug notifications and
// timed events (delayed arrivals, re-enumeration after the jump). Actions run without any lock
// of the loop held, so they may post further actions.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace sim {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  void post(std::function<void()> action);
  void post_after(std::chrono::milliseconds delay, std::function<void()> action);
  // Drops the actions not yet run and joins the thread; waits for an action in progress.
  // Must not be called from an action.
  void stop();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, std::function<void()>> actions_;  // equal times: post order
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace sim
