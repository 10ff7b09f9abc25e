// Handing the dashboard's events from the shift to each browser's queue.
#include "station/event_hub.h"

#include <utility>

namespace station {
namespace {

std::string stream_text(const std::string& name, const std::string& data) {
  return "event: " + name + "\ndata: " + data + "\n\n";
}

}  // namespace

EventHub::EventHub(size_t queue_bound) : queue_bound_(queue_bound) {}

void EventHub::queue(Queue& queue, const std::string& text) {
  if (queue.dropped) {
    return;
  }
  if (queue.text.size() + text.size() > queue_bound_) {
    queue.dropped = true;
    queue.text.clear();
    queue.text.shrink_to_fit();
    return;
  }
  queue.text += text;
}

void EventHub::publish(const std::string& state, const std::vector<Event>& events) {
  std::string text;
  for (const Event& event : events) {
    text += stream_text(event.name, event.data);
  }
  {
    const std::lock_guard lock(mutex_);
    state_ = state;
    if (text.empty()) {
      return;
    }
    for (Queue& queue : queues_) {
      this->queue(queue, text);
    }
  }
  published_.notify_all();
}

std::string EventHub::state() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

std::unique_ptr<EventHub::Reader> EventHub::subscribe() {
  const std::lock_guard lock(mutex_);
  queues_.emplace_back();
  if (!state_.empty()) {
    queue(queues_.back(), stream_text("state", state_));
  }
  return std::make_unique<Reader>(*this, std::prev(queues_.end()));
}

void EventHub::close() {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  published_.notify_all();
}

EventHub::Reader::~Reader() {
  const std::lock_guard lock(hub_.mutex_);
  hub_.queues_.erase(queue_);
}

std::optional<std::string> EventHub::Reader::take(std::chrono::milliseconds timeout) {
  std::unique_lock lock(hub_.mutex_);
  const auto ready = [this] { return hub_.closed_ || queue_->dropped || !queue_->text.empty(); };
  hub_.published_.wait_for(lock, timeout, ready);
  if (hub_.closed_ || queue_->dropped) {
    return std::nullopt;
  }
  return std::exchange(queue_->text, std::string());
}

}  // namespace station
