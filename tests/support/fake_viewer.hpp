// A stand-in for the viewer on a loopback port, written straight on sockets
// so that it can misbehave as no HTTP library would: stall, trickle, reset
// the connection, cut a body short or close early.
//
// Each accepted connection is served on a thread of its own by the script,
// which maps every request to the reply sent back. The script runs on those
// threads, so what it captures must be safe to use from them. Destroying the
// viewer closes every connection and joins every thread. POSIX only.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::test {

class FakeViewer {
 public:
  struct Request {
    std::string head;  // request line and header lines, as received
    std::string method, path, body;
    int connection = 0;  // which connection carried it, counting from 0
  };
  struct Reply {
    std::vector<std::string> pieces;   // each sent on its own
    std::chrono::milliseconds gap{0};  // pause before each piece
    enum class Then { next, close, reset, stall } then = Then::next;
  };
  using Script = std::function<Reply(const Request&)>;

  // Listens on 127.0.0.1:`port` (0: any free port).
  explicit FakeViewer(Script script, int port = 0);
  ~FakeViewer();
  FakeViewer(const FakeViewer&) = delete;
  FakeViewer& operator=(const FakeViewer&) = delete;

  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Request> requests();
  int connections() const { return accepted_; }
  int openConnections() const { return accepted_ - closed_; }

 private:
  void serve(int fd, int connection);

  Script script_;
  int listener_ = -1, wake_[2] = {-1, -1}, port_ = 0;
  std::atomic<int> accepted_{0}, closed_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
  std::vector<Request> requests_;
};

// A complete answer with Content-Length, in one piece.
std::string httpReply(int status, const std::string& contentType, const std::string& body);
FakeViewer::Reply reply(int status, const std::string& contentType, const std::string& body);

}  // namespace quillon::test
