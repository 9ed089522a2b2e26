// A minimal MCP client over a child's stdin/stdout: one JSON-RPC request per
// line, answered by one line, as an MCP host talks to a stdio server.
//
// Requests are strictly sequential; ids count up from 1. Not thread-safe.
// Notifications the server sends while a request waits, such as
// notifications/progress, go to the caller's handler; a request made
// without one takes any as a broken protocol, so that stray ones show.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "child_process.hpp"

namespace quillon::demo {

using JSON = nlohmann::ordered_json;
using process::ChildProcess;

// The server broke the protocol: no answer in time, an answer that is not
// JSON, or one for another id.
class ProtocolFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class McpClient {
 public:
  McpClient(ChildProcess& server, std::chrono::milliseconds timeout)
      : server_(server), timeout_(timeout) {}

  using NotificationHandler = std::function<void(const JSON& notification)>;

  // Sends a request and returns the whole answer object ("result" or "error").
  JSON request(const std::string& method, JSON params,
               const NotificationHandler& onNotification = {});
  // Sends a notification, which gets no answer.
  void notify(const std::string& method, JSON params = JSON::object());
  // tools/call; returns the "result" member (the tool result). A progress
  // token other than null goes in params._meta.progressToken.
  JSON callTool(const std::string& name, JSON arguments, const JSON& progressToken = JSON(),
                const NotificationHandler& onNotification = {});

  // The length of the last answer line, for reporting.
  size_t lastAnswerBytes() const { return lastAnswerBytes_; }

 private:
  ChildProcess& server_;
  std::chrono::milliseconds timeout_;
  int64_t nextId_ = 1;
  size_t lastAnswerBytes_ = 0;
};

// The bytes of an image item's "data" (standard Base64).
std::string decodeBase64(const std::string& text);
// The concatenated "text" of a tool result's text items.
std::string resultText(const JSON& toolResult);
bool isErrorResult(const JSON& toolResult);

}  // namespace quillon::demo
