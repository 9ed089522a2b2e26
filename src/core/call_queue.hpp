// The tool calls a client has sent and not yet had answered: queued in the
// order they came, one of them in flight to the viewer.
//
// The server's reader thread pushes calls and cancels them as it reads the
// client's lines; its caller thread takes them one at a time, runs each, and
// hands its answer to finish(). A cancellation and an answer never cross: a
// call cancelled before its answer is written gets none, and one cancelled
// while it waits for the viewer has its request abandoned at once. All
// members are safe to call from any thread; the queue must outlive both.
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
#include "proxy.hpp"

namespace quillon {

// One tools/call request whose tool is in the catalogue.
struct ToolCall {
  JSON id;
  std::string name;
  JSON arguments;
  bool modern = false;  // answered with the 2026-07-28 revision's members
};

class CallQueue {
 public:
  // Queues `call` behind the others, unless the queue is closed.
  void push(ToolCall call);

  // Cancels every queued call whose id is `id` (the same JSON value: a
  // string matches only a string), which is then never run, and the one in
  // flight if its id is `id`, whose stop signal is stopped and whose answer
  // is never written. Returns how many calls it named.
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
  std::optional<JSON> inFlight_;  // the id of the call in flight
  std::unique_ptr<StopSignal> stop_ = std::make_unique<StopSignal>();
  bool closed_ = false;
};

}  // namespace quillon
