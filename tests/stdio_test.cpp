// End to end: the built quillon-mcp executable with piped standard streams,
// as an MCP host runs it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"

namespace {

using quillon::test::RunResult;

// Runs quillon-mcp with `input` on stdin (then closed) and `port` as its
// QUILLON_API_PORT; port 9 (discard) has no listener on a test machine.
RunResult runQuillon(const std::string& input, const std::string& port = "9") {
  return quillon::test::runServer(input, {{"QUILLON_API_PORT", port}});
}

// The answer lines; every answer, the last included, ends in one line feed.
std::vector<std::string> lines(const std::string& text) {
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "output does not end with a line feed";
  return quillon::test::splitLines(text);
}

const std::string kPing1 = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
const std::string kPong1 = R"({"jsonrpc":"2.0","id":1,"result":{}})";

TEST(Stdio, EmptyInputEndsQuietlyWithStatusZero) {
  const RunResult outcome = runQuillon("");
  EXPECT_EQ(outcome.exit.exitCode, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "");
}

TEST(Stdio, FramingOfLinesInAndOut) {
  const std::string input = "\n   \t\n" + kPing1 + "\r\n" +  // CRLF
                            R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                            "\n" +
                            R"({"id":2,"method":"ping"})"
                            "\n" +
                            R"({"id":3,"method":"nope"})"
                            "\n" +
                            "garbage\n" + R"({"id":"last","method":"ping"})";  // no terminator
  const RunResult outcome = runQuillon(input);
  EXPECT_EQ(outcome.exit.exitCode, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out.find('\r'), std::string::npos);
  const std::vector<std::string> expected = {
      kPong1,
      R"({"jsonrpc":"2.0","id":2,"result":{}})",
      R"({"jsonrpc":"2.0","id":3,"error":{"code":-32601,"message":"method not found: nope"}})",
      R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error"}})",
      R"({"jsonrpc":"2.0","id":"last","result":{}})",
  };
  EXPECT_EQ(lines(outcome.out), expected);
}

TEST(Stdio, LineBreaksInsideStringsStayEscaped) {
  const RunResult outcome = runQuillon(R"({"id":"a\nb\r\u2028","method":"ping"})"
                                     "\n");
  EXPECT_EQ(lines(outcome.out),
            std::vector<std::string>{"{\"jsonrpc\":\"2.0\",\"id\":\"a\\nb\\r\xE2\x80\xA8\","
                                     "\"result\":{}}"});
}

TEST(Stdio, ViewerNotRunningIsToldPlainly) {
  const RunResult outcome = runQuillon(
      R"({"id":5,"method":"tools/call","params":{"name":"quillon_state","arguments":{}}})"
      "\n");
  EXPECT_EQ(outcome.exit.exitCode, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(lines(outcome.out),
            std::vector<std::string>{
                "{\"jsonrpc\":\"2.0\",\"id\":5,\"result\":{\"content\":[{\"type\":\"text\","
                "\"text\":\"Quillon is not reachable at http://127.0.0.1:9 \xE2\x80\x94 launch "
                "/Applications/Quillon.app and retry.\"}],\"isError\":true}}"});
}

TEST(Stdio, ToolCallsReachTheViewerAtTheConfiguredPort) {
  httplib::Server viewer;
  viewer.set_tcp_nodelay(true);
  viewer.Get("/v1/state", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"file":"/models/house.skp"})", "application/json");
  });
  viewer.Get("/v1/snapshot.png", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string("\x89PNG\r\n\x1A\n", 8), "image/png");
  });
  viewer.Post("/v1/layers", [](const httplib::Request& request, httplib::Response& response) {
    response.status = 400;
    response.set_content(R"({"error":"unknown layer","got":)" + request.body + "}",
                         "application/json");
  });
  const int port = viewer.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { viewer.listen_after_bind(); });

  const RunResult outcome = runQuillon(
      R"({"id":1,"method":"tools/call","params":{"name":"quillon_state"}})"
      "\n"
      R"({"id":2,"method":"tools/call","params":{"name":"quillon_snapshot"}})"
      "\n"
      R"({"id":3,"method":"tools/call","params":{"name":"quillon_layers","arguments":{"name":"Roof/Top"}}})"
      "\n",
      std::to_string(port));
  viewer.stop();
  serving.join();

  EXPECT_EQ(outcome.exit.exitCode, 0);
  EXPECT_EQ(outcome.err, "");
  const auto answers = lines(outcome.out);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(
      answers[0],
      R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":"{\"file\":\"/models/house.skp\"}"}],"isError":false}})");
  EXPECT_EQ(
      answers[1],
      R"({"jsonrpc":"2.0","id":2,"result":{"content":[{"type":"image","data":"iVBORw0KGgo=","mimeType":"image/png"},{"type":"text","text":"Snapshot of the Quillon 3D viewport."}]}})");
  EXPECT_EQ(
      answers[2],
      R"({"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":"{\"error\":\"unknown layer\",\"got\":{\"name\":\"Roof/Top\"}}"}],"isError":true}})");
}

TEST(Stdio, ArgumentsAreIgnored) {
  // The host may pass flags; they change nothing. Run through a shell to add some.
  const std::string command = std::string("printf '%s\\n' '") + kPing1 + "' | QUILLON_API_PORT=9 " +
                              QUILLON_MCP_EXE + " --verbose extra 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  EXPECT_EQ(WEXITSTATUS(::pclose(pipe)), 0);
  EXPECT_EQ(out, kPong1 + "\n");
}

}  // namespace
