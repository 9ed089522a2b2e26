// quillon-mcp: an MCP server on stdin/stdout that drives the Quillon viewer
// through its local HTTP API. Start-up only; the work is in quillon_mcp_core.

#include <csignal>
#include <memory>
#include <string>

#include "proxy.hpp"
#include "server.hpp"

extern char** environ;

namespace {

// Both live until the process ends; they are released only after main()
// returns, when the loop is over and nothing uses them.
std::string base;
std::unique_ptr<quillon::QuillonMCPServer> server;

quillon::Environment readEnvironment() {
  quillon::Environment environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string variable(*entry);
    const size_t equals = variable.find('=');
    if (equals == std::string::npos) continue;
    environment.emplace(variable.substr(0, equals), variable.substr(equals + 1));
  }
  return environment;
}

}  // namespace

int main() {
  // A client that closes its end of our stdout must not kill us mid-request;
  // the failed write is noticed and the loop ends quietly instead.
  std::signal(SIGPIPE, SIG_IGN);

  const quillon::Environment environment = readEnvironment();
  base = quillon::apiBaseURL(environment);
  server = std::make_unique<quillon::QuillonMCPServer>(
      quillon::urlSessionTransport(base, 30.0), base, QUILLON_VERSION,
      quillon::snapshotLimits(environment), quillon::snapshotFolder(environment));
  server->run();
  return 0;
}
