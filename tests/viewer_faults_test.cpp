// A failing or hostile viewer, on a real loopback socket: every fault ends as
// a tool result the client can show (never a hang, an error envelope or a
// stray byte on stdout or stderr), and the next call is served again.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server.hpp"
#include "support/process.hpp"
#include "text.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A viewer written straight on sockets, for faults that an HTTP library would
// never commit. Each accepted connection runs `handler(fd, n)` on its own
// thread, n counting connections from 0.
class RawViewer {
 public:
  using Handler = std::function<void(int fd, int connection)>;

  explicit RawViewer(Handler handler, int port = 0) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~RawViewer() {
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    ::close(listener_);
    {
      std::lock_guard lock(mutex_);
      for (int fd : open_) ::shutdown(fd, SHUT_RDWR);  // wakes handlers still reading
    }
    for (std::thread& worker : workers_) worker.join();
  }

  int port() const { return port_; }
  int connections() const { return accepted_; }

 private:
  void acceptLoop() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      const int n = accepted_++;
      std::lock_guard lock(mutex_);
      open_.push_back(fd);
      workers_.emplace_back([this, fd, n] {
        handler_(fd, n);
        std::lock_guard lock(mutex_);
        std::erase(open_, fd);
        ::close(fd);
      });
    }
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
};

// Reads one request (head and Content-Length body) from `fd`; nothing at end
// of stream. `pending` keeps bytes that arrived early.
std::optional<std::string> readRequest(int fd, std::string& pending) {
  for (;;) {
    const size_t head = pending.find("\r\n\r\n");
    if (head != std::string::npos) {
      size_t length = 0;
      const size_t field = pending.find("Content-Length: ");
      if (field != std::string::npos && field < head)
        length = std::stoul(pending.substr(field + 16));
      if (pending.size() >= head + 4 + length) {
        std::string request = pending.substr(0, head + 4 + length);
        pending.erase(0, head + 4 + length);
        return request;
      }
    }
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    pending.append(buffer, static_cast<size_t>(n));
  }
}

void sendText(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

std::string okResponse(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Blocks until the peer closes: a viewer that has stopped talking.
void waitForClose(int fd) {
  char buffer[4096];
  while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
}

std::string base(int port) {
  return "http://127.0.0.1:" + std::to_string(port);
}

std::string unreachableAnswer(int id, int port) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"result":{"content":[{"type":"text","text":"Quillon is not reachable at )" +
         base(port) +
         " \xE2\x80\x94 launch /Applications/Quillon.app and retry.\"}],\"isError\":true}}";
}

std::string textAnswer(int id, const std::string& escapedText, bool isError = false) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"result":{"content":[{"type":"text","text":")" + escapedText + R"("}],"isError":)" +
         (isError ? "true" : "false") + "}}";
}

std::string callLine(int id, const std::string& tool, const std::string& arguments = "{}") {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" + arguments +
         "}}";
}

// Redirects fds 1 and 2 to a file for the duration of one handle() call, so
// that a library writing to them (curl's diagnostics, say) is caught.
struct Captured {
  std::optional<std::string> answer;
  std::string strayOutput;
  std::chrono::milliseconds elapsed;
};

Captured handleQuietly(QuillonMCPServer& server, const std::string& line) {
  std::fflush(nullptr);
  FILE* sink = std::tmpfile();
  const int savedOut = ::dup(1), savedErr = ::dup(2);
  ::dup2(::fileno(sink), 1);
  ::dup2(::fileno(sink), 2);
  const auto started = Clock::now();
  Captured captured;
  captured.answer = server.handle(line);
  captured.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  std::fflush(nullptr);
  ::dup2(savedOut, 1);
  ::dup2(savedErr, 2);
  ::close(savedOut);
  ::close(savedErr);
  std::rewind(sink);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0)
    captured.strayOutput.append(buffer, n);
  std::fclose(sink);
  return captured;
}

// The server as main() builds it, with a one-second timeout instead of thirty.
struct ViewerFaults : ::testing::Test {
  void connectTo(int port, double timeout = 1.0,
                 ConnectionPolicy policy = kDefaultConnectionPolicy) {
    server = std::make_unique<QuillonMCPServer>(urlSessionTransport(base(port), timeout, policy),
                                                base(port), QUILLON_VERSION);
  }
  std::string call(const std::string& line) {
    const Captured captured = handleQuietly(*server, line);
    EXPECT_EQ(captured.strayOutput, "");
    lastElapsed = captured.elapsed;
    return captured.answer.value_or("<no answer>");
  }
  std::unique_ptr<QuillonMCPServer> server;
  std::chrono::milliseconds lastElapsed{0};
};

int unusedPort() {
  RawViewer probe([](int, int) {});
  return probe.port();  // closed again when probe goes
}

TEST_F(ViewerFaults, RefusedConnectionIsReportedAsUnreachable) {
  const int port = unusedPort();
  connectTo(port);
  EXPECT_EQ(call(callLine(1, "quillon_state")), unreachableAnswer(1, port));
  EXPECT_EQ(call(callLine(2, "quillon_open", R"({"path":"/m.skp"})")), unreachableAnswer(2, port));
  EXPECT_LT(lastElapsed, 1000ms);
}

TEST_F(ViewerFaults, ViewerThatNeverAnswersTimesOutAsUnreachable) {
  RawViewer viewer([](int fd, int) { waitForClose(fd); });
  connectTo(viewer.port());
  EXPECT_EQ(call(callLine(1, "quillon_state")), unreachableAnswer(1, viewer.port()));
  EXPECT_GE(lastElapsed, 900ms);
  EXPECT_LT(lastElapsed, 3000ms);
}

TEST_F(ViewerFaults, TruncatedOrBrokenBodiesAreUnreachableNotPartialResults) {
  const std::vector<std::pair<const char*, RawViewer::Handler>> faults = {
      {"reset mid-body",
       [](int fd, int) {
         std::string pending;
         readRequest(fd, pending);
         sendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'a'));
         std::this_thread::sleep_for(50ms);
         const linger reset{1, 0};
         ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
       }},
      {"Content-Length longer than the body, then closed",
       [](int fd, int) {
         std::string pending;
         readRequest(fd, pending);
         sendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"short\":1}");
       }},
      {"Content-Length longer than the body, left open",
       [](int fd, int) {
         std::string pending;
         readRequest(fd, pending);
         sendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"short\":1}");
         waitForClose(fd);
       }},
      {"malformed chunk size",
       [](int fd, int) {
         std::string pending;
         readRequest(fd, pending);
         sendText(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nZZ\r\n");
         waitForClose(fd);
       }},
      {"chunk longer than announced",
       [](int fd, int) {
         std::string pending;
         readRequest(fd, pending);
         sendText(fd,
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhello\r\n0\r\n\r\n");
         waitForClose(fd);
       }},
      {"headers never finished",
       [](int fd, int) {
         std::string pending;
         readRequest(fd, pending);
         sendText(fd, "HTTP/1.1 200 OK\r\nContent-Ty");
       }},
      {"garbage instead of HTTP",
       [](int fd, int) {
         std::string pending;
         readRequest(fd, pending);
         sendText(fd, std::string("\x00\xFF\x13garbage\r\n\r\n", 15));
       }},
  };
  for (const auto& [name, handler] : faults) {
    SCOPED_TRACE(name);
    RawViewer viewer(handler);
    connectTo(viewer.port());
    EXPECT_EQ(call(callLine(1, "quillon_state")), unreachableAnswer(1, viewer.port()));
    // A stall after some bytes is noticed as soon as one with none: within the
    // timeout and the second between progress checks.
    EXPECT_LT(lastElapsed, 3000ms);
  }
}

TEST_F(ViewerFaults, SlowTrickleThatKeepsFlowingIsReadToTheEnd) {
  // Forty bytes over about two and a half seconds: longer than the timeout in
  // all, but never a second without data.
  const std::string body(40, 't');
  RawViewer viewer([&](int fd, int) {
    std::string pending;
    readRequest(fd, pending);
    sendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n");
    for (size_t i = 0; i < body.size(); i += 4) {
      std::this_thread::sleep_for(250ms);
      sendText(fd, body.substr(i, 4));
    }
    waitForClose(fd);
  });
  connectTo(viewer.port());
  EXPECT_EQ(call(callLine(1, "quillon_help")), textAnswer(1, body));
  EXPECT_GE(lastElapsed, 2000ms);
}

// The viewer may drop an idle kept-alive connection at any moment: before the
// next call (it closes after answering) or as the next request arrives on it
// (it reads the request and closes without a word). Neither may surface as an
// error: the call goes through on a new connection. This matters only when
// the transport keeps its connection, but holds under either policy.
TEST_F(ViewerFaults, DroppedKeptAliveConnectionDoesNotFailTheNextCall) {
  for (const ConnectionPolicy policy : {ConnectionPolicy::reuse, ConnectionPolicy::fresh})
    for (const bool dropsOnNextRequest : {false, true}) {
      SCOPED_TRACE(dropsOnNextRequest ? "dropped on the next request" : "dropped after answering");
      std::atomic<int> served{0};
      RawViewer viewer([&](int fd, int) {
        std::string pending;
        if (!readRequest(fd, pending)) return;
        sendText(fd,
                 okResponse("{\"n\":" + std::to_string(served++) + "}"));  // keep-alive by default
        if (dropsOnNextRequest) readRequest(fd, pending);
      });
      connectTo(viewer.port(), 1.0, policy);
      EXPECT_EQ(call(callLine(1, "quillon_state")), textAnswer(1, R"({\"n\":0})"));
      std::this_thread::sleep_for(100ms);
      EXPECT_EQ(call(callLine(2, "quillon_open", R"({"path":"/a.skp"})")),
                textAnswer(2, R"({\"n\":1})"));
      EXPECT_EQ(call(callLine(3, "quillon_state")), textAnswer(3, R"({\"n\":2})"));
      EXPECT_EQ(served, 3);
      EXPECT_EQ(viewer.connections(), 3);
    }
}

TEST_F(ViewerFaults, RestartedViewerIsReachedAgainOnTheSamePort) {
  int port = 0;
  {
    RawViewer first([](int fd, int) {
      std::string pending;
      while (readRequest(fd, pending)) sendText(fd, okResponse("\"first\""));
    });
    port = first.port();
    connectTo(port);
    EXPECT_EQ(call(callLine(1, "quillon_state")), textAnswer(1, R"(\"first\")"));
  }
  EXPECT_EQ(call(callLine(2, "quillon_state")), unreachableAnswer(2, port));
  RawViewer second(
      [](int fd, int) {
        std::string pending;
        while (readRequest(fd, pending)) sendText(fd, okResponse("\"second\""));
      },
      port);
  EXPECT_EQ(call(callLine(3, "quillon_state")), textAnswer(3, R"(\"second\")"));
}

// Regression (found by fuzzing): a picture whose Content-Type is not UTF-8
// made the answer unserialisable, so the request was never answered.
TEST_F(ViewerFaults, SnapshotWithNonUTF8ContentTypeIsStillAnswered) {
  RawViewer viewer([](int fd, int) {
    std::string pending;
    readRequest(fd, pending);
    sendText(fd,
             "HTTP/1.1 200 OK\r\nContent-Type: image/p\xFF\xFEng; x=\xC3\r\n"
             "Content-Length: 3\r\n\r\nPNG");
    waitForClose(fd);
  });
  connectTo(viewer.port());
  EXPECT_EQ(
      call(callLine(1, "quillon_snapshot")),
      R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"image","data":"UE5H","mimeType":"image/p)"
      "\xEF\xBF\xBD\xEF\xBF\xBDng"
      R"("},{"type":"text","text":"Snapshot of the Quillon 3D viewport."}]}})");
}

// A snapshot of 24 MiB travels whole, end to end: one answer line on stdout
// carrying the picture in Base64, nothing on stderr.
TEST(ViewerFaultsEndToEnd, TwentyFourMebibyteSnapshotArrivesWhole) {
  std::string picture(24u << 20, '\0');
  uint32_t state = 7;
  for (char& byte : picture) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  httplib::Server viewer;
  viewer.set_tcp_nodelay(true);
  viewer.Get("/v1/snapshot.png", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(picture, "image/png");
  });
  const int port = viewer.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { viewer.listen_after_bind(); });

  const test::RunResult run = test::runServer(callLine(1, "quillon_snapshot") + "\n",
                                              {{"QUILLON_API_PORT", std::to_string(port)}});
  viewer.stop();
  serving.join();
  const std::string expected =
      R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"image","data":")" +
      base64Encode(picture) +
      R"(","mimeType":"image/png"},{"type":"text","text":"Snapshot of the Quillon 3D viewport."}]}})"
      "\n";
  EXPECT_EQ(run.out.size(), expected.size());
  EXPECT_TRUE(run.out == expected);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit.exitCode, 0);
}

// The faults that end quickly, through the executable itself: each gets its
// answer line, and stdout carries nothing else.
TEST(ViewerFaultsEndToEnd, FaultsBetweenCallsLeaveOnlyAnswerLinesOnStdout) {
  std::atomic<int> served{0};
  RawViewer viewer([&](int fd, int connection) {
    std::string pending;
    if (!readRequest(fd, pending)) return;
    if (connection == 1) {  // the second connection is reset mid-body
      sendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc");
      std::this_thread::sleep_for(50ms);
      const linger reset{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      return;
    }
    sendText(fd, okResponse("{\"n\":" + std::to_string(served++) + "}"));
  });
  test::ChildProcess child(QUILLON_MCP_EXE, {{"QUILLON_API_PORT", std::to_string(viewer.port())}});
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {callLine(1, "quillon_state"), textAnswer(1, R"({\"n\":0})")},
      {callLine(2, "quillon_state"), unreachableAnswer(2, viewer.port())},
      {callLine(3, "quillon_state"), textAnswer(3, R"({\"n\":1})")},
  };
  for (const auto& [request, answer] : exchanges) {
    // The connection of the first call is dropped by the viewer after it
    // answered; the second call finds that out and opens a new one.
    ASSERT_TRUE(child.send(request + "\n"));
    EXPECT_EQ(child.readLine(), answer);
  }
  const test::ExitReport exit = child.finish();
  EXPECT_EQ(child.out(), "");
  EXPECT_EQ(child.err(), "");
  EXPECT_EQ(exit.exitCode, 0);
}

}  // namespace
}  // namespace quillon
