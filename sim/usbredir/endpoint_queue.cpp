// One endpoint's transfers, run in order on a thread of its own, each completed once.

#include "sim/usbredir/endpoint_queue.h"

#include <algorithm>

namespace sim::redir {
namespace {

void mark_cancelled(Transfer& transfer) {
  transfer.status = usb_redir_cancelled;
  transfer.actual = 0;
  transfer.in.clear();
}

}  // namespace

EndpointQueue::EndpointQueue(Execute execute, Complete complete)
    : execute_(std::move(execute)), complete_(std::move(complete)), thread_([this] { run(); }) {}

EndpointQueue::~EndpointQueue() {
  std::deque<Transfer> abandoned;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    running_cancelled_ = true;
    abandoned.swap(queued_);
  }
  wake_.notify_all();
  thread_.join();
  for (Transfer& transfer : abandoned) {
    mark_cancelled(transfer);
    complete_(std::move(transfer));
  }
}

void EndpointQueue::submit(Transfer transfer) {
  {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(transfer));
  }
  wake_.notify_one();
}

bool EndpointQueue::cancel(uint64_t id) {
  std::optional<Transfer> removed;
  {
    std::lock_guard lock(mutex_);
    if (running_id_ == id) {
      running_cancelled_ = true;
      return true;
    }
    auto found = std::find_if(queued_.begin(), queued_.end(),
                              [id](const Transfer& transfer) { return transfer.id == id; });
    if (found == queued_.end()) {
      return false;
    }
    removed.emplace(std::move(*found));
    queued_.erase(found);
  }
  mark_cancelled(*removed);
  complete_(std::move(*removed));
  return true;
}

void EndpointQueue::run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
    if (stopping_) {
      return;
    }
    Transfer transfer = std::move(queued_.front());
    queued_.pop_front();
    running_id_ = transfer.id;
    running_cancelled_ = false;
    lock.unlock();
    execute_(transfer, running_cancelled_);
    complete_(std::move(transfer));
    lock.lock();
    running_id_.reset();
  }
}

}  // namespace sim::redir
