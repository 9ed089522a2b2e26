// A failing or hostile viewer behind the built executable: every fault ends as
// a tool result the client can show (never a hang, an error envelope or a
// stray byte on stdout or stderr), and the next call is served again.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "support/fake_viewer.hpp"
#include "support/harness.hpp"
#include "text.hpp"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;
using Then = FakeViewer::Reply::Then;

// One row per fault. The viewer answers the row's first request with the
// fault and every later one properly; a second call follows the row's own.
struct FaultRow {
  std::string name;
  std::optional<FakeViewer::Reply> fault;  // nothing: no viewer listens at all
  std::string answer;                      // to the first call; PORT stands for the port
  std::string request = callLine(1, "quillon_state");
  std::optional<std::string> received = {};  // the body the viewer must have been sent
};

class ViewerFault : public ::testing::TestWithParam<FaultRow> {};

TEST_P(ViewerFault, BecomesAToolResultAndTheNextCallIsServed) {
  const FaultRow& row = GetParam();
  auto viewer = std::make_unique<FakeViewer>([&row](const FakeViewer::Request& request) {
    return request.connection == 0 ? *row.fault : reply(200, "application/json", "{\"ok\":1}");
  });
  const std::string port = std::to_string(viewer->port());
  if (!row.fault) viewer.reset();  // the port is closed again

  ChildProcess child(quillonMCP(port));
  ASSERT_TRUE(child.write(row.request + "\n" + callLine(2, "quillon_state") + "\n"));
  child.closeInput();
  EXPECT_EQ(child.wait(60s).status, 0);
  EXPECT_EQ(child.err(), "");

  std::string answer = row.answer;
  if (const size_t at = answer.find("PORT"); at != std::string::npos) answer.replace(at, 4, port);
  const std::string expected =
      answer + "\n" + (row.fault ? textAnswer(2, R"({\"ok\":1})") : unreachableAnswer(2, port)) +
      "\n";
  EXPECT_TRUE(child.out() == expected) << child.out().substr(0, 2000);
  if (row.received) {
    EXPECT_EQ(viewer->requests().at(0).body, *row.received);
  }
}

std::vector<FaultRow> faultRows() {
  const std::string unreachable = unreachableAnswer(1, "PORT");
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string snapshot = callLine(1, "quillon_snapshot");
  auto picture = [](const std::string& base64, const std::string& mimeType = "image/png") {
    return R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"image","data":")" + base64 +
           R"(","mimeType":")" + mimeType +
           R"("},{"type":"text","text":"Snapshot of the Quillon 3D viewport."}]}})";
  };
  std::vector<FaultRow> rows = {
      {"NoViewerListening", std::nullopt, unreachable},
      {"ClosedWithoutAnswer", FakeViewer::Reply{{}, 0ms, Then::close}, unreachable},
      {"ResetMidBody",
       FakeViewer::Reply{
           {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'a')},
           0ms,
           Then::reset},
       unreachable},
      {"ClosedBeforeTheAnnouncedLength",
       FakeViewer::Reply{
           {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"short\":1}"}, 0ms, Then::close},
       unreachable},
      {"MalformedChunkSize",
       FakeViewer::Reply{
           {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nZZ\r\n"},
           0ms,
           Then::stall},
       unreachable},
      {"ChunkLongerThanAnnounced",
       FakeViewer::Reply{
           {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhello\r\n0\r\n\r\n"},
           0ms,
           Then::stall},
       unreachable},
      {"HeadersCutOff",
       FakeViewer::Reply{{"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"}, 0ms, Then::close},
       unreachable},
      {"GarbageInsteadOfHTTP",
       FakeViewer::Reply{{std::string("\x00\xFF\x13garbage\r\n\r\n", 15)}, 0ms, Then::close},
       unreachable},
      {"ClosesAfterEachAnswer", FakeViewer::Reply{{httpReply(200, "", "plain")}, 0ms, Then::close},
       textAnswer(1, "plain")},
      // Cut off after more than one slice of its Base64 would have been
      // written: nothing of it may reach the client.
      {"SnapshotCutOffMidBody",
       FakeViewer::Reply{
           {"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + std::string(600000, 'p')},
           0ms,
           Then::close},
       unreachable, snapshot},
      {"SnapshotLongerThanAnnounced",
       FakeViewer::Reply{
           {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nPNG and more"}, 0ms, Then::close},
       picture("UE5H"), snapshot},
      // Found by fuzzing: a header that is not UTF-8 made the answer
      // unserialisable, so the request went unanswered.
      {"SnapshotTypeNotUTF8", reply(200, "image/p\xFF\xFEng; x=\xC3", "PNG"),
       picture("UE5H", "image/p" + fffd + fffd + "ng"), snapshot},
      {"ArgumentsInvalidUTF8ReachTheViewerRepaired", reply(200, "application/json", "{}"),
       textAnswer(1, "{}"), callLine(1, "quillon_open", "{\"pa\xFFth\":\"/m\xE2\x82odel.skp\"}"),
       "{\"pa" + fffd + "th\":\"/m" + fffd + "odel.skp\"}"},
  };

  // A snapshot of 24 MiB travels whole: one answer line carrying the picture
  // in Base64.
  std::string bytes(24u << 20, '\0');
  uint32_t state = 7;
  for (char& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  rows.push_back({"TwentyFourMebibyteSnapshot", reply(200, "image/png", bytes),
                  picture(base64Encode(bytes)), snapshot});
  return rows;
}

void PrintTo(const FaultRow& row, std::ostream* out) {
  *out << row.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, ViewerFault, ::testing::ValuesIn(faultRows()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillon::test
