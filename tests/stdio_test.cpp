// The built executable on its standard streams, as an MCP host runs it: what
// it publishes, byte for byte; how it frames lines; hostile input from the
// client; and a client that stops reading its output.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "json.hpp"
#include "support/harness.hpp"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

void expectSameText(const std::string& actual, const std::string& expected) {
  if (actual.size() < 4096 && expected.size() < 4096) {
    EXPECT_EQ(actual, expected);
  } else {
    EXPECT_TRUE(actual == expected) << actual.size() << " bytes, expected " << expected.size();
  }
}

// The data files hold the answers indented for reading; the server prints
// them compact, which the library's own writer reproduces.
TEST(Stdio, HandshakeAnswersAreThePublishedOnesByteForByte) {
  std::string expected;
  for (const char* name : {"initialize", "tools_list"}) {
    expected +=
        JSON::parse(readFile(std::string(QUILLON_TEST_DATA) + "/" + name + ".json")).dump() + "\n";
  }
  ChildProcess child(quillonMCP());
  child.write(
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})"
      "\n"
      R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{"cursor":"x"}})"
      "\n");
  child.closeInput();
  EXPECT_EQ(child.wait().status, 0);
  EXPECT_EQ(child.out(), expected);
  EXPECT_EQ(child.err(), "");
}

std::string nested(size_t depth, const std::string& inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

// One row per kind of input. Every row is checked for the same things: the
// answer lines exactly (so one per request, in order, with its id), nothing
// on stderr, exit status 0. Unless the row ends its input mid-line, a ping
// follows it and must be answered: the session goes on.
struct InputRow {
  std::string name, input;
  std::vector<std::string> answers;
  bool followedByPing = true;
  std::vector<std::string> arguments = {};
  long maxPeakMiB = 0;  // 0: not measured
  // Makes a large input when the row runs, after the child has started: a
  // child's peak memory includes what its parent held when it started.
  std::string (*makeInput)() = nullptr;
};

class ClientInput : public ::testing::TestWithParam<InputRow> {};

TEST_P(ClientInput, IsAnsweredAsTheProtocolSaysAndTheSessionGoesOn) {
  const InputRow& row = GetParam();
  ChildProcess child(quillonMCP("9", row.arguments));
  std::string input = row.makeInput ? row.makeInput() : row.input, expected;
  for (const std::string& answer : row.answers) expected += answer + "\n";
  if (row.followedByPing) {
    input += ping("\"next\"") + "\n";
    expected += pong("\"next\"") + "\n";
  }
  ASSERT_TRUE(child.write(input, 90s));
  child.closeInput();
  const ChildProcess::Exit exit = child.wait(100s);
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(child.err(), "");
  expectSameText(child.out(), expected);
  if (row.maxPeakMiB > 0 && !QUILLON_SANITIZED) {
    EXPECT_LT(exit.peakRSSKiB / 1024, row.maxPeakMiB);
  }
}

std::vector<InputRow> inputRows() {
  const std::string kFFFD = "\xEF\xBF\xBD";
  std::vector<InputRow> rows = {
      {"EmptyInput", "", {}, false},
      {"Framing",
       "\n   \t\n" + ping("1") + "\r\n" +
           R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
           "\n"
           R"({"id":2,"method":"nope"})"
           "\ngarbage\n" +
           ping("\"last\""),  // no terminator
       {pong("1"),
        R"({"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"method not found: nope"}})",
        kParseError, pong("\"last\"")},
       false},
      {"LineBreaksInStringsStayEscaped",
       R"({"id":"a\nb\r\u2028","method":"ping"})"
       "\n",
       {"{\"jsonrpc\":\"2.0\",\"id\":\"a\\nb\\r\xE2\x80\xA8\",\"result\":{}}"}},
      // No ping after it: a ping's answer may overtake a call's.
      {"ViewerNotRunningIsToldPlainly",
       callLine(5, "quillon_state") + "\n",
       {unreachableAnswer(5, "9")},
       false},
      {"ArgumentsAreIgnored", ping("1") + "\n", {pong("1")}, true, {"--verbose", "extra"}},
      {"MillionDeepNestingAnywhere",
       nested(1'000'000) + "\n" + std::string(1'000'000, '[') + "\n" + std::string(500'000, '{') +
           std::string(500'000, '}') + "\n" + ping(nested(1'000'000)) + "\n" +
           R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + nested(1'000'000, "{}") +
           "}\n" + callLine(1, "quillon_camera", "{\"position\":" + nested(1'000'000) + "}") + "\n",
       std::vector<std::string>(6, kParseError)},
      // The envelope is one level, so an id of 511 arrays is the deepest.
      {"NestingLimit",
       ping(nested(511, "7")) + "\n" + ping(nested(512, "7")) + "\n",
       {pong(nested(511, "7")), kParseError}},
      {"NulBytesAndEscapedNul",
       std::string("\0", 1) + ping("1") + "\n" + R"({"id":1,"method":"pi)" + std::string("\0", 1) +
           R"(ng"})" + "\n" + ping("1") + std::string("\0", 1) + "\n" + std::string(64, '\0') +
           "\n" + R"({"id":"a\u0000b","method":"ping"})" + "\n",
       {kParseError, kParseError, kParseError, kParseError, pong(R"("a\u0000b")")}},
      {"InvalidUTF8IsReadAsReplacementCharacters",
       ping("\"i\xFF"
            "d\"") +
           "\n" + R"({"id":2,"method":"pi)" + "\xC0" + R"(ng"})" + "\n" +
           R"({"id":4,"method":"tools/call","params":{"name":"quillon_stat)" + "\xE9" + R"("}})" +
           "\n" + R"({"id":5,"method":"ping","par)" + "\xF0\x9F\x98" + R"(ams":1})" + "\n" +
           R"({"id":6,)" + "\xFF" + R"("method":"ping"})" + "\n",
       {pong("\"i" + kFFFD + "d\""),
        R"({"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"method not found: pi)" +
            kFFFD + R"(ng"}})",
        R"({"jsonrpc":"2.0","id":4,"error":{"code":-32602,"message":"unknown tool: quillon_stat)" +
            kFFFD + R"("}})",
        pong("5"), kParseError}},
      {"BatchIsAParseError",
       "[" + ping("1") + "," + ping("2") + "]\n[]\n",
       {kParseError, kParseError}},
      {"RequestCutOffByTheEndOfInput",
       ping("1") + "\n" + R"({"jsonrpc":"2.0","id":2,"meth)",
       {pong("1"), kParseError},
       false},
      {"CharacterCutOffByTheEndOfInput", "{\"id\":\"caf\xC3", {kParseError}, false},
  };

  InputRow many{"ThousandsOfLinesInOneWrite", "", {}};
  for (int i = 1; i <= 5000; ++i) {
    many.input += ping(std::to_string(i)) + (i % 3 == 0 ? "\r\n" : "\n");
    many.answers.push_back(pong(std::to_string(i)));
    if (i % 7 == 0)
      many.input += R"({"jsonrpc":"2.0","method":"notifications/cancelled"})"
                    "\n";
    if (i % 11 == 0) many.input += " \t\n";
  }
  rows.push_back(many);

  const std::string longId = "\"" + std::string(300'000, 'a') + "\"";
  const std::string longerId = "\"" + std::string(1'000'000, 'b') + "\"";
  rows.push_back(
      {"LongLinesAmongShortOnes",
       ping("1") + "\n" + ping(longId) + "\n" + ping("3") + "\r\n" + ping(longerId) + "\r\n",
       {pong("1"), pong(longId), pong("3"), pong(longerId)}});

  // Answered within a few times its size: the line, the parser's token and
  // the allocator's slack.
  rows.push_back({"SixtyFourMebibyteLine", "", {pong("1")}, true, {}, 5 * 64, [] {
                    const std::string pad =
                        R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")";
                    return pad + std::string((64u << 20) - pad.size() - 3, 'x') + "\"}}\n";
                  }});
  // Regression: members were once inserted through a linear search for their
  // key, which made millions of distinct keys take hours. Under the
  // sanitizers a quarter of the line is still more than a million keys.
  rows.push_back({"SixtyFourMebibytesOfDistinctKeys", "", {pong("1")}, true, {}, 0, [] {
                    std::string keys = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{)";
                    for (size_t i = 0; keys.size() < (QUILLON_SANITIZED ? 16u << 20 : 64u << 20);
                         ++i) {
                      keys += (i > 0 ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
                    }
                    return keys + "}}\n";
                  }});
  return rows;
}

void PrintTo(const InputRow& row, std::ostream* out) {
  *out << row.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientInput, ::testing::ValuesIn(inputRows()),
                         [](const auto& info) { return info.param.name; });

// A line larger than the memory the process may use is answered as a parse
// error and read past: at 100 MiB the parser runs out, at 400 MiB the line
// reader itself.
TEST(Stdio, LineBeyondTheMemoryLimitIsAParseErrorAndTheNextLineIsServed) {
#ifdef __linux__
  if (QUILLON_SANITIZED)
    GTEST_SKIP() << "the sanitizers' shadow memory cannot live under an address-space limit";
  ChildProcess child(quillonMCP());
  const rlimit limit{256u << 20, 256u << 20};
  ASSERT_EQ(::prlimit(child.pid(), RLIMIT_AS, &limit, nullptr), 0);
  const std::string chunk(4u << 20, 'x');
  for (const size_t mebibytes : {100, 400}) {
    ASSERT_TRUE(child.write(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")"));
    for (size_t sent = 0; sent < mebibytes; sent += 4) ASSERT_TRUE(child.write(chunk));
    ASSERT_TRUE(child.write("\"}}\n" + ping("2") + "\n"));
    EXPECT_EQ(child.readLine(), kParseError) << mebibytes << " MiB";
    EXPECT_EQ(child.readLine(), pong("2"));
  }
  child.closeInput();
  EXPECT_EQ(child.wait().status, 0);
  EXPECT_EQ(child.err(), "");
#else
  GTEST_SKIP() << "only Linux enforces an address-space limit (RLIMIT_AS) on a running child";
#endif
}

// A client that closes its end of our stdout while an answer is being
// written: the process must end promptly and quietly; standard input stays
// open, so only the lost stdout may end it. (Closed between answers, with
// calls waiting: viewer_faults_test's LostHost.)
TEST(Stdio, ClientThatStopsReadingEndsTheProcessQuietly) {
  ChildProcess child(quillonMCP());
  // A 16 MiB id comes back in the answer, far more than a pipe holds: once
  // its first bytes are here, the server is blocked writing the rest.
  ASSERT_TRUE(child.write(ping("\"" + std::string(16u << 20, 'i') + "\"") + "\n"));
  ASSERT_TRUE(child.waitForOutput(10s));
  child.closeOutput();
  const ChildProcess::Exit exit = child.wait(10s);
  EXPECT_EQ(exit.status, 0);
  EXPECT_FALSE(exit.coreDumped);
  EXPECT_EQ(child.err(), "");
}

// A host may share non-blocking descriptors with us: an empty stdin is then
// no end of input, and a full stdout no lost client.
TEST(Stdio, NonBlockingStdinAndStdoutAreWaitedOn) {
  ChildProcess::Options options = quillonMCP();
  options.nonBlockingStdio = true;
  ChildProcess child(options);
  std::this_thread::sleep_for(300ms);  // nothing to read yet
  const std::string id = "\"" + std::string(4u << 20, 'n') + "\"";
  ASSERT_TRUE(child.write(ping(id) + "\n"));
  std::this_thread::sleep_for(300ms);  // stdout fills up meanwhile
  EXPECT_EQ(child.readLine(), pong(id));
  ASSERT_TRUE(child.write(ping("2") + "\n"));
  EXPECT_EQ(child.readLine(), pong("2"));
  child.closeInput();
  EXPECT_EQ(child.wait(10s).status, 0);
  EXPECT_EQ(child.err(), "");
}

}  // namespace
}  // namespace quillon::test
