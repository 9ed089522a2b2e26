// A client that closes its end of our stdout: the process must end promptly
// and quietly (status 0, no signal, no core dump, nothing on stderr), whether
// the answer was being written at that moment or comes later.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/process.hpp"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

void expectQuietPromptExit(const ChildProcess& child, const ExitReport& exit) {
  EXPECT_FALSE(exit.timedOut);
  EXPECT_TRUE(exit.exited) << "ended by signal " << exit.signal;
  EXPECT_EQ(exit.exitCode, 0);
  EXPECT_FALSE(exit.coreDumped);
  EXPECT_EQ(child.err(), "");
}

TEST(StdoutFaults, ClosedWhileALargeAnswerIsBeingWrittenEndsTheProcessQuietly) {
  ChildProcess child(QUILLON_MCP_EXE);
  // A 4 MiB id comes back in the answer, far more than a pipe holds, so the
  // server is blocked inside the write when the reader goes away.
  const std::string id = "\"" + std::string(4u << 20, 'i') + "\"";
  ASSERT_TRUE(child.send(R"({"jsonrpc":"2.0","id":)" + id +
                         R"(,"method":"ping"})"
                         "\n"));
  ASSERT_TRUE(child.awaitOutput(1));
  std::this_thread::sleep_for(100ms);
  child.closeOutput();
  // Standard input stays open: only the lost stdout may end the process.
  const ExitReport exit = child.finish(10s, /*keepInput=*/true);
  expectQuietPromptExit(child, exit);
  EXPECT_LT(exit.elapsed, 5s);
}

TEST(StdoutFaults, ClosedBeforeTheFirstAnswerEndsTheProcessAtThatAnswer) {
  ChildProcess child(QUILLON_MCP_EXE);
  child.closeOutput();
  // Lines without an answer write nothing, so they are read and served.
  ASSERT_TRUE(
      child.send("\n"
                 R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                 "\n"));
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(child.send(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"
                         "\n"));
  const ExitReport exit = child.finish(10s, /*keepInput=*/true);
  expectQuietPromptExit(child, exit);
}

// A host may share non-blocking descriptors with us: an empty stdin is then
// no end of input, and a full stdout no lost client.
TEST(StdoutFaults, NonBlockingStdinAndStdoutAreWaitedOn) {
  ChildProcess child(QUILLON_MCP_EXE, {}, /*nonBlockingStdio=*/true);
  std::this_thread::sleep_for(300ms);  // nothing to read yet
  const std::string id = "\"" + std::string(4u << 20, 'n') + "\"";
  ASSERT_TRUE(child.send(R"({"jsonrpc":"2.0","id":)" + id +
                         R"(,"method":"ping"})"
                         "\n"));
  std::this_thread::sleep_for(300ms);  // stdout fills up meanwhile
  EXPECT_EQ(child.readLine(), R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})");
  ASSERT_TRUE(child.send(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"
                         "\n"));
  EXPECT_EQ(child.readLine(), R"({"jsonrpc":"2.0","id":2,"result":{}})");
  const ExitReport exit = child.finish(10s);
  expectQuietPromptExit(child, exit);
  EXPECT_EQ(child.out(), "");
}

}  // namespace
}  // namespace quillon::test
