// Child processes with pipes, for driving quillon-mcp and the demo viewer from
// the demo host and from end-to-end tests.
//
// A ChildProcess owns its process: destroying one that still runs kills it
// (SIGKILL) and reaps it, so no test or demo failure leaves a process behind.
// Not thread-safe; use each object from one thread. POSIX only (posix_spawn).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillon::demo {

class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> arguments;              // arguments[0] is the program path
    std::map<std::string, std::string> environment;  // set on top of ours
    bool pipeInput = false;                          // else /dev/null
    bool pipeOutput = true;                          // else /dev/null
    std::string errorFile;                           // where stderr goes; empty: /dev/null
  };

  // Throws std::system_error when the program cannot be started.
  explicit ChildProcess(const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes `text` to the child's input; false when the child no longer reads.
  bool write(const std::string& text);
  void closeInput();

  // The next line of output without its "\n", or nothing at end of output or
  // when `timeout` passes first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);

  void signal(int signalNumber);
  // The exit status (or 128 + signal) once the child has ended, or nothing
  // if it is still running after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffered_;
  std::optional<int> status_;
};

}  // namespace quillon::demo
