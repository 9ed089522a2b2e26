// The tool calls a client has sent and not yet had answered: queued in the
// order they came, one of them in flight to the viewer.
//
// The server's reader thread pushes calls and cancels them as it reads the
// client's lines; its caller thread takes them one at a time, runs each, and
// hands its answer to finish(). A cancellation and an answer never cross: a
// call cancelled before its answer is written gets none, and one cancelled
// while it waits for the viewer has its request abandoned at once. All
// members are safe to call from any thread; the queue must outlive both.
//
// The queue is bounded: a host sends a handful of calls at once, so a client
// that sends more than kMaxWaiting before the earlier ones are answered, or
// piles up more than kMaxWaitingBytes of them, is flooding the viewer, and
// what it sends beyond that is handed back to be answered at once rather than
// held (and its memory kept) for minutes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "json.hpp"
#include "progress.hpp"
#include "proxy.hpp"

namespace quillon {

// One tools/call request whose tool is in the catalogue.
struct ToolCall {
  JSON id;
  std::string name;
  JSON arguments;
  bool modern = false;  // answered with the 2026-07-28 revision's members
  // What the call holds while it waits, measured cheaply: the length of the
  // line it came on.
  size_t bytes = 0;
  // Set when the client asked to hear of the call's progress: marked in
  // flight when the call is taken, and over when it is cancelled.
  std::shared_ptr<CallProgress> progress;
};

// Whether a cancellation's `requestId` names the call whose id is `callId`:
// only the same JSON value of the same kind. A string names only an equal
// string; an integer only an equal integer, compared with its sign (an id of
// -1 is not 2^64 - 1); a number written with a fraction or an exponent only an
// equal one of those (1.0 is not 1). An integral number of magnitude 2^63 or
// more that is no integer was an integer too long for 64 bits, which the
// reader rounded: it names nothing, since many ids round to it. Other kinds
// (null, booleans, arrays, objects) name nothing. A look-alike must never
// abandon someone else's call.
bool sameRequestId(const JSON& callId, const JSON& requestId);

class CallQueue {
 public:
  // How many calls may wait behind the one in flight, and how many bytes
  // (ToolCall::bytes) they may hold between them. A single call, however
  // large, is queued when nothing waits.
  static constexpr size_t kMaxWaiting = 32;
  static constexpr size_t kMaxWaitingBytes = 4u << 20;

  // Queues `call` behind the others. Returns it back, untouched, when the
  // queue is full: it is not queued, and the caller answers it. A closed
  // queue drops it.
  std::optional<ToolCall> push(ToolCall call);

  // Cancels every queued call whose id is `id` (see sameRequestId), which is
  // then never run, and the one in flight if its id is `id`, whose stop
  // signal is stopped and whose answer is never written. Returns how many
  // calls it named.
  size_t cancel(const JSON& id);

  // Waits for the next call, which is in flight until finish(); nothing
  // once the queue is closed and empty. The stop signal belongs to that call.
  std::optional<ToolCall> next();
  StopSignal& stopSignal() { return *stop_; }

  // Ends the call in flight: runs `write` (which writes its answer), under
  // the queue's lock, unless the call was cancelled.
  void finish(const std::function<void()>& write);

  // No more calls come; the queued ones still run.
  void close();
  // The client is gone: drops the queued calls, stops the one in flight and
  // closes the queue.
  void abandon();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<ToolCall> queued_;
  size_t queuedBytes_ = 0;        // the sum of queued_'s ToolCall::bytes
  std::optional<JSON> inFlight_;  // the id of the call in flight
  std::shared_ptr<CallProgress> inFlightProgress_;
  std::unique_ptr<StopSignal> stop_ = std::make_unique<StopSignal>();
  bool closed_ = false;
};

}  // namespace quillon
