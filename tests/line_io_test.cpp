// The stdio loop's framing on descriptors where kernels differ: macOS's poll()
// refuses terminals, and its writev() refuses more than INT_MAX bytes a call.
#include "line_io.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace quillon {
namespace {

std::atomic<int> pollCalls{0};

// What macOS answers for a terminal: ready at once, as an invalid descriptor.
int refusingPoll(pollfd* fds, nfds_t count, int) {
  ++pollCalls;
  for (nfds_t i = 0; i < count; ++i) fds[i].revents = POLLNVAL;
  return static_cast<int>(count);
}

// With a wake descriptor beside it too: the reader then waits as before,
// rather than take the refusal for a wake or spin on it.
TEST(LineReader, DescriptorThatPollRefusesIsWaitedOnWithoutSpinning) {
  int wake[2];
  ASSERT_EQ(::pipe(wake), 0);
  for (const int wakeFd : {-1, wake[0]}) {
    SCOPED_TRACE(wakeFd < 0 ? "no wake descriptor" : "a wake descriptor");
    pollCalls = 0;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_EQ(::write(fds[1], "late\n", 5), 5);
      ::close(fds[1]);
    });
    LineReader reader(fds[0], refusingPoll, wakeFd);
    std::string line;
    EXPECT_TRUE(reader.next(line));
    EXPECT_EQ(line, "late");
    EXPECT_FALSE(reader.next(line));
    writer.join();
    ::close(fds[0]);
    // A retry loop without a pause makes millions of calls in 300 ms.
    EXPECT_LT(pollCalls.load(), 100);
  }
  ::close(wake[0]);
  ::close(wake[1]);
}

// Hands over the rest of a line and two short ones only once the reader has
// taken the line's start and waits for more.
int restWriter = -1;
int deliverRest(pollfd* fds, nfds_t, int) {
  if (restWriter >= 0) {
    EXPECT_EQ(::write(restWriter, "789\nb\nc\n", 8), 8);
    ::close(restWriter);
    restWriter = -1;
  }
  fds[0].revents = POLLIN;
  return 1;
}

TEST(LineReader, ShortLinesAfterALineReadInTwoPartsAreEachDelivered) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  ASSERT_EQ(::write(fds[1], "0123456", 7), 7);
  restWriter = fds[1];
  LineReader reader(fds[0], deliverRest);
  std::vector<std::string> lines;
  for (std::string line; reader.next(line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"0123456789", "b", "c"}));
  ::close(fds[0]);
}

TEST(WriteAll, NoCallCarriesMoreThanTheLimit) {
  // Each writev on a datagram socket is one datagram, so the reader sees the
  // size of every call.
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
  const std::string parts[] = {"{\"a\":", "", "\"0123456789abcdef\"", "}", "\n"};
  ASSERT_TRUE(writeAll(fds[0], {parts[0], parts[1], parts[2], parts[3], parts[4]}, 7));
  std::string received;
  char datagram[64];
  ssize_t n;
  while ((n = ::recv(fds[1], datagram, sizeof datagram, MSG_DONTWAIT)) > 0) {
    EXPECT_LE(n, 7);
    received.append(datagram, static_cast<size_t>(n));
  }
  EXPECT_EQ(received, "{\"a\":\"0123456789abcdef\"}\n");
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace quillon
