// handle(line) with a fake viewer, checked against an independent reading of
// the request, in the era it names; and the same bytes as a run of pushes,
// cancellations and answers on a CallQueue, against a model of it: which
// calls a cancellation names, and which pushes its bound refuses.
//
// Input: the request line, then optionally "\n" and a viewer script:
//   "u"                      the viewer is unreachable
//   "b<message>"             the request cannot be formed (ProxyError)
//   "e<message>"             some other exception
//   "r<status> <type>\n<body>" an answer (status defaults to 200)
// An empty script means an unreachable viewer.

#include <charconv>
#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "call_queue.hpp"
#include "check.hpp"
#include "json_reader.hpp"
#include "proxy.hpp"
#include "server.hpp"
#include "text.hpp"
#include "tools.hpp"

namespace {

using quillon::APIResponse;
using quillon::ProxyError;
using Reference = nlohmann::json;  // std::map objects: another reading than the server's

const std::string kBase = "http://127.0.0.1:17950";

struct Viewer {
  std::string_view script;
  int calls = 0;
  std::optional<std::string> body;  // of the last call
  std::string method;
  std::optional<APIResponse> answered;
  std::string thrown;

  APIResponse operator()(const std::string& requestMethod, const std::string& path,
                         std::optional<std::string> requestBody) {
    ++calls;
    method = requestMethod;
    body = std::move(requestBody);
    FUZZ_CHECK(path.starts_with("/v1/"));
    const char action = script.empty() ? 'u' : script.front();
    const std::string rest(script.empty() ? std::string_view() : script.substr(1));
    switch (action) {
      case 'b': {
        ProxyError error = ProxyError::badArguments(rest);
        thrown = error.description();
        throw error;
      }
      case 'e':
        thrown = rest.substr(0, rest.find('\0'));  // what() is a C string
        throw std::runtime_error(rest);
      case 'r': {
        APIResponse response;
        response.status = 200;
        std::string_view head = std::string_view(rest).substr(0, rest.find('\n'));
        const size_t space = head.find(' ');
        int64_t status = 0;
        const std::string_view digits = head.substr(0, space);
        if (std::from_chars(digits.data(), digits.data() + digits.size(), status).ec ==
            std::errc()) {
          response.status = status;
        }
        if (space != std::string_view::npos)
          response.contentType = std::string(head.substr(space + 1));
        response.headers["content-type"] = response.contentType;
        if (head.size() < rest.size()) response.data = rest.substr(head.size() + 1);
        answered = response;
        return response;
      }
      default: {
        ProxyError error = ProxyError::unreachable(kBase);
        thrown = error.description();
        throw error;
      }
    }
  }
};

size_t depthOf(const Reference& value) {
  size_t deepest = 0;
  if (value.is_structured()) {
    for (const Reference& item : value) deepest = std::max(deepest, depthOf(item));
    return deepest + 1;
  }
  return 0;
}

const std::string kParseError =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error"}})";

void checkError(const Reference& reply, int code, const std::string& message) {
  FUZZ_CHECK(reply.contains("error") && !reply.contains("result"));
  const Reference& error = reply["error"];
  FUZZ_CHECK(error.is_object() && error.size() == (code == -32022 ? 3 : 2));
  FUZZ_CHECK(error["code"].is_number_integer() && error["code"] == code);
  FUZZ_CHECK(error["message"].is_string() && error["message"] == message);
}

const Reference kHandshakeVersions = {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"};

bool isHandshakeVersion(const Reference& version) {
  return std::find(kHandshakeVersions.begin(), kHandshakeVersions.end(), version) !=
         kHandshakeVersions.end();
}

// What the 2026-07-28 revision adds to every result.
bool isModernResult(const Reference& result) {
  return result.value("resultType", "") == "complete" &&
         result["_meta"] == Reference{{"io.modelcontextprotocol/serverInfo",
                                       {{"name", "quillon"}, {"version", QUILLON_VERSION}}}};
}

// Ids as a client may write them. Those of one group are the same id; those
// of group -1 name no call: other kinds, and an integer beyond 64 bits, which
// the reader rounds to a double that many integers share.
const struct {
  const char* text;
  int group;
} kIds[16] = {
    {"0", 0},
    {"-0", 0},
    {"1", 1},
    {"\"1\"", 2},
    {"1.0", 3},
    {"1e0", 3},
    {"-1", 4},
    {"18446744073709551615", 5},
    {"9007199254740993", 6},
    {"9007199254740992.0", 7},
    {"9007199254740992", 8},
    {"18446744073709551616", -1},
    {"null", -1},
    {"[1]", -1},
    {"true", -1},
    {"{}", -1},
};

// What a pushed call holds: nothing, a little, a third of the bound and more
// than all of it.
constexpr size_t kCallBytes[4] = {0, 1000, (4u << 20) / 3, 5u << 20};

// The bytes as operations on a queue of calls: a push, a cancellation, the
// next call taken, the call in flight answered; each names an id of kIds,
// and a push the size of its call. The model says which calls run, which
// answers are written, and which pushes are refused: at most 32 calls, of at
// most 4 MiB between them, wait behind the one in flight, and a call is never
// refused when none waits.
void checkQueue(std::string_view input) {
  struct Call {
    size_t key, bytes;
  };
  const auto id = [](size_t key) { return quillon::readJSON(kIds[key].text); };
  quillon::CallQueue queue;
  std::deque<Call> queued;
  size_t queuedBytes = 0;
  std::optional<size_t> inFlight;  // its key
  bool cancelled = false;
  for (const char byte : input) {
    const size_t op = uint8_t(byte) % 4, key = uint8_t(byte) / 4 % 16;
    const int group = kIds[key].group;
    switch (op) {
      case 0: {
        const size_t bytes = kCallBytes[uint8_t(byte) / 64];
        const bool full =
            !queued.empty() && (queued.size() >= 32 || queuedBytes + bytes > (4u << 20));
        const std::optional<quillon::ToolCall> refused =
            queue.push({id(key), "quillon_state", quillon::JSON::object(), false, bytes});
        FUZZ_CHECK(refused.has_value() == full);
        if (refused) {
          FUZZ_CHECK(refused->id == id(key) && refused->bytes == bytes);
        } else {
          queued.push_back({key, bytes});
          queuedBytes += bytes;
        }
        break;
      }
      case 1: {
        const auto named = [&](size_t other) { return group >= 0 && kIds[other].group == group; };
        size_t count = std::erase_if(queued, [&](const Call& call) {
          if (!named(call.key)) return false;
          queuedBytes -= call.bytes;
          return true;
        });
        if (inFlight && named(*inFlight)) {
          cancelled = true;
          ++count;
        }
        FUZZ_CHECK(queue.cancel(id(key)) == count);
        break;
      }
      case 2: {
        if (inFlight || queued.empty()) break;
        const std::optional<quillon::ToolCall> call = queue.next();
        FUZZ_CHECK(call && call->id == id(queued.front().key));
        inFlight = queued.front().key;
        queuedBytes -= queued.front().bytes;
        queued.pop_front();
        cancelled = false;
        FUZZ_CHECK(!queue.stopSignal().stopped());
        break;
      }
      default: {
        if (!inFlight) break;
        FUZZ_CHECK(queue.stopSignal().stopped() == cancelled);
        bool written = false;
        queue.finish([&] { written = true; });
        FUZZ_CHECK(written == !cancelled);
        inFlight.reset();
      }
    }
  }
  queue.close();
  for (const Call& call : queued) {
    const std::optional<quillon::ToolCall> next = queue.next();
    FUZZ_CHECK(next && next->id == id(call.key));
    queue.finish([] {});
  }
  FUZZ_CHECK(!queue.next());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkQueue(input);
  const size_t split = input.find('\n');
  const std::string line(input.substr(0, split));
  Viewer viewer;
  if (split != std::string_view::npos) viewer.script = input.substr(split + 1);

  quillon::QuillonMCPServer server(
      [&viewer](const std::string& method, const std::string& path, std::optional<std::string> body,
                quillon::StopSignal&) { return viewer(method, path, std::move(body)); },
      kBase, QUILLON_VERSION);
  const std::optional<std::string> answer = server.handle(line);
  FUZZ_CHECK(viewer.calls <= 1);

  // The request as an independent parser reads it. Raw NUL is never part of
  // JSON text, and nesting beyond 512 levels is refused.
  const std::string text = quillon::repairUTF8(line);
  const std::string_view trimmed = quillon::trimWhitespace(text);
  if (trimmed.empty()) {
    FUZZ_CHECK(!answer);
    return 0;
  }
  Reference request = Reference::parse(trimmed, nullptr, false);
  const bool readable = !request.is_discarded() && trimmed.find('\0') == std::string_view::npos &&
                        depthOf(request) <= 512;
  if (!readable || !request.is_object()) {
    FUZZ_CHECK(answer == kParseError);
    return 0;
  }
  const auto method = request.find("method");
  if (method == request.end() || !method->is_string() || !request.contains("id")) {
    FUZZ_CHECK(!answer);
    FUZZ_CHECK(viewer.calls == 0);
    return 0;
  }

  // One line of JSON, valid UTF-8 (the parser checks every string), echoing
  // the id in an envelope of exactly three members.
  FUZZ_CHECK(answer.has_value());
  FUZZ_CHECK(answer->find('\n') == std::string::npos && answer->find('\r') == std::string::npos);
  const Reference reply = Reference::parse(*answer, nullptr, false);
  FUZZ_CHECK(reply.is_object() && reply.size() == 3);
  FUZZ_CHECK(reply["jsonrpc"] == "2.0");
  FUZZ_CHECK(reply["id"] == request["id"]);

  const std::string name = method->get<std::string>();
  const Reference params = request.contains("params") && request["params"].is_object()
                               ? request["params"]
                               : Reference::object();
  // The era the request names in params._meta, if it names one.
  const Reference meta = params.value("_meta", Reference());
  const Reference version = meta.is_object()
                                ? meta.value("io.modelcontextprotocol/protocolVersion", Reference())
                                : Reference();
  const bool modern = version == "2026-07-28";
  if (name == "server/discover") {
    const Reference& result = reply["result"];
    FUZZ_CHECK(isModernResult(result) && result["supportedVersions"].size() == 5);
    FUZZ_CHECK(result["ttlMs"].is_number_unsigned() && result["cacheScope"] == "public");
    FUZZ_CHECK(viewer.calls == 0);
    return 0;
  }
  if (version.is_string() && !modern && !isHandshakeVersion(version) && name != "initialize") {
    checkError(reply, -32022, "Unsupported protocol version");
    FUZZ_CHECK(reply["error"]["data"]["requested"] == version);
    FUZZ_CHECK(viewer.calls == 0);
    return 0;
  }
  if (name == "initialize") {
    const Reference asked = params.value("protocolVersion", Reference());
    const Reference answered = reply["result"]["protocolVersion"];
    FUZZ_CHECK(!asked.is_string()          ? answered == "2024-11-05"
               : isHandshakeVersion(asked) ? answered == asked
                                           : answered == "2025-11-25");
    FUZZ_CHECK(!reply["result"].contains("resultType"));
    FUZZ_CHECK(viewer.calls == 0);
    return 0;
  }
  if (name == "ping" || name == "tools/list") {
    FUZZ_CHECK(reply.contains("result") && reply["result"].is_object());
    FUZZ_CHECK(viewer.calls == 0);
    FUZZ_CHECK(isModernResult(reply["result"]) == modern);
    if (name == "ping") FUZZ_CHECK(reply["result"].size() == (modern ? 2 : 0));
    if (name == "tools/list") FUZZ_CHECK(reply["result"].contains("ttlMs") == modern);
    return 0;
  }
  if (name != "tools/call") {
    checkError(reply, -32601, "method not found: " + name);
    FUZZ_CHECK(viewer.calls == 0);
    return 0;
  }
  const std::string tool = params.contains("name") && params["name"].is_string()
                               ? params["name"].get<std::string>()
                               : "";
  if (!quillon::isCataloguedTool(tool)) {
    checkError(reply, -32602, "unknown tool: " + tool);
    FUZZ_CHECK(viewer.calls == 0);
    return 0;
  }

  // A catalogued tool: one viewer request carrying the arguments unchanged,
  // and a result envelope whatever the viewer did.
  FUZZ_CHECK(viewer.calls == 1);
  const Reference arguments = params.contains("arguments") && params["arguments"].is_object()
                                  ? params["arguments"]
                                  : Reference::object();
  if (viewer.body) {
    FUZZ_CHECK(viewer.method == "POST");
    FUZZ_CHECK(Reference::parse(*viewer.body, nullptr, false) == arguments);
    // Byte for byte, key order included, as the library's own ordered parser
    // reads the arguments: the server's faster reader must agree with it.
    const auto ordered = nlohmann::ordered_json::parse(trimmed, nullptr, false);
    const auto& orderedParams = ordered.at("params");
    const auto orderedArguments =
        orderedParams.contains("arguments") && orderedParams["arguments"].is_object()
            ? orderedParams.at("arguments")
            : nlohmann::ordered_json::object();
    FUZZ_CHECK(*viewer.body == orderedArguments.dump());
  } else {
    FUZZ_CHECK(viewer.method == "GET");
  }
  FUZZ_CHECK(reply.contains("result") && !reply.contains("error"));
  const Reference& result = reply["result"];
  FUZZ_CHECK(result.is_object() && result["content"].is_array() && !result["content"].empty());
  FUZZ_CHECK(isModernResult(result) == modern);
  if (!viewer.answered) {
    FUZZ_CHECK(result["isError"] == true);
    FUZZ_CHECK(result["content"].size() == 1);
    FUZZ_CHECK(result["content"][0]["text"] == quillon::repairUTF8(viewer.thrown));
  } else if (result.contains("isError")) {
    FUZZ_CHECK(result["isError"] == (viewer.answered->status > 399));
    FUZZ_CHECK(result["content"][0]["text"] == quillon::repairUTF8(viewer.answered->data));
  } else {
    // Only a snapshot image comes without "isError".
    FUZZ_CHECK(tool == "quillon_snapshot" && viewer.answered->status == 200);
    FUZZ_CHECK(result["content"].size() == 2 && result["content"][0]["type"] == "image");
    FUZZ_CHECK(result["content"][0]["data"] == quillon::base64Encode(viewer.answered->data));
  }
  return 0;
}
