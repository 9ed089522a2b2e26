#include "support/fake_viewer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <stdexcept>

namespace quillon::test {

namespace {

// Reads one request (head, and a body of Content-Length bytes) from `fd`;
// nothing when the peer closes first. `pending` keeps bytes read ahead.
std::optional<FakeViewer::Request> readRequest(int fd, std::string& pending) {
  for (;;) {
    const size_t head = pending.find("\r\n\r\n");
    if (head != std::string::npos) {
      std::string lower = pending.substr(0, head);
      std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
      const size_t field = lower.find("\r\ncontent-length:");
      const size_t length = field == std::string::npos ? 0 : std::stoul(lower.substr(field + 17));
      if (pending.size() >= head + 4 + length) {
        FakeViewer::Request request;
        request.head = pending.substr(0, head + 2);
        request.method = request.head.substr(0, request.head.find(' '));
        const size_t path = request.method.size() + 1;
        request.path = request.head.substr(path, request.head.find(' ', path) - path);
        request.body = pending.substr(head + 4, length);
        pending.erase(0, head + 4 + length);
        return request;
      }
    }
    char buffer[1 << 16];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    pending.append(buffer, static_cast<size_t>(n));
  }
}

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), 0);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

FakeViewer::FakeViewer(Script script, int port) : script_(std::move(script)) {
  // A client that hangs up mid-reply must not take the test down.
  ::signal(SIGPIPE, SIG_IGN);
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 || ::pipe(wake_) != 0) {
    ::close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  for (int fd : {listener_, wake_[0], wake_[1]}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // Closing or shutting down a listening socket does not wake a thread in
  // accept() on every kernel (macOS answers ENOTCONN and leaves it blocked),
  // so the acceptor waits on a pipe as well.
  acceptor_ = std::thread([this] {
    pollfd ready[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    while (::poll(ready, 2, -1) >= 0 && ready[1].revents == 0) {
      if (ready[0].revents == 0) continue;
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      std::lock_guard lock(mutex_);
      open_.push_back(fd);
      workers_.emplace_back([this, fd, n = accepted_++] { serve(fd, n); });
    }
  });
}

FakeViewer::~FakeViewer() {
  (void)!::write(wake_[1], "x", 1);
  acceptor_.join();
  ::close(listener_);
  ::close(wake_[0]);
  ::close(wake_[1]);
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);  // wakes handlers still reading
  }
  for (std::thread& worker : workers_) worker.join();
}

std::vector<FakeViewer::Request> FakeViewer::requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

void FakeViewer::serve(int fd, int connection) {
  std::string pending;
  Reply::Then then = Reply::Then::next;
  while (then == Reply::Then::next) {
    std::optional<Request> request = readRequest(fd, pending);
    if (!request) break;
    request->connection = connection;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(*request);
    }
    const Reply reply = script_(*request);
    for (const std::string& piece : reply.pieces) {
      std::this_thread::sleep_for(reply.gap);
      sendAll(fd, piece);
    }
    then = reply.then;
  }
  if (then == Reply::Then::stall) {
    char buffer[4096];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  } else if (then == Reply::Then::reset) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  std::lock_guard lock(mutex_);
  open_.erase(std::find(open_.begin(), open_.end(), fd));
  ::close(fd);
  ++closed_;
}

std::string httpReply(int status, const std::string& contentType, const std::string& body) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
  if (!contentType.empty()) head += "Content-Type: " + contentType + "\r\n";
  return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

FakeViewer::Reply reply(int status, const std::string& contentType, const std::string& body) {
  return {{httpReply(status, contentType, body)}};
}

}  // namespace quillon::test
