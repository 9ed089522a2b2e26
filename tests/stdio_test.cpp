// End to end: the built quillon-mcp executable with piped standard streams,
// as an MCP host runs it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
  std::string out, err;
  int status = -1;  // exit status, or -1 when the process did not exit normally
};

// Runs quillon-mcp with `input` on stdin (then closed) and `port` as its
// QUILLON_API_PORT, collecting both output streams until it exits.
Outcome runQuillon(const std::string& input, const std::string& port = "9") {
  int in[2], out[2], err[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::vector<std::string> environment = {"QUILLON_API_PORT=" + port, "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(QUILLON_MCP_EXE), nullptr};
  pid_t pid = 0;
  EXPECT_EQ(::posix_spawn(&pid, QUILLON_MCP_EXE, &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);

  // Feed stdin from another thread so that a large answer cannot deadlock us.
  std::thread writer([fd = in[1], &input] {
    ::signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (done < input.size()) {
      const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::close(fd);
  });
  Outcome outcome;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds, 2, 1000) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  writer.join();
  if (open > 0) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  return outcome;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    out.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "output does not end with a line feed";
  return out;
}

const std::string kPing1 = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
const std::string kPong1 = R"({"jsonrpc":"2.0","id":1,"result":{}})";

TEST(Stdio, EmptyInputEndsQuietlyWithStatusZero) {
  const Outcome outcome = runQuillon("");
  EXPECT_EQ(outcome.status, 0);
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
  const Outcome outcome = runQuillon(input);
  EXPECT_EQ(outcome.status, 0);
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

TEST(Stdio, ManyRequestsInOneWriteAreAnsweredInOrder) {
  std::string input;
  for (int i = 0; i < 3000; ++i)
    input += R"({"id":)" + std::to_string(i) +
             R"(,"method":"ping"})"
             "\n";
  const Outcome outcome = runQuillon(input);
  const auto answers = lines(outcome.out);
  ASSERT_EQ(answers.size(), 3000u);
  for (int i = 0; i < 3000; ++i) {
    EXPECT_EQ(answers[i], R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"result":{}})");
  }
  EXPECT_EQ(outcome.status, 0);
}

TEST(Stdio, LineBreaksInsideStringsStayEscaped) {
  const Outcome outcome = runQuillon(R"({"id":"a\nb\r\u2028","method":"ping"})"
                                     "\n");
  EXPECT_EQ(lines(outcome.out),
            std::vector<std::string>{"{\"jsonrpc\":\"2.0\",\"id\":\"a\\nb\\r\xE2\x80\xA8\","
                                     "\"result\":{}}"});
}

TEST(Stdio, ViewerNotRunningIsToldPlainly) {
  // Port 9 (discard) has no listener on a test machine.
  const Outcome outcome = runQuillon(
      R"({"id":5,"method":"tools/call","params":{"name":"quillon_state","arguments":{}}})"
      "\n");
  EXPECT_EQ(outcome.status, 0);
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

  const Outcome outcome = runQuillon(
      R"({"id":1,"method":"tools/call","params":{"name":"quillon_state"}})"
      "\n"
      R"({"id":2,"method":"tools/call","params":{"name":"quillon_snapshot"}})"
      "\n"
      R"({"id":3,"method":"tools/call","params":{"name":"quillon_layers","arguments":{"name":"Roof/Top"}}})"
      "\n",
      std::to_string(port));
  viewer.stop();
  serving.join();

  EXPECT_EQ(outcome.status, 0);
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
