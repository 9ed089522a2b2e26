#include "call_queue.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace quillon {

namespace {

// Calls `use` with the integer `id` holds, in the type it was read as: a
// negative one as signed, any other as unsigned.
template <typename Use>
bool withInteger(const JSON& id, Use use) {
  return id.is_number_unsigned() ? use(id.get<JSON::number_unsigned_t>())
                                 : use(id.get<JSON::number_integer_t>());
}

// Whether `number`, read from text as a double, may stand for an integer too
// long for 64 bits: every one of those becomes an integral double of
// magnitude 2^63 or more, shared by many different integers.
bool mayBeRoundedInteger(double number) {
  return std::fabs(number) >= 9223372036854775808.0 && number == std::trunc(number);
}

}  // namespace

bool sameRequestId(const JSON& callId, const JSON& requestId) {
  if (callId.is_string() && requestId.is_string()) {
    return callId.get_ref<const std::string&>() == requestId.get_ref<const std::string&>();
  }
  if (callId.is_number_integer() && requestId.is_number_integer()) {
    // Compared as integers: a cast would make -1 and 2^64 - 1 the same.
    return withInteger(callId, [&](auto call) {
      return withInteger(requestId, [&](auto request) { return std::cmp_equal(call, request); });
    });
  }
  if (callId.is_number_float() && requestId.is_number_float()) {
    const double call = callId.get<double>();
    return call == requestId.get<double>() && !mayBeRoundedInteger(call);
  }
  return false;
}

std::optional<ToolCall> CallQueue::push(ToolCall call) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return std::nullopt;
    if (!queued_.empty() &&
        (queued_.size() >= kMaxWaiting || queuedBytes_ + call.bytes > kMaxWaitingBytes)) {
      return call;
    }
    queuedBytes_ += call.bytes;
    queued_.push_back(std::move(call));
  }
  ready_.notify_one();
  return std::nullopt;
}

size_t CallQueue::cancel(const JSON& id) {
  std::lock_guard lock(mutex_);
  const size_t before = queued_.size();
  std::erase_if(queued_, [&](const ToolCall& call) {
    if (!sameRequestId(call.id, id)) return false;
    queuedBytes_ -= call.bytes;
    if (call.progress) call.progress->over = true;
    return true;
  });
  size_t named = before - queued_.size();
  if (inFlight_ && sameRequestId(*inFlight_, id)) {
    stop_->stop();
    if (inFlightProgress_) inFlightProgress_->over = true;
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
  queuedBytes_ -= call.bytes;
  inFlight_ = call.id;
  inFlightProgress_ = call.progress;
  if (call.progress) call.progress->inFlight = true;
  // A signal of its own: the one before may have been stopped for good.
  stop_ = std::make_unique<StopSignal>();
  return call;
}

void CallQueue::finish(const std::function<void()>& write) {
  std::lock_guard lock(mutex_);
  if (!stop_->stopped()) write();
  // Answered, or unanswerable: either way nothing more is said of it.
  if (inFlightProgress_) inFlightProgress_->over = true;
  inFlight_.reset();
  inFlightProgress_.reset();
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
    queuedBytes_ = 0;
    if (inFlight_) stop_->stop();
  }
  ready_.notify_all();
}

}  // namespace quillon
