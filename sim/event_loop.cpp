// The virtual bus's event thread: deferred and timed actions, run in order.

#include "sim/event_loop.h"

namespace sim {

EventLoop::EventLoop() : thread_([this] { run(); }) {}

EventLoop::~EventLoop() {
  stop();
}

void EventLoop::post(std::function<void()> action) {
  post_after(std::chrono::milliseconds(0), std::move(action));
}

void EventLoop::post_after(std::chrono::milliseconds delay, std::function<void()> action) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      return;
    }
    actions_.emplace(Clock::now() + delay, std::move(action));
  }
  wake_.notify_one();
}

void EventLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) {
    thread_.join();
  }
  std::lock_guard lock(mutex_);
  actions_.clear();
}

void EventLoop::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (actions_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const auto next = actions_.begin();
    if (next->first > Clock::now()) {
      wake_.wait_until(lock, next->first);
      continue;
    }
    std::function<void()> action = std::move(next->second);
    actions_.erase(next);
    lock.unlock();
    action();
    lock.lock();
  }
}

}  // namespace sim
