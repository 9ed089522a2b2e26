// What the tests of the built executable share: starting quillon-mcp the way
// an MCP host does, and the answer lines they expect from it.
#pragma once

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.hpp"

// AddressSanitizer changes memory figures and cannot run under an
// address-space limit. gcc announces it with __SANITIZE_ADDRESS__, clang
// through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_ASAN 1
#endif
#endif
#ifndef QUILLON_ASAN
#define QUILLON_ASAN 0
#endif
// ThreadSanitizer likewise: it keeps shadow memory for every byte and maps
// terabytes of address space, and runs several times slower.
#if defined(__SANITIZE_THREAD__)
#define QUILLON_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLON_TSAN 1
#endif
#endif
#ifndef QUILLON_TSAN
#define QUILLON_TSAN 0
#endif
// Either one: memory figures mean nothing, and timings stretch.
#define QUILLON_SANITIZED (QUILLON_ASAN || QUILLON_TSAN)

namespace quillon::test {

using process::ChildProcess;

inline ChildProcess::Options quillonMCP(const std::string& port = "9",
                                        std::vector<std::string> extraArguments = {}) {
  ChildProcess::Options options;
  options.arguments = {QUILLON_MCP_EXE};
  options.arguments.insert(options.arguments.end(), extraArguments.begin(), extraArguments.end());
  // Port 9 (discard) has no listener on a test machine.
  options.environment["QUILLON_API_PORT"] = port;
  return options;
}

inline std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

inline std::string ping(const std::string& id) {
  return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})";
}
inline std::string pong(const std::string& id) {
  return R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})";
}
// A tools/call line, without its line feed; `meta` is params._meta's JSON.
inline std::string callLine(int id, const std::string& tool, const std::string& arguments = "{}",
                            const std::string& meta = "") {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" + arguments +
         (meta.empty() ? "" : R"(,"_meta":)" + meta) + "}}";
}
// The client's cancellation of request `id` (its JSON), with its line feed.
inline std::string cancelLine(const std::string& id) {
  return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" + id +
         "}}\n";
}
// A tool result holding one text item; `text` as it stands in JSON.
inline std::string textAnswer(int id, const std::string& text, bool isError = false) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"result":{"content":[{"type":"text","text":")" + text + R"("}],"isError":)" +
         (isError ? "true" : "false") + "}}";
}
inline std::string unreachableAnswer(int id, const std::string& port) {
  return textAnswer(id,
                    "Quillon is not reachable at http://127.0.0.1:" + port +
                        " \xE2\x80\x94 launch /Applications/Quillon.app and retry.",
                    true);
}
inline const std::string kParseError =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error"}})";

}  // namespace quillon::test
