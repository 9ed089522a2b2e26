// Progress notifications for tool calls that wait: while a call the client
// gave a progressToken is queued or in flight, it hears every few seconds
// that Quillon is still working, and on what, so that a host shows more than
// "calling quillon_open..." and restarts its idle timer.
//
// A ProgressReporter runs one thread of its own for one run() of the server
// and must be stopped before the AnswerWriter it writes through goes away.
// The reader thread hands it each call to watch, taking its lock only
// briefly; nothing the reporter writes holds up reading, queuing or
// cancelling. A notification is written under the writer's lock and only
// while its call is not over, and a call's answer marks it over under that
// same lock, so no notification ever follows its call's answer; one that
// was cancelled gets none written after the cancellation was read.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "answer_writer.hpp"
#include "json.hpp"

namespace quillon {

// When a waiting call hears of its progress: first this long after it was
// read (a call answered sooner hears nothing), then at this interval.
struct ProgressSchedule {
  std::chrono::milliseconds first{1000};
  std::chrono::milliseconds every{2000};
};

// One call's progress, shared by the reader (which makes it and may cancel
// the call), the caller thread (which starts and answers it) and the
// reporter.
struct CallProgress {
  CallProgress(JSON token, std::string doing)
      : token(std::move(token)),
        doing(std::move(doing)),
        readAt(std::chrono::steady_clock::now()) {}

  const JSON token;         // the client's progressToken, echoed as it came
  const std::string doing;  // what Quillon is doing, for the message
  const std::chrono::steady_clock::time_point readAt;
  std::atomic<bool> inFlight{false};  // sent to the viewer, not only queued
  std::atomic<bool> over{false};      // answered or cancelled: nothing more
};

// The progress of a tools/call whose `params` carry a progressToken that is
// a string or an integer, for `tool` called with `arguments` (`pdfExport`:
// a snapshot call that dispatch sends as a PDF export); null for any other
// call.
std::shared_ptr<CallProgress> progressFor(const JSON& params, const std::string& tool,
                                          const JSON& arguments, bool pdfExport);

class ProgressReporter {
 public:
  ProgressReporter(AnswerWriter& writer, ProgressSchedule schedule);
  // Stops the thread and waits for it.
  ~ProgressReporter();
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  // Sends `call` notifications on the schedule until it is over.
  void watch(std::shared_ptr<CallProgress> call);

 private:
  struct Watched {
    std::shared_ptr<CallProgress> call;
    std::chrono::steady_clock::time_point due;
  };

  void loop();

  AnswerWriter& writer_;
  const ProgressSchedule schedule_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Watched> watched_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace quillon
