// Runs the built quillon-mcp as a child process with its three standard
// streams on pipes, the way an assistant's host runs it. Linux/POSIX only;
// used by the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::test {

struct ExitReport {
  bool timedOut = false;  // killed by us after the deadline
  bool exited = false;    // ended through exit()
  int exitCode = -1;      // when exited
  int signal = 0;         // when ended by a signal
  bool coreDumped = false;
  long peakRSSKiB = 0;                   // the child's peak resident memory
  std::chrono::milliseconds elapsed{0};  // from start to end
};

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts `path` with the current environment plus `environment` (which
  // overrides and, for empty optionals, removes variables).
  // `nonBlockingStdio` hands the child its stdin and stdout in non-blocking
  // mode, as a host sharing its own descriptors might.
  explicit ChildProcess(const std::string& path,
                        const std::map<std::string, std::optional<std::string>>& environment = {},
                        bool nonBlockingStdio = false);
  ~ChildProcess();  // kills and reaps a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Writes all of `bytes` to the child's stdin while collecting its output,
  // so that a child answering as it reads never blocks us. False when stdin
  // was closed by the child or the deadline passed.
  bool send(std::string_view bytes, std::chrono::milliseconds timeout = std::chrono::seconds(60));

  // The next complete stdout line (without its "\n"), or nothing when stdout
  // ended or the deadline passed first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // Collects output until at least `bytes` of stdout are held (or the
  // deadline passes); true when they are.
  bool awaitOutput(size_t bytes, std::chrono::milliseconds timeout = std::chrono::seconds(30));

  void closeInput();   // end of the child's stdin
  void closeOutput();  // the reading end of the child's stdout goes away

  // Closes stdin (unless `keepInput`), collects the rest of the output and
  // waits for the child, killing it after `timeout`.
  ExitReport finish(std::chrono::milliseconds timeout = std::chrono::seconds(60),
                    bool keepInput = false);

  // Everything read so far; `out()` excludes lines already taken by readLine.
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  pid_t pid() const { return pid_; }

 private:
  // Waits up to `deadline` for the pipes to move; returns false on timeout.
  bool pump(Clock::time_point deadline, std::string_view* pending);
  bool drained() const { return outFd_ < 0 && errFd_ < 0; }

  pid_t pid_ = -1;
  int inFd_ = -1, outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
  Clock::time_point started_;
  bool reaped_ = false;
};

// Feeds `input` to a fresh child, closes its stdin and waits for it to end.
struct RunResult {
  std::string out, err;
  ExitReport exit;
};
RunResult runServer(std::string_view input,
                    const std::map<std::string, std::optional<std::string>>& environment = {},
                    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Splits `text` at "\n"; a last piece without terminator is dropped only when
// it is empty.
std::vector<std::string> splitLines(const std::string& text);

}  // namespace quillon::test
