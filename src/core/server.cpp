#include "server.hpp"

#include <unistd.h>

#include <exception>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "json_reader.hpp"
#include "json_text.hpp"
#include "line_io.hpp"
#include "text.hpp"
#include "tools.hpp"

namespace quillon {

namespace {

constexpr const char* kDefaultProtocolVersion = "2024-11-05";
constexpr const char* kSnapshotCaption = "Snapshot of the Quillon 3D viewport.";
constexpr const char* kInstructions =
    "Controls Quillon, the native macOS 3D viewer for SketchUp (.skp) files. Call quillon_state "
    "first; open models with quillon_open; control the 3D camera (position, target, yaw, pitch, "
    "FOV, focal length mm, exposure, standard views) with quillon_camera; switch scenes and layers "
    "with quillon_scene and quillon_layers; adjust PBR/Clay/X-Ray shading, sun/point lights, SSAO, "
    "and backdrop with quillon_rendering; inspect the 3D viewport visually with quillon_snapshot.";

// An empty object with room for `members`. An ordered_json object keeps its
// members in a vector that copies them, not moves them, when it grows: adding
// a member after a body-sized string would copy the whole body.
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

JSON errorEnvelope(JSON id, int code, std::string message) {
  JSON error = objectWithRoom(2);
  error["code"] = code;
  error["message"] = std::move(message);
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
  JSON result = objectWithRoom(2);
  result["content"] = JSON::array({textContent(repairUTF8(std::move(description)))});
  result["isError"] = true;
  return result;
}

JSON initializeResult(const JSON& params, const std::string& version) {
  JSON result = JSON::object();
  const auto requested = params.find("protocolVersion");
  result["protocolVersion"] = requested != params.end() && requested->is_string()
                                  ? *requested
                                  : JSON(kDefaultProtocolVersion);
  result["capabilities"] = JSON::object({{"tools", JSON::object()}});
  JSON serverInfo = JSON::object();
  serverInfo["name"] = "quillon";
  serverInfo["version"] = version;
  result["serverInfo"] = std::move(serverInfo);
  result["instructions"] = kInstructions;
  return result;
}

std::string asciiLowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

// The "data" of the image item in an answer's result, if it carries one:
// the Base64 that imageResult made.
const JSON* imageData(const JSON& answer) {
  const auto result = answer.find("result");
  if (result == answer.end() || !result->is_object()) return nullptr;
  const auto content = result->find("content");
  if (content == result->end() || !content->is_array()) return nullptr;
  for (const JSON& item : *content) {
    if (!item.is_object()) continue;
    const auto type = item.find("type");
    if (type == item.end() || *type != "image") continue;
    const auto data = item.find("data");
    if (data != item.end() && data->is_string()) return &*data;
  }
  return nullptr;
}

// Whether imageResult makes an image of the answer: a 200 that is no JSON.
bool carriesPicture(const APIResponse& response) {
  return response.status == 200 &&
         asciiLowercase(response.contentType).find("json") == std::string::npos;
}

bool isPDFExport(const JSON& arguments) {
  const auto format = arguments.find("format");
  if (format != arguments.end() && format->is_string() &&
      asciiLowercase(format->get<std::string>()) == "pdf") {
    return true;
  }
  return arguments.contains("path");
}

}  // namespace

QuillonMCPServer::QuillonMCPServer(Transport transport, std::string apiBase, std::string version)
    : QuillonMCPServer(std::move(transport), std::move(apiBase), std::move(version),
                       SnapshotLimits{}) {}

QuillonMCPServer::QuillonMCPServer(Transport transport, std::string apiBase, std::string version,
                                   SnapshotLimits fitting)
    : transport(std::move(transport)),
      apiBase(std::move(apiBase)),
      version(std::move(version)),
      fitting(fitting) {}

void QuillonMCPServer::run() {
  run(STDIN_FILENO, STDOUT_FILENO);
}

void QuillonMCPServer::run(int inputFd, int outputFd) {
  LineReader reader(inputFd);
  std::string line;
  while (reader.next(line)) {
    // A line that does not fit in memory, whole or parsed, is no JSON the
    // server can read; the client hears so, and the session goes on.
    std::optional<JSON> answer;
    try {
      answer = reader.dropped() ? parseError() : respond(std::move(line));
    } catch (const std::bad_alloc&) {
      answer = parseError();
    }
    if (!answer) continue;
    // The same answer text as handle() gives, but written in pieces: a long
    // string such as a snapshot's Base64 goes out from where it lies instead
    // of being copied into one answer string first.
    JSONText text;
    // Answers here are respond()'s, whose only image items are imageResult's:
    // their data is Base64 and needs no scan for characters to escape.
    if (const JSON* data = imageData(*answer)) text.writeAsIs(*data);
    if (!text.write(*answer)) continue;
    std::vector<std::string_view> pieces = text.pieces();
    pieces.emplace_back("\n");
    // A client that closed our output cannot read any further answer.
    if (!writeAll(outputFd, std::move(pieces))) return;
  }
}

std::optional<std::string> QuillonMCPServer::handle(std::string line) {
  const std::optional<JSON> answer = respond(std::move(line));
  if (!answer) return std::nullopt;
  return encode(*answer);
}

std::optional<JSON> QuillonMCPServer::respond(std::string line) {
  const std::string text = repairUTF8(std::move(line));
  const std::string_view trimmed = trimWhitespace(text);
  if (trimmed.empty()) return std::nullopt;

  JSON message = readJSON(trimmed);
  if (!message.is_object()) return parseError();

  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return std::nullopt;
  const auto id = message.find("id");
  if (id == message.end()) return std::nullopt;
  const auto paramsMember = message.find("params");
  const JSON params = paramsMember != message.end() && paramsMember->is_object()
                          ? std::move(*paramsMember)
                          : JSON::object();
  const std::string& name = method->get_ref<const std::string&>();

  if (name == "initialize") return resultEnvelope(*id, initializeResult(params, version));
  if (name == "ping") return resultEnvelope(*id, JSON::object());
  if (name == "tools/list") {
    return resultEnvelope(*id, JSON::object({{"tools", quillonToolDefinitions()}}));
  }
  if (name != "tools/call") return errorEnvelope(*id, -32601, "method not found: " + name);

  const auto toolMember = params.find("name");
  const std::string tool = toolMember != params.end() && toolMember->is_string()
                               ? toolMember->get<std::string>()
                               : std::string();
  if (!isCataloguedTool(tool)) return errorEnvelope(*id, -32602, "unknown tool: " + tool);
  const auto argumentsMember = params.find("arguments");
  const JSON arguments = argumentsMember != params.end() && argumentsMember->is_object()
                             ? *argumentsMember
                             : JSON::object();

  // The one place where a failed tool call is caught: whatever went wrong, the
  // client gets a result it can show, and the loop goes on.
  JSON result;
  try {
    result = callTool(tool, arguments);
  } catch (const ProxyError& error) {
    result = toolFailure(error.description());
  } catch (const std::exception& error) {
    result = toolFailure(error.what());
  } catch (...) {
    result = toolFailure("unknown error");
  }
  return resultEnvelope(*id, std::move(result));
}

std::optional<std::string> QuillonMCPServer::encode(const JSON& answer) {
  JSONText text;
  if (!text.write(answer)) return std::nullopt;
  return std::move(text).join();
}

JSON QuillonMCPServer::callTool(const std::string& name, const JSON& arguments) {
  auto post = [&](const char* path) {
    return textResult(transport("POST", path, arguments.dump()));
  };
  auto get = [&](const char* path) { return textResult(transport("GET", path, std::nullopt)); };

  if (name == "quillon_state") return get("/v1/state");
  if (name == "quillon_help") return get("/v1/help");
  if (name == "quillon_open") return post("/v1/open");
  if (name == "quillon_camera") return arguments.empty() ? get("/v1/camera") : post("/v1/camera");
  if (name == "quillon_scene") return post("/v1/scene");
  if (name == "quillon_layers") return post("/v1/layers");
  if (name == "quillon_rendering") return post("/v1/rendering");
  if (name == "quillon_snapshot") {
    if (isPDFExport(arguments)) return post("/v1/pdf");
    return snapshotResult(transport("GET", "/v1/snapshot.png", std::nullopt));
  }
  throw ProxyError::badArguments("unknown tool " + name);
}

JSON QuillonMCPServer::textResult(APIResponse response) {
  JSON result = objectWithRoom(2);
  result["content"] = JSON::array({textContent(repairUTF8(std::move(response.data)))});
  result["isError"] = response.status > 399;
  return result;
}

JSON QuillonMCPServer::snapshotResult(APIResponse response) const {
  if (fitting.maxBytes == 0 || !carriesPicture(response)) {
    return imageResult(std::move(response), kSnapshotCaption);
  }
  // The result around the picture, measured as it will be written.
  const auto frameWith = [](const std::string& contentType) -> uint64_t {
    const std::optional<std::string> text =
        encode(imageResult(APIResponse{200, {}, contentType, {}}, kSnapshotCaption));
    return text ? text->size() : 0;
  };
  const ResultFrame frame{frameWith(response.contentType), frameWith("image/png"),
                          frameWith("image/jpeg")};
  FittedSnapshot fitted = fitSnapshot(response.data, fitting, frame);
  switch (fitted.outcome) {
    case FittedSnapshot::Outcome::asSent:
      return imageResult(std::move(response), kSnapshotCaption);
    case FittedSnapshot::Outcome::encoded:
      response.data = std::move(fitted.picture);
      response.contentType = std::move(fitted.mimeType);
      return imageResult(std::move(response), std::string(kSnapshotCaption) + " " + fitted.note);
    case FittedSnapshot::Outcome::refused:
      break;
  }
  return toolFailure(std::move(fitted.note));
}

JSON QuillonMCPServer::imageResult(APIResponse response, const std::string& caption) {
  if (!carriesPicture(response)) return textResult(std::move(response));
  const std::string type = asciiLowercase(response.contentType);

  const std::string mimeType = type.starts_with("image/")
                                   ? response.contentType.substr(0, response.contentType.find(';'))
                                   : std::string("image/png");
  // The body becomes its Base64 in place and then the string in the result:
  // a snapshot exists once, not as body, Base64 and copy.
  std::string data = std::move(response.data);
  base64EncodeInPlace(data);
  JSON image = objectWithRoom(3);
  image["type"] = "image";
  image["data"] = std::move(data);
  // Header bytes need not be UTF-8 (HTTP allows any octet there), and one
  // invalid string would make the whole answer unserialisable: the client
  // would never hear back about this request.
  image["mimeType"] = repairUTF8(mimeType);
  JSON result = JSON::object();
  result["content"] = JSON::array({std::move(image), textContent(caption)});
  return result;
}

}  // namespace quillon
