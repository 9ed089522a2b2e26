#include "line_io.hpp"

#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace quillon {

namespace {
constexpr size_t kChunk = 64 * 1024;

// A host may hand us descriptors in non-blocking mode (shared with a parent
// that set it). "Try again" is then no end of input and no lost reader: wait
// until the descriptor is ready and carry on. True when it should be retried.
//
// macOS's poll() does not support terminals: it reports them invalid at once,
// every time, and retrying would spin at full speed. Such a descriptor is
// tried again after a short sleep instead.
bool waitIfBusy(int fd, short events, PollFunction poll) {
  if (errno == EINTR) return true;
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  pollfd ready{fd, events, 0};
  int polled;
  while ((polled = poll(&ready, 1, -1)) < 0 && errno == EINTR) {
  }
  if (polled < 0 || (ready.revents & POLLNVAL)) {
    const timespec pause{0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
  return true;
}
}  // namespace

ssize_t LineReader::readInput(char* into, size_t size) {
  for (;;) {
    if (wakeFd_ >= 0) {
      pollfd ready[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      int polled;
      while ((polled = poll_(ready, 2, -1)) < 0 && errno == EINTR) {
      }
      if (polled < 0 || (ready[0].revents & POLLNVAL)) {
        wakeFd_ = -1;  // poll() cannot wait on this input: read as before
      } else if (ready[1].revents != 0) {
        errno = 0;
        return -1;
      }
    }
    const ssize_t n = ::read(fd_, into, size);
    // Nothing after all on a non-blocking input: wait again, on both.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wakeFd_ >= 0) continue;
    return n;
  }
}

bool LineReader::fill() {
  // Drop consumed bytes before growing, so a long session's buffer stays the
  // size of its longest line rather than of everything ever read.
  if (start_ > 0 && (start_ >= buffer_.size() / 2 || start_ >= kChunk)) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  const size_t used = buffer_.size();
  buffer_.resize(used + kChunk);
  for (;;) {
    const ssize_t n = readInput(buffer_.data() + used, kChunk);
    if (n > 0) {
      buffer_.resize(used + static_cast<size_t>(n));
      return true;
    }
    if (n < 0 && waitIfBusy(fd_, POLLIN, poll_)) continue;
    buffer_.resize(used);
    eof_ = true;
    return false;
  }
}

// Out of memory for the line being assembled: let go of it, read on to its
// end without keeping anything, and keep what follows.
void LineReader::skipLine() {
  std::string().swap(buffer_);
  start_ = 0;
  scanned_ = 0;
  char chunk[kChunk];
  for (;;) {
    const ssize_t n = readInput(chunk, sizeof chunk);
    if (n < 0 && waitIfBusy(fd_, POLLIN, poll_)) continue;
    if (n <= 0) {
      eof_ = true;
      return;
    }
    if (const void* found = std::memchr(chunk, '\n', static_cast<size_t>(n))) {
      const char* after = static_cast<const char*>(found) + 1;
      buffer_.assign(after, static_cast<size_t>(chunk + n - after));
      return;
    }
  }
}

bool LineReader::next(std::string& line) {
  dropped_ = false;
  for (;;) {
    const size_t searchFrom = start_ + scanned_;
    const void* found = searchFrom < buffer_.size() ? std::memchr(buffer_.data() + searchFrom, '\n',
                                                                  buffer_.size() - searchFrom)
                                                    : nullptr;
    if (found) {
      const size_t newline = static_cast<size_t>(static_cast<const char*>(found) - buffer_.data());
      size_t end = newline;
      if (end > start_ && buffer_[end - 1] == '\r') --end;
      if (end - start_ >= kChunk && buffer_.size() - (newline + 1) <= kChunk) {
        // A long line fills nearly all of the buffer: hand the buffer over
        // rather than hold the line twice, and keep only what follows it.
        std::string rest = buffer_.substr(newline + 1);
        buffer_.resize(end);
        buffer_.erase(0, start_);
        line.swap(buffer_);
        buffer_.swap(rest);
        start_ = 0;
        scanned_ = 0;
        return true;
      }
      line.assign(buffer_, start_, end - start_);
      start_ = newline + 1;
      scanned_ = 0;
      return true;
    }
    scanned_ = buffer_.size() - start_;
    bool more = false;
    try {
      more = !eof_ && fill();
    } catch (const std::bad_alloc&) {
      skipLine();
      line.clear();
      dropped_ = true;
      return true;
    }
    if (!more) {
      if (start_ >= buffer_.size()) return false;
      line.assign(buffer_, start_, buffer_.size() - start_);
      start_ = buffer_.size();
      scanned_ = 0;
      return true;
    }
  }
}

bool writeAll(int fd, std::vector<std::string_view> parts, size_t maxBytesPerCall) {
  std::vector<iovec> batch;
  size_t part = 0, offset = 0;  // the next byte to write is parts[part][offset]
  for (;;) {
    // One call takes at most maxBytesPerCall bytes and IOV_MAX pieces: macOS
    // refuses a writev of more than INT_MAX bytes instead of writing part.
    batch.clear();
    size_t room = maxBytesPerCall;
    for (size_t i = part, skip = offset; i < parts.size() && room > 0 && batch.size() < IOV_MAX;
         ++i, skip = 0) {
      const size_t take = std::min(parts[i].size() - skip, room);
      if (take > 0) batch.push_back({const_cast<char*>(parts[i].data() + skip), take});
      room -= take;
    }
    if (batch.empty()) return true;
    const ssize_t n = ::writev(fd, batch.data(), static_cast<int>(batch.size()));
    if (n < 0) {
      if (waitIfBusy(fd, POLLOUT, ::poll)) continue;
      return false;
    }
    size_t written = static_cast<size_t>(n);
    while (part < parts.size() && written >= parts[part].size() - offset) {
      written -= parts[part].size() - offset;
      ++part;
      offset = 0;
    }
    offset += written;
  }
}

}  // namespace quillon
