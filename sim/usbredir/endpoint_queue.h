#pragma once
// One endpoint's queue of guest transfers, run in order on a thread of its own.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "sim/usbredir/transfer.h"

namespace sim::redir {

// Runs the transfers of one endpoint in the order the guest queued them, on a thread of its
// own, so that a module that stops answering on one endpoint does not hold up the others.
// Every transfer submitted is completed exactly once: by the executor, or as cancelled.
class EndpointQueue {
 public:
  // Moves the transfer through the module. It must give up soon after `cancelled` turns true.
  using Execute = std::function<void(Transfer& transfer, const std::atomic<bool>& cancelled)>;
  using Complete = std::function<void(Transfer&& transfer)>;

  EndpointQueue(Execute execute, Complete complete);
  // Cancels what is queued and what is running, and waits for the thread.
  ~EndpointQueue();
  EndpointQueue(const EndpointQueue&) = delete;
  EndpointQueue& operator=(const EndpointQueue&) = delete;

  void submit(Transfer transfer);
  // Returns false when the transfer is neither queued nor running (already completed).
  bool cancel(uint64_t id);

 private:
  void run();

  Execute execute_;
  Complete complete_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Transfer> queued_;
  std::optional<uint64_t> running_id_;
  std::atomic<bool> running_cancelled_{false};
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace sim::redir
