// The protocol's revisions and envelopes: which MCP versions the server
// speaks and how a request names one, the JSON-RPC result and error
// envelopes, tool results' shapes, and the members each era's results carry.
// The server decides what to answer; this says how an answer is written.
//
// Everything here is built once per answer and touches no shared state: safe
// from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "json.hpp"

namespace quillon {

// The revision without a handshake, which a request names in params._meta.
inline constexpr const char* kModernVersion = "2026-07-28";

// What initialize and server/discover tell the client about the tools.
inline constexpr const char* kInstructions =
    "Controls Quillon, the native macOS 3D viewer for SketchUp (.skp) files. Call quillon_state "
    "first; open models with quillon_open; control the 3D camera (position, target, yaw, pitch, "
    "FOV, focal length mm, exposure, standard views) with quillon_camera; switch scenes and layers "
    "with quillon_scene and quillon_layers; adjust PBR/Clay/X-Ray shading, sun/point lights, SSAO, "
    "and backdrop with quillon_rendering; inspect the 3D viewport visually with quillon_snapshot.";

// Results have room for the two members modernise() may add, so that a
// result is never copied to make room for them.
inline constexpr size_t kResultRoom = 4;

// An empty object with room for `members`. An ordered_json object keeps its
// members in a vector that copies them, not moves them, when it grows: adding
// a member after a body-sized string would copy the whole body.
JSON objectWithRoom(size_t members);

JSON resultEnvelope(JSON id, JSON result);
// "data" is left out when null.
JSON errorEnvelope(JSON id, int code, std::string message, JSON data = nullptr);
JSON parseError();

// A text item of a tool result, and a tool result of one text item flagged
// "isError" (the text repaired to UTF-8).
JSON textContent(std::string text);
JSON toolFailure(std::string description);

bool isHandshakeVersion(std::string_view version);
// The initialize result, with a version the server speaks: the one asked for
// when it is a handshake revision, else the latest; none asked for, the
// oldest.
JSON initializeResult(const JSON& params, const std::string& version);
// How long a client may keep the tool list, and for whom.
void addCacheHints(JSON& result);
// Every version spoken, newest first.
JSON supportedVersions();
// What a request's params._meta names: no version (nothing there, or not a
// string), or the version.
std::optional<std::string> requestedVersion(const JSON& params);
// Adds what every result of the 2026-07-28 revision carries, naming the
// server's `version`.
void modernise(JSON& result, const std::string& version);

}  // namespace quillon
