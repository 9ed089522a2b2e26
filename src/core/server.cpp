#include "server.hpp"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "answer_writer.hpp"
#include "json_reader.hpp"
#include "json_text.hpp"
#include "line_io.hpp"
#include "protocol.hpp"
#include "text.hpp"
#include "tools.hpp"

namespace quillon {

namespace {

constexpr const char* kSnapshotCaption = "Snapshot of the Quillon 3D viewport.";
// The answer to a call beyond the queue's bound (see call_queue.hpp).
constexpr const char* kBusy =
    "Quillon is busy with earlier calls, so this call was not sent to it. Try it again once they "
    "have been answered.";

std::string asciiLowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
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
                                   SnapshotLimits fitting, SnapshotFolder folder,
                                   ProgressSchedule progress)
    : transport(std::move(transport)),
      apiBase(std::move(apiBase)),
      version(std::move(version)),
      fitting(fitting),
      snapshotFolder(std::move(folder)),
      progressSchedule(progress) {}

void QuillonMCPServer::run() {
  run(STDIN_FILENO, STDOUT_FILENO);
}

void QuillonMCPServer::run(int inputFd, int outputFd) {
  // Whichever thread finds the client gone, the loop ends at once: the reader
  // is woken from its wait for input, the queued calls are dropped unsent and
  // the one in flight is abandoned.
  WakePipe wake;
  AnswerWriter output(outputFd, wake.writeEnd());
  ProgressReporter reporter(output, progressSchedule);
  CallQueue calls;
  std::thread caller([&] {
    while (std::optional<ToolCall> call = calls.next()) {
      // The reader may have found the client gone while this call waited.
      if (output.gone()) break;
      std::optional<JSON> answered;
      try {
        answered = answer(*call, calls.stopSignal());
      } catch (const std::bad_alloc&) {
        // No room even for the failure's answer: the call goes unanswered
        // rather than take the process down.
      }
      calls.finish([&] {
        // The answer ends the call's progress under the writer's lock: no
        // notification can follow it.
        const auto over = [&] {
          if (call->progress) call->progress->over = true;
        };
        if (answered) output.write(*answered, over);
      });
      if (output.gone()) break;
    }
    calls.abandon();
  });

  LineReader reader(inputFd, ::poll, wake.readEnd());
  std::string line;
  while (!output.gone() && reader.next(line)) {
    // A line that does not fit in memory, whole or parsed, is no JSON the
    // server can read; the client hears so, and the session goes on.
    Request request;
    try {
      if (reader.dropped()) {
        request.kind = Request::Kind::answer;
        request.answer = parseError();
      } else {
        request = read(std::move(line));
      }
    } catch (const std::bad_alloc&) {
      request.kind = Request::Kind::answer;
      request.answer = parseError();
    }
    switch (request.kind) {
      case Request::Kind::none:
        break;
      case Request::Kind::answer:
        output.write(request.answer);
        break;
      case Request::Kind::call: {
        std::shared_ptr<CallProgress> progress = request.call.progress;
        if (std::optional<ToolCall> refused = calls.push(std::move(request.call))) {
          output.write(busyAnswer(*refused));
        } else if (progress) {
          reporter.watch(std::move(progress));
        }
        break;
      }
      case Request::Kind::cancel:
        calls.cancel(request.cancelled);
        break;
    }
  }
  // At the end of input the calls read so far are still answered; a client
  // that is gone gets none.
  if (output.gone()) {
    calls.abandon();
  } else {
    calls.close();
  }
  caller.join();
}

JSON QuillonMCPServer::busyAnswer(const ToolCall& call) const {
  JSON result = toolFailure(kBusy);
  if (call.modern) modernise(result, version);
  return resultEnvelope(call.id, std::move(result));
}

std::optional<std::string> QuillonMCPServer::handle(std::string line) {
  Request request = read(std::move(line));
  switch (request.kind) {
    case Request::Kind::answer:
      return encode(request.answer);
    case Request::Kind::call: {
      StopSignal never;
      return encode(answer(request.call, never));
    }
    default:
      return std::nullopt;
  }
}

QuillonMCPServer::Request QuillonMCPServer::read(std::string line) const {
  Request request;
  const auto answerWith = [&](JSON answer) {
    request.kind = Request::Kind::answer;
    request.answer = std::move(answer);
    return std::move(request);
  };
  const std::string text = repairUTF8(std::move(line));
  const std::string_view trimmed = trimWhitespace(text);
  if (trimmed.empty()) return request;

  JSON message = readJSON(trimmed);
  if (!message.is_object()) return answerWith(parseError());

  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return request;
  const std::string& name = method->get_ref<const std::string&>();
  const auto paramsMember = message.find("params");
  JSON params = paramsMember != message.end() && paramsMember->is_object()
                    ? std::move(*paramsMember)
                    : JSON::object();
  const auto id = message.find("id");
  if (id == message.end()) {
    // The one notification with an effect: a call the client gave up on.
    const auto cancelled = params.find("requestId");
    if (name == "notifications/cancelled" && cancelled != params.end()) {
      request.kind = Request::Kind::cancel;
      request.cancelled = std::move(*cancelled);
    }
    return request;
  }

  // The era: a request that names the 2026-07-28 revision gets its answers;
  // one that names a handshake revision, or none, the handshake's. The probe
  // (server/discover) and the handshake itself are answered whatever a
  // request names.
  const std::optional<std::string> requested = requestedVersion(params);
  const bool modern = requested == kModernVersion;
  if (requested && !modern && !isHandshakeVersion(*requested) && name != "server/discover" &&
      name != "initialize") {
    JSON data = objectWithRoom(2);
    data["supported"] = supportedVersions();
    data["requested"] = *requested;
    return answerWith(errorEnvelope(*id, -32022, "Unsupported protocol version", std::move(data)));
  }
  const auto answered = [&](JSON result) {
    if (modern) modernise(result, version);
    return answerWith(resultEnvelope(*id, std::move(result)));
  };

  if (name == "initialize")
    return answerWith(resultEnvelope(*id, initializeResult(params, version)));
  if (name == "server/discover") {
    JSON result = objectWithRoom(7);
    result["supportedVersions"] = supportedVersions();
    result["capabilities"] = JSON::object({{"tools", JSON::object()}});
    result["instructions"] = kInstructions;
    addCacheHints(result);
    modernise(result, version);
    return answerWith(resultEnvelope(*id, std::move(result)));
  }
  if (name == "ping") return answered(objectWithRoom(2));
  if (name == "tools/list") {
    JSON result = objectWithRoom(5);
    result["tools"] = quillonToolDefinitions();
    if (modern) addCacheHints(result);
    return answered(std::move(result));
  }
  if (name != "tools/call")
    return answerWith(errorEnvelope(*id, -32601, "method not found: " + name));

  const auto toolMember = params.find("name");
  std::string tool = toolMember != params.end() && toolMember->is_string()
                         ? toolMember->get<std::string>()
                         : std::string();
  if (!isCataloguedTool(tool))
    return answerWith(errorEnvelope(*id, -32602, "unknown tool: " + tool));
  const auto argumentsMember = params.find("arguments");
  request.kind = Request::Kind::call;
  request.call.id = std::move(*id);
  request.call.name = std::move(tool);
  request.call.arguments = argumentsMember != params.end() && argumentsMember->is_object()
                               ? std::move(*argumentsMember)
                               : JSON::object();
  request.call.modern = modern;
  request.call.progress = progressFor(params, request.call.name, request.call.arguments,
                                      isPDFExport(request.call.arguments));
  request.call.bytes = trimmed.size();
  return request;
}

JSON QuillonMCPServer::answer(const ToolCall& call, StopSignal& stop) const {
  // The one place where a failed tool call is caught: whatever went wrong, the
  // client gets a result it can show, and the loop goes on.
  JSON result;
  try {
    result = callTool(call.name, call.arguments, stop, call.modern);
  } catch (const ProxyError& error) {
    result = toolFailure(error.description());
  } catch (const std::exception& error) {
    result = toolFailure(error.what());
  } catch (...) {
    result = toolFailure("unknown error");
  }
  // Every result has room for these: a snapshot's is not copied for them.
  if (call.modern) modernise(result, version);
  return resultEnvelope(call.id, std::move(result));
}

std::optional<std::string> QuillonMCPServer::encode(const JSON& answer) {
  JSONText text;
  if (!text.write(answer)) return std::nullopt;
  return std::move(text).join();
}

JSON QuillonMCPServer::callTool(const std::string& name, const JSON& arguments) {
  StopSignal never;
  return callTool(name, arguments, never, false);
}

JSON QuillonMCPServer::callTool(const std::string& name, const JSON& arguments, StopSignal& stop,
                                bool modern) const {
  auto post = [&](const char* path) {
    return textResult(transport("POST", path, arguments.dump(), stop));
  };
  auto get = [&](const char* path) {
    return textResult(transport("GET", path, std::nullopt, stop));
  };

  if (name == "quillon_state") return get("/v1/state");
  if (name == "quillon_help") return get("/v1/help");
  if (name == "quillon_open") return post("/v1/open");
  if (name == "quillon_camera") return arguments.empty() ? get("/v1/camera") : post("/v1/camera");
  if (name == "quillon_scene") return post("/v1/scene");
  if (name == "quillon_layers") return post("/v1/layers");
  if (name == "quillon_rendering") return post("/v1/rendering");
  if (name == "quillon_snapshot") {
    if (isPDFExport(arguments)) return post("/v1/pdf");
    return snapshotResult(transport("GET", "/v1/snapshot.png", std::nullopt, stop), modern);
  }
  throw ProxyError::badArguments("unknown tool " + name);
}

JSON QuillonMCPServer::textResult(APIResponse response) {
  JSON result = objectWithRoom(kResultRoom);
  result["content"] = JSON::array({textContent(repairUTF8(std::move(response.data)))});
  result["isError"] = response.status > 399;
  return result;
}

JSON QuillonMCPServer::snapshotResult(APIResponse response, bool modern) const {
  // The viewer's own picture is saved first, at full resolution, whatever
  // is sent: the caption then says where, and the fit counts that sentence.
  std::string caption = kSnapshotCaption;
  std::string saved;
  if (snapshotFolder.set() && carriesPicture(response) && !response.data.empty()) {
    saved = saveSnapshot(snapshotFolder, response.data, response.contentType);
    caption += " " + saved;
  }
  if (fitting.maxBytes == 0 || !carriesPicture(response)) {
    return imageResult(std::move(response), caption);
  }
  // The result around the picture, measured as it will be written, the
  // modern members included.
  const auto frameWith = [&](const std::string& contentType) -> uint64_t {
    JSON frame = imageResult(APIResponse{200, {}, contentType, {}}, caption);
    if (modern) modernise(frame, version);
    const std::optional<std::string> text = encode(frame);
    return text ? text->size() : 0;
  };
  const ResultFrame frame{frameWith(response.contentType), frameWith("image/png"),
                          frameWith("image/jpeg")};
  FittedSnapshot fitted = fitSnapshot(response.data, fitting, frame);
  switch (fitted.outcome) {
    case FittedSnapshot::Outcome::asSent:
      return imageResult(std::move(response), caption);
    case FittedSnapshot::Outcome::encoded:
      response.data = std::move(fitted.picture);
      response.contentType = std::move(fitted.mimeType);
      return imageResult(std::move(response), caption + " " + fitted.note);
    case FittedSnapshot::Outcome::refused:
      break;
  }
  // Refused, the picture may still be in the folder: the text says where.
  return toolFailure(saved.empty() ? std::move(fitted.note) : fitted.note + " " + saved);
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
  JSON result = objectWithRoom(kResultRoom);
  result["content"] = JSON::array({std::move(image), textContent(caption)});
  return result;
}

}  // namespace quillon
