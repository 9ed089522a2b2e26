#include "call_queue.hpp"

#include <algorithm>
#include <utility>

namespace quillon {

void CallQueue::push(ToolCall call) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    queued_.push_back(std::move(call));
  }
  ready_.notify_one();
}

size_t CallQueue::cancel(const JSON& id) {
  std::lock_guard lock(mutex_);
  const size_t before = queued_.size();
  std::erase_if(queued_, [&](const ToolCall& call) { return call.id == id; });
  size_t named = before - queued_.size();
  if (inFlight_ && *inFlight_ == id) {
    stop_->stop();
    ++named;
  }
  return named;
}

std::optional<ToolCall> CallQueue::next() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [&] { return closed_ || !queued_.empty(); });
  if (queued_.empty()) return std::nullopt;
  ToolCall call = std::move(queued_.front());
  queued_.pop_front();
  inFlight_ = call.id;
  // A signal of its own: the one before may have been stopped for good.
  stop_ = std::make_unique<StopSignal>();
  return call;
}

void CallQueue::finish(const std::function<void()>& write) {
  std::lock_guard lock(mutex_);
  if (!stop_->stopped()) write();
  inFlight_.reset();
}

void CallQueue::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

void CallQueue::abandon() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    queued_.clear();
    if (inFlight_) stop_->stop();
  }
  ready_.notify_all();
}

}  // namespace quillon
