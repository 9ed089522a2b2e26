// The MCP server: JSON-RPC lines in, answer lines out.
//
// A QuillonMCPServer holds the road to the viewer (its Transport). It keeps
// no state between requests, so every method is served at any time, in any
// order, and each request is answered in the era it names: the handshake
// revisions (initialize, then requests without a version) or the 2026-07-28
// revision (every request names it in params._meta), side by side. Every
// failure of a tool call is caught in one place and becomes a tool result;
// nothing escapes to the loop.
//
// Threads, in run(): the calling thread reads the input and answers at once
// everything that does not need the viewer (ping, initialize, tools/list,
// server/discover, every error answer); it queues tool calls and carries out
// cancellations. One caller thread of run()'s own takes the queued calls one
// at a time, in the order they came, sends each to the viewer and writes its
// answer. So a ping is answered while a call waits for a slow viewer, calls
// never overlap, and their answers leave in order; an answer may overtake a
// call's. Each answer line is written whole, under one lock. A cancelled
// call is dropped from the queue, or its viewer request abandoned, and never
// answered. A call beyond the queue's bound is answered at once, by the
// reader, as not sent because the viewer is busy. Once standard output is
// gone, whichever thread finds it, run() returns promptly: the reader stops
// waiting for input, no queued call reaches the viewer and the one in flight
// is abandoned. handle() is the same protocol done in line, one request at a
// time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "call_queue.hpp"
#include "json.hpp"
#include "progress.hpp"
#include "proxy.hpp"
#include "snapshot_fit.hpp"
#include "snapshot_save.hpp"

namespace quillon {

class QuillonMCPServer {
 public:
  // Every snapshot is sent whole, whatever its size.
  QuillonMCPServer(Transport transport, std::string apiBase, std::string version);
  // Snapshots are fitted within `fitting` (see snapshot_fit.hpp), as the
  // executable does with the limits of its environment, and the viewer's
  // pictures saved into `folder` when it is set (see snapshot_save.hpp).
  // Calls whose client asked for progress hear of it on `progress`.
  QuillonMCPServer(Transport transport, std::string apiBase, std::string version,
                   SnapshotLimits fitting, SnapshotFolder folder = {},
                   ProgressSchedule progress = {});

  // Serves standard input until it ends, and the calls read by then are
  // answered, or until standard output is gone.
  void run();
  // The same loop over any pair of descriptors.
  void run(int inputFd, int outputFd);

  // Answers one input line (terminator removed; bytes taken as UTF-8, with
  // ill-formed sequences read as U+FFFD), a tool call included. Returns the
  // answer without a line terminator, or nothing for blank lines,
  // notifications and messages that get no answer.
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
  const SnapshotFolder snapshotFolder;
  const ProgressSchedule progressSchedule;

 private:
  // One input line, read: what to do with it.
  struct Request {
    enum class Kind {
      none,    // nothing to answer
      answer,  // `answer` is the whole answer, made without the viewer
      call,    // `call` goes to the viewer
      cancel,  // the client cancels the calls whose id is `cancelled`
    };
    Kind kind = Kind::none;
    JSON answer;
    ToolCall call;
    JSON cancelled;
  };

  Request read(std::string line) const;
  // The answer to `call`, its viewer request abandoned when `stop` is.
  JSON answer(const ToolCall& call, StopSignal& stop) const;
  // The answer to a call that the queue has no room for.
  JSON busyAnswer(const ToolCall& call) const;
  JSON callTool(const std::string& name, const JSON& arguments, StopSignal& stop,
                bool modern) const;
  // The snapshot's image result, its picture fitted within `fitting` as the
  // result will be written (with the modern members when `modern`).
  JSON snapshotResult(APIResponse response, bool modern) const;
};

}  // namespace quillon
