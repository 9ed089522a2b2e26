#include "protocol.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "text.hpp"

namespace quillon {

namespace {

// The handshake revisions, oldest first. initialize names the one it speaks;
// each later request may name its own, or the modern one, in params._meta.
constexpr const char* kDefaultProtocolVersion = "2024-11-05";
constexpr const char* kLatestHandshakeVersion = "2025-11-25";
constexpr std::string_view kHandshakeVersions[] = {"2024-11-05", "2025-03-26", "2025-06-18",
                                                   "2025-11-25"};
constexpr const char* kVersionKey = "io.modelcontextprotocol/protocolVersion";
constexpr const char* kServerInfoKey = "io.modelcontextprotocol/serverInfo";
// The tool list never changes while the server runs, and is the same for
// every client: a client may keep it for an hour.
constexpr int64_t kToolsTTLMilliseconds = 3'600'000;

JSON serverInfo(const std::string& version) {
  JSON info = JSON::object();
  info["name"] = "quillon";
  info["version"] = version;
  return info;
}

}  // namespace

JSON objectWithRoom(size_t members) {
  JSON object = JSON::object();
  object.get_ref<JSON::object_t&>().reserve(members);
  return object;
}

JSON resultEnvelope(JSON id, JSON result) {
  JSON answer = objectWithRoom(3);
  answer["jsonrpc"] = "2.0";
  answer["id"] = std::move(id);
  answer["result"] = std::move(result);
  return answer;
}

JSON errorEnvelope(JSON id, int code, std::string message, JSON data) {
  JSON error = objectWithRoom(3);
  error["code"] = code;
  error["message"] = std::move(message);
  if (!data.is_null()) error["data"] = std::move(data);
  JSON answer = objectWithRoom(3);
  answer["jsonrpc"] = "2.0";
  answer["id"] = std::move(id);
  answer["error"] = std::move(error);
  return answer;
}

JSON parseError() {
  return errorEnvelope(nullptr, -32700, "parse error");
}

JSON textContent(std::string text) {
  JSON item = objectWithRoom(2);
  item["type"] = "text";
  item["text"] = std::move(text);
  return item;
}

JSON toolFailure(std::string description) {
  JSON result = objectWithRoom(kResultRoom);
  result["content"] = JSON::array({textContent(repairUTF8(std::move(description)))});
  result["isError"] = true;
  return result;
}

bool isHandshakeVersion(std::string_view version) {
  return std::find(std::begin(kHandshakeVersions), std::end(kHandshakeVersions), version) !=
         std::end(kHandshakeVersions);
}

JSON initializeResult(const JSON& params, const std::string& version) {
  JSON result = JSON::object();
  const auto requested = params.find("protocolVersion");
  if (requested == params.end() || !requested->is_string()) {
    result["protocolVersion"] = kDefaultProtocolVersion;
  } else {
    result["protocolVersion"] = isHandshakeVersion(requested->get_ref<const std::string&>())
                                    ? *requested
                                    : JSON(kLatestHandshakeVersion);
  }
  result["capabilities"] = JSON::object({{"tools", JSON::object()}});
  result["serverInfo"] = serverInfo(version);
  result["instructions"] = kInstructions;
  return result;
}

void addCacheHints(JSON& result) {
  result["ttlMs"] = kToolsTTLMilliseconds;
  result["cacheScope"] = "public";
}

JSON supportedVersions() {
  JSON versions = JSON::array({kModernVersion});
  for (auto at = std::rbegin(kHandshakeVersions); at != std::rend(kHandshakeVersions); ++at) {
    versions.push_back(*at);
  }
  return versions;
}

std::optional<std::string> requestedVersion(const JSON& params) {
  const auto meta = params.find("_meta");
  if (meta == params.end() || !meta->is_object()) return std::nullopt;
  const auto version = meta->find(kVersionKey);
  if (version == meta->end() || !version->is_string()) return std::nullopt;
  return version->get<std::string>();
}

void modernise(JSON& result, const std::string& version) {
  result["resultType"] = "complete";
  JSON meta = objectWithRoom(1);
  meta[kServerInfoKey] = serverInfo(version);
  result["_meta"] = std::move(meta);
}

}  // namespace quillon
