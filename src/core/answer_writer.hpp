// The stdio loop's output: answer lines and notifications, each written
// whole, in one piece, from any of the server's threads.
//
// One AnswerWriter serves one run() of the server and outlives its threads.
// Every line goes out under one lock, so lines never interleave; whether a
// notification is still due is decided under the same lock as the answers,
// so none follows its call's answer. Once a write fails, the client is gone:
// nothing more is written, and a byte on the wake descriptor tells a reader
// waiting for input to stop waiting.
#pragma once

#include <functional>
#include <mutex>

#include "json.hpp"

namespace quillon {

class AnswerWriter {
 public:
  // `wakeFd`: written to once the client is gone; -1 for none.
  AnswerWriter(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}

  // Writes `message` and a line feed, unless the client is gone. `written`,
  // when given, runs under the lock once the line is out (or the client is
  // found gone), before any other line can be written.
  void write(const JSON& message, const std::function<void()>& written = {});
  // Writes `message` only if `due()`, asked under the lock, says so.
  void writeIf(const JSON& message, const std::function<bool()>& due);

  bool gone();

 private:
  void writeLocked(const JSON& message);

  const int fd_;
  const int wakeFd_;
  std::mutex mutex_;
  bool gone_ = false;
};

// A pipe whose read end the stdio loop's reader watches beside its input, so
// that another thread can end a read that would wait for the client. Both
// ends -1 when none can be made: the reader then waits for input as before.
class WakePipe {
 public:
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }

 private:
  int fds_[2];
};

}  // namespace quillon
