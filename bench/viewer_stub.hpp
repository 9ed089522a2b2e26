// A fast stand-in for the viewer's HTTP API, for the end-to-end benchmarks: a
// ~1 KB JSON state at /v1/state and a large PNG at /v1/snapshot.png, served by
// cpp-httplib on an ephemeral loopback port from a background thread.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <string>
#include <thread>

namespace quillon::bench {

// A plausible viewer state, about one kilobyte of JSON.
const std::string& stateBody();

// `bytes` of deterministic noise behind a PNG signature: incompressible, like
// a real snapshot, and the same in every run.
std::string snapshotBody(size_t bytes);

class ViewerStub {
 public:
  // `noDelay` decides whether the server's sockets disable Nagle's algorithm.
  // Connections are kept alive for as many requests as the client sends.
  ViewerStub(bool noDelay, const std::string& snapshot);
  ~ViewerStub();
  ViewerStub(const ViewerStub&) = delete;
  ViewerStub& operator=(const ViewerStub&) = delete;

  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
};

}  // namespace quillon::bench
