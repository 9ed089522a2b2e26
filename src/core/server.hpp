// The MCP server: one JSON-RPC line in, at most one answer line out.
//
// A QuillonMCPServer holds the road to the viewer (its Transport) and serves
// requests strictly one at a time on the thread that calls run(). It keeps no
// state between lines, so every method is served at any time, in any order.
// Every failure of a tool call is caught in handle() and becomes a tool result;
// nothing escapes to the loop.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "json.hpp"
#include "proxy.hpp"
#include "snapshot_fit.hpp"

namespace quillon {

class QuillonMCPServer {
 public:
  // Every snapshot is sent whole, whatever its size.
  QuillonMCPServer(Transport transport, std::string apiBase, std::string version);
  // Snapshots are fitted within `fitting` (see snapshot_fit.hpp), as the
  // executable does with the limits of its environment.
  QuillonMCPServer(Transport transport, std::string apiBase, std::string version,
                   SnapshotLimits fitting);

  // Serves standard input until it ends (or standard output is gone).
  void run();
  // The same loop over any pair of descriptors.
  void run(int inputFd, int outputFd);

  // Answers one input line (terminator removed; bytes taken as UTF-8, with
  // ill-formed sequences read as U+FFFD). Returns the answer without a line
  // terminator, or nothing for blank lines, notifications and messages that
  // get no answer.
  std::optional<std::string> handle(std::string line);

  // Compact JSON text of `answer`, slashes unescaped, or nothing when it
  // cannot be serialised.
  static std::optional<std::string> encode(const JSON& answer);

  // Sends the one viewer request that tool `name` maps to and shapes the
  // answer. Throws ProxyError for an unknown name or an unreachable viewer.
  JSON callTool(const std::string& name, const JSON& arguments);

  // The body as text, flagged "isError" when the status is 400 or above.
  static JSON textResult(APIResponse response);
  // An inline image plus caption for a 200 non-JSON answer; else textResult.
  static JSON imageResult(APIResponse response, const std::string& caption);

  const Transport transport;
  const std::string apiBase;  // kept for reference; the transport was built from it
  const std::string version;
  const SnapshotLimits fitting;

 private:
  // The answer to one input line as a value, before serialisation; nothing
  // when the line gets no answer. handle() and run() share it.
  std::optional<JSON> respond(std::string line);
  // The snapshot's image result, its picture fitted within `fitting`.
  JSON snapshotResult(APIResponse response) const;
};

}  // namespace quillon
