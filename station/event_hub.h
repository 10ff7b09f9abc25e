#pragma once

// The dashboard's events on their way from the shift to the browsers, as Server-Sent Events.
// The shift's thread publishes; each browser's connection takes from a queue of its own.
// Publishing never waits for a browser: a reader whose queue would grow past its bound is
// dropped, which its browser sees as a closed stream (it connects again and starts over from
// the whole state). Thread-safe throughout.

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace station {

struct Event {
  std::string name;  // the event stream's event type, e.g. "port"
  std::string data;  // one line of JSON
};

class EventHub {
 public:
  class Reader;

  // `queue_bound`: the bytes of event text a reader may have waiting before it is dropped.
  explicit EventHub(size_t queue_bound);

  // The whole state, and the events that led to it from the one published before: one step,
  // so that a reader sees either both or neither. A reader subscribed later starts from this
  // state, as a "state" event.
  void publish(const std::string& state, const std::vector<Event>& events);
  // The whole state last published; empty before the first.
  std::string state() const;
  // A reader of the events published from now on, the first being the whole state.
  std::unique_ptr<Reader> subscribe();
  // Ends every reader's stream, and those of readers that subscribe later.
  void close();

 private:
  struct Queue {
    std::string text;
    bool dropped = false;
  };
  void queue(Queue& queue, const std::string& text);

  const size_t queue_bound_;
  mutable std::mutex mutex_;
  std::condition_variable published_;
  std::string state_;
  std::list<Queue> queues_;
  bool closed_ = false;
};

class EventHub::Reader {
 public:
  Reader(EventHub& hub, std::list<Queue>::iterator queue) : hub_(hub), queue_(queue) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader();

  // The text of the events queued since the last call, in the event stream's format, after
  // waiting up to `timeout` for one ("" when none came); nothing once the reader was dropped
  // or the hub closed.
  std::optional<std::string> take(std::chrono::milliseconds timeout);

 private:
  EventHub& hub_;
  std::list<Queue>::iterator queue_;
};

}  // namespace station
