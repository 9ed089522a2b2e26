#include "mcp_client.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

namespace quillon::demo {

JSON McpClient::request(const std::string& method, JSON params,
                        const NotificationHandler& onNotification) {
  const int64_t id = nextId_++;
  JSON message = {
      {"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}};
  if (!server_.write(message.dump() + "\n")) {
    throw ProtocolFailure("the server no longer reads its input (" + method + ")");
  }
  // Notifications do not put the answer off: the timeout is for all of it.
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  JSON answer;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const std::optional<std::string> line =
        server_.readLine(std::max(left, std::chrono::milliseconds::zero()));
    if (!line) throw ProtocolFailure("no answer to " + method + " in time");
    lastAnswerBytes_ = line->size();
    answer = JSON::parse(*line, nullptr, /*allow_exceptions=*/false);
    if (!answer.is_object())
      throw ProtocolFailure("the answer to " + method + " is not a JSON object");
    if (answer.contains("id") || !answer.contains("method")) break;
    if (!onNotification) throw ProtocolFailure("unasked-for notification: " + *line);
    onNotification(answer);
  }
  if (answer.value("id", JSON()) != JSON(id)) {
    throw ProtocolFailure("the answer to " + method +
                          " carries another id: " + answer.value("id", JSON()).dump());
  }
  return answer;
}

void McpClient::notify(const std::string& method, JSON params) {
  JSON message = {{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}};
  if (!server_.write(message.dump() + "\n")) {
    throw ProtocolFailure("the server no longer reads its input (" + method + ")");
  }
}

JSON McpClient::callTool(const std::string& name, JSON arguments, const JSON& progressToken,
                         const NotificationHandler& onNotification) {
  JSON params = {{"name", name}, {"arguments", std::move(arguments)}};
  if (!progressToken.is_null()) params["_meta"] = {{"progressToken", progressToken}};
  JSON answer = request("tools/call", std::move(params), onNotification);
  if (!answer.contains("result") || !answer["result"].is_object()) {
    throw ProtocolFailure("tools/call " + name + " got no result: " + answer.dump());
  }
  return answer["result"];
}

std::string decodeBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t buffer = 0;
  int bits = 0;
  for (const char c : text) {
    const size_t value = alphabet.find(c);
    if (value == std::string::npos) break;  // "=" padding, or the end
    buffer = (buffer << 6) | static_cast<uint32_t>(value);
    if ((bits += 6) >= 8) bytes.push_back(static_cast<char>((buffer >> (bits -= 8)) & 0xFF));
  }
  return bytes;
}

std::string resultText(const JSON& toolResult) {
  std::string text;
  for (const JSON& item : toolResult.value("content", JSON::array())) {
    if (item.value("type", "") == "text") text += item.value("text", "");
  }
  return text;
}

bool isErrorResult(const JSON& toolResult) {
  return toolResult.value("isError", false);
}

}  // namespace quillon::demo
