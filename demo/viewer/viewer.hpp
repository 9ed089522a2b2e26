// The demo viewer's HTTP API without the sockets: one call per request, from
// method, path and body to status, content type and body.
//
// It judges arguments the way the tool descriptions state them (types,
// enumerations, ranges, units) and refuses with 400, 404 or 409 and a JSON
// body {"error": ..., "argument": ...} that says what is wrong. A refused
// request changes nothing.
//
// One DemoViewer is shared by all the server's connection threads: handle()
// may be called from any thread at any time; requests are applied one at a
// time, and pictures are drawn outside the lock from a copy of the state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "model.hpp"

namespace quillon::demo {

struct HttpReply {
  int status = 200;
  std::string contentType;
  std::string body;
};

class DemoViewer {
 public:
  struct Options {
    int apiPort = 0;  // reported by /v1/state
    int snapshotWidth = 800;
    int snapshotHeight = 500;
    // Where a PDF export without "path" is written; empty means the system's
    // temporary folder.
    std::filesystem::path exportFolder;
  };

  explicit DemoViewer(Options options);

  // `path` without query string. `body` is the request body (JSON for POST;
  // an empty body reads as {}).
  HttpReply handle(const std::string& method, const std::string& path, const std::string& body);

 private:
  std::mutex mutex_;
  const Options options_;
  ViewerState state_;
  uint64_t exports_ = 0;
};

// The plain-text reference that GET /v1/help serves.
const std::string& helpText();

}  // namespace quillon::demo
