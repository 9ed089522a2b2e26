// The one launcher of the project's child processes: the demo host, the tests
// and the benchmarks start quillon-mcp, the demo viewer and the benchmark's
// floor programs with it. By default the child's standard streams are pipes,
// the way an MCP host runs quillon-mcp; each can come from or go to a file
// instead, as a shell redirection would.
//
// A ChildProcess owns its process: destroying one that still runs kills it
// (SIGKILL) and reaps it, so no test or demo failure leaves a process behind.
// Output is collected whenever the parent writes or waits, so a child that
// answers while it reads never blocks on a full pipe. The exit reports the
// time from the spawn to the end and the child's peak memory, which the
// benchmarks time; on Linux the end is seen the moment it happens, elsewhere
// within a millisecond or so. Not thread-safe; use each object from one
// thread. POSIX only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::process {

class ChildProcess {
 public:
  using Milliseconds = std::chrono::milliseconds;

  struct Options {
    // arguments[0] is the program: a path, or a name looked up on PATH.
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;  // set on top of ours
    std::string inputFile;   // where stdin comes from; empty: a pipe, see write()
    std::string outputFile;  // where stdout goes (truncated); empty: a pipe, see readLine()
    std::string errorFile;   // where stderr goes (appended); empty: collected, see err()
    // The child's stdin and stdout in non-blocking mode, as a host that
    // shares its own descriptors may leave them.
    bool nonBlockingStdio = false;
  };

  struct Exit {
    bool ended = false;  // false: still running when the wait gave up
    int status = -1;     // the exit status, or 128 + the signal that ended it
    bool coreDumped = false;
    long peakRSSKiB = 0;  // the child's peak resident memory
    // From just before the spawn to the moment the end was seen.
    std::chrono::duration<double, std::milli> elapsed{0};
  };

  // Throws std::system_error when the program cannot be started.
  explicit ChildProcess(const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all of `bytes` to the child's stdin; false when the child closed
  // it or `timeout` passed first.
  bool write(std::string_view bytes, Milliseconds timeout = std::chrono::seconds(60));
  // The next line of stdout without its "\n", or nothing at end of output or
  // when `timeout` passes first.
  std::optional<std::string> readLine(Milliseconds timeout = std::chrono::seconds(30));
  // The same into `line`, whose memory is used again: a caller that reads
  // large lines into one string stops allocating once it has read two of them.
  // False, and `line` unchanged, where the other returns nothing.
  bool readLine(std::string& line, Milliseconds timeout = std::chrono::seconds(30));
  // Waits until stdout has bytes that readLine has not taken; false at end of
  // output or when `timeout` passes first.
  bool waitForOutput(Milliseconds timeout = std::chrono::seconds(30));

  void closeInput();   // the child reads end of input
  void closeOutput();  // the child's stdout loses its reader
  void signal(int signalNumber);

  // Waits for the child to end, collecting its output; the child is left
  // running if it has not ended within `timeout`. Once it has ended, every
  // call gives the same Exit.
  Exit wait(Milliseconds timeout = std::chrono::seconds(60));

  // Stdout not yet taken by readLine, and stderr unless it goes to a file.
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  using Clock = std::chrono::steady_clock;
  // Moves bytes through the pipes until one of them moves, or the child ends
  // while `watchEnd`, or `deadline` passes; false on the deadline.
  bool pump(Clock::time_point deadline, std::string_view* input, bool watchEnd = false);

  pid_t pid_ = -1;
  Clock::time_point started_;
  int in_ = -1, outFd_ = -1, errFd_ = -1;
  int endFd_ = -1;  // readable once the child has ended (Linux); -1 elsewhere
  std::string out_, err_;
  std::optional<Exit> exit_;
};

}  // namespace quillon::process
