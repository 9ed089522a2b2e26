// Raw line framing on file descriptors, for the stdio loop.
//
// Reading and writing go straight to the descriptors, with no stdio buffers in
// between, so an answer has left the process when its write returns and no
// stray byte can be held back or duplicated.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <climits>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// How the loops wait for a non-blocking descriptor to become ready: poll()
// itself, or in tests a stand-in that plays another kernel's answers.
using PollFunction = int (*)(pollfd*, nfds_t, int);

// Splits the bytes of a descriptor into lines. The terminator ("\n" or
// "\r\n") is removed; a last line without one is still delivered. Not
// thread-safe; the descriptors must stay open while the reader is used.
//
// A reader given a `wakeFd` (the read end of a pipe, say) watches it beside
// the input while it waits: once it is readable, input ends, so that another
// thread can stop a reader blocked on a client that sends nothing more. Where
// poll() refuses the input (macOS terminals), the reader falls back to plain
// blocking reads, which only input ends.
class LineReader {
 public:
  explicit LineReader(int fd, PollFunction poll = ::poll, int wakeFd = -1)
      : fd_(fd), wakeFd_(wakeFd), poll_(poll) {}

  // Stores the next line in `line` and returns true, or returns false at end
  // of input (or on a read error or a wake, which end input just the same).
  // Waits on a non-blocking descriptor that has nothing yet. A line too long
  // to hold in memory is read past and delivered empty, with dropped() true.
  bool next(std::string& line);

  // Whether the line last delivered was too long to hold.
  bool dropped() const { return dropped_; }

 private:
  bool fill();
  void skipLine();
  // Reads what the input has, as read() does, unless the wake descriptor
  // becomes readable first: then -1 with errno 0, which ends input.
  ssize_t readInput(char* into, size_t size);

  int fd_;
  int wakeFd_;  // -1: none, or poll() refused the input
  PollFunction poll_;
  std::string buffer_;
  size_t start_ = 0;    // first byte of the line being assembled
  size_t scanned_ = 0;  // bytes from start_ already searched for "\n"
  bool eof_ = false;
  bool dropped_ = false;
};

// Writes all of `parts` to `fd` in gathered writes of at most
// `maxBytesPerCall` bytes each, retrying after partial writes and
// interruptions, and waiting while a non-blocking `fd` is full. Returns false
// when the descriptor can no longer be written (the reader has gone away).
bool writeAll(int fd, std::vector<std::string_view> parts, size_t maxBytesPerCall = INT_MAX);

}  // namespace quillon
