// The transport loads libcurl on its first call and chooses how it treats its
// connection: a library that fails to load would make every tool call report
// the viewer unreachable, and a policy that silently reused the connection
// would bring back 40 ms stalls against servers that leave Nagle on.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "proxy.hpp"

namespace quillon {
namespace {

class Viewer {
 public:
  Viewer() {
    server_.Get("/v1/state", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content(R"({"ok":true})", "application/json; charset=utf-8");
    });
    server_.Post("/v1/open", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content(req.get_header_value("Content-Type") + "|" + req.body, "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 1000 && !server_.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~Viewer() {
    server_.stop();
    thread_.join();
  }

  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The client ports requests came from: one per connection used.
  std::set<int> clientPorts() {
    std::lock_guard lock(mutex_);
    return ports_;
  }

 private:
  void record(const httplib::Request& req) {
    std::lock_guard lock(mutex_);
    ports_.insert(req.remote_port);
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  std::set<int> ports_;
};

TEST(Transport, LoadsLibcurlAndKeepsToItsConnectionPolicy) {
  for (const ConnectionPolicy policy : {ConnectionPolicy::reuse, ConnectionPolicy::fresh}) {
    Viewer viewer;
    const Transport transport = urlSessionTransport(viewer.base(), 5.0, policy);
    for (int i = 0; i < 3; ++i) {
      const APIResponse state = transport("GET", "/v1/state", std::nullopt);
      EXPECT_EQ(state.status, 200);
      EXPECT_EQ(state.data, R"({"ok":true})");
      EXPECT_EQ(state.contentType, "application/json; charset=utf-8");
    }
    const APIResponse open = transport("POST", "/v1/open", R"({"path":"/a/b.skp"})");
    EXPECT_EQ(open.data, R"(application/json; charset=utf-8|{"path":"/a/b.skp"})");
    // One connection for all four calls, or new ones (the kernel may hand a
    // closed connection's port out again, so distinct ports are not counted).
    if (policy == ConnectionPolicy::reuse) {
      EXPECT_EQ(viewer.clientPorts().size(), 1u);
    } else {
      EXPECT_GT(viewer.clientPorts().size(), 1u);
    }
  }
}

}  // namespace
}  // namespace quillon
