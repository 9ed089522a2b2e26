// The protocol layer, dispatch and result shaping, through a recording fake
// Transport: no sockets are opened here.
#include "server.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/harness.hpp"
#include "support/pictures.hpp"
#include "tools.hpp"

namespace quillon {
namespace {

// The server's instructions, as published.
const std::string kInstructions = JSON::parse(test::readFile(QUILLON_TEST_DATA "/initialize.json"))
                                      ["result"]["instructions"].get<std::string>();

struct Sent {
  std::string method, path;
  std::optional<std::string> body;
  bool operator==(const Sent&) const = default;
};

class ServerTest : public ::testing::Test {
 protected:
  std::vector<Sent> sent;
  QuillonMCPServer server{
      [this](const std::string& method, const std::string& path, std::optional<std::string> body,
             StopSignal&) {
        sent.push_back({method, path, body});
        return APIResponse{200, "{}", "application/json", {}};
      },
      "http://127.0.0.1:17950", QUILLON_VERSION};

  std::optional<std::string> call(const std::string& tool, const std::string& arguments) {
    return server.handle(R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":")" +
                         tool + R"(","arguments":)" + arguments + "}}");
  }
};

// Each line against its whole answer, or against no answer at all.
TEST_F(ServerTest, LinesGetTheirAnswers) {
  const std::string parseError =
      R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error"}})";
  auto unknownTool = [](const std::string& name) {
    return R"({"jsonrpc":"2.0","id":9,"error":{"code":-32602,"message":"unknown tool: )" + name +
           "\"}}";
  };
  const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", R"({"jsonrpc":"2.0","id":1,"result":{}})"},
      {R"({"id":1,"method":"ping","jsonrpc":"1.0"})", R"({"jsonrpc":"2.0","id":1,"result":{}})"},
      {" \t\xC2\xA0{\"id\":\"a/b\",\"method\":\"ping\"}\r\xE3\x80\x80",
       R"({"jsonrpc":"2.0","id":"a/b","result":{}})"},
      {R"({"id":null,"method":"ping"})", R"({"jsonrpc":"2.0","id":null,"result":{}})"},
      {R"({"id":[1,{"a":2}],"method":"ping"})",
       R"({"jsonrpc":"2.0","id":[1,{"a":2}],"result":{}})"},
      {R"({"id":{"k":"v"},"method":"ping"})", R"({"jsonrpc":"2.0","id":{"k":"v"},"result":{}})"},
      {R"({"id":-2.5,"method":"ping"})", R"({"jsonrpc":"2.0","id":-2.5,"result":{}})"},
      {"{\"id\":\"a\xFF\",\"method\":\"ping\"}",
       "{\"jsonrpc\":\"2.0\",\"id\":\"a\xEF\xBF\xBD\",\"result\":{}}"},
      // Lines that get no answer: blank, notifications, no string method.
      {"", std::nullopt},
      {"   \t \xC2\xA0", std::nullopt},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", std::nullopt},
      {R"({"method":"tools/call","params":{"name":"quillon_state"}})", std::nullopt},
      {R"({"id":1})", std::nullopt},
      {R"({"id":1,"method":5})", std::nullopt},
      {R"({"id":1,"result":{}})", std::nullopt},
      {"{}", std::nullopt},
      // Not one JSON object.
      {"not json", parseError},
      {"[]", parseError},
      {R"([{"id":1,"method":"ping"}])", parseError},
      {"42", parseError},
      {"\"ping\"", parseError},
      {R"({"id":1,"method":"ping"} trailing)", parseError},
      {R"({"id":1,"method":"ping",})", parseError},
      {R"({"id":1e400,"method":"ping"})", parseError},
      {R"({"id":1,"method":"ping"} // comment)", parseError},
      {"{'id':1}", parseError},
      {std::string(600, '[') + std::string(600, ']'), parseError},
      // Methods and tools that are not offered.
      {R"({"id":3,"method":"Ping"})",
       R"({"jsonrpc":"2.0","id":3,"error":{"code":-32601,"message":"method not found: Ping"}})"},
      {R"({"id":3,"method":""})",
       R"({"jsonrpc":"2.0","id":3,"error":{"code":-32601,"message":"method not found: "}})"},
      {R"({"id":9,"method":"tools/call","params":{"name":"quillon_nothing"}})",
       unknownTool("quillon_nothing")},
      {R"({"id":9,"method":"tools/call","params":{"name":"QUILLON_STATE"}})",
       unknownTool("QUILLON_STATE")},
      {R"({"id":9,"method":"tools/call","params":{"name":"quillon_state "}})",
       unknownTool("quillon_state ")},
      {R"({"id":9,"method":"tools/call","params":{"name":42}})", unknownTool("")},
      {R"({"id":9,"method":"tools/call","params":"quillon_state"})", unknownTool("")},
      {R"({"id":9,"method":"tools/call"})", unknownTool("")},
  };
  for (const auto& [line, answer] : rows) {
    EXPECT_EQ(server.handle(line), answer) << line.substr(0, 80);
  }
  EXPECT_TRUE(sent.empty());
}

// A handshake revision the server speaks is echoed; any other string gets
// the latest, and no string the oldest.
TEST_F(ServerTest, InitializeAnswersWithAVersionItSpeaks) {
  for (const auto& [params, version] : std::vector<std::pair<std::string, std::string>>{
           {R"({"protocolVersion":"2024-11-05"})", "2024-11-05"},
           {R"({"protocolVersion":"2025-03-26"})", "2025-03-26"},
           {R"({"protocolVersion":"2025-06-18"})", "2025-06-18"},
           {R"({"protocolVersion":"2025-11-25"})", "2025-11-25"},
           {R"({"protocolVersion":"2026-07-28"})", "2025-11-25"},
           {R"({"protocolVersion":"2099-01-01"})", "2025-11-25"},
           {R"({"protocolVersion":""})", "2025-11-25"},
           {R"({"protocolVersion":3})", "2024-11-05"},
           {R"("x")", "2024-11-05"},
           {"{}", "2024-11-05"}}) {
    const JSON answer =
        JSON::parse(*server.handle(R"({"id":1,"method":"initialize","params":)" + params + "}"));
    EXPECT_EQ(answer["result"]["protocolVersion"], version) << params;
  }
}

// Requests that name the 2026-07-28 revision get its answers; those that
// name a handshake revision, or no version at all, today's; any other
// version is refused before anything reaches the viewer.
TEST_F(ServerTest, AnswersEachRequestInTheEraItNames) {
  const auto meta = [](const std::string& version) {
    return R"("_meta":{"io.modelcontextprotocol/protocolVersion":)" + version +
           R"(,"io.modelcontextprotocol/clientCapabilities":{}})";
  };
  const std::string modern = meta(R"("2026-07-28")");
  const std::string info = R"("_meta":{"io.modelcontextprotocol/serverInfo":{"name":"quillon","version":"1.3.0"}})";
  const std::string complete = R"("resultType":"complete",)" + info;
  const std::string supported = R"(["2026-07-28","2025-11-25","2025-06-18","2025-03-26","2024-11-05"])";
  const auto refused = [&](const std::string& requested) {
    return R"({"jsonrpc":"2.0","id":1,"error":{"code":-32022,"message":"Unsupported protocol version","data":{"supported":)" +
           supported + R"(,"requested":)" + requested + "}}}";
  };
  const std::string state = R"({"content":[{"type":"text","text":"{}"}],"isError":false)";
  const auto call = [](const std::string& params) {
    return R"({"id":1,"method":"tools/call","params":{"name":"quillon_state",)" + params + "}}";
  };
  const struct {
    std::string line, answer;
    size_t sent;  // viewer requests
  } rows[] = {
      {R"({"id":1,"method":"ping","params":{)" + modern + "}}",
       R"({"jsonrpc":"2.0","id":1,"result":{)" + complete + "}}", 0},
      {call(modern), R"({"jsonrpc":"2.0","id":1,"result":)" + state + "," + complete + "}}", 1},
      {call(meta(R"("2025-06-18")")), R"({"jsonrpc":"2.0","id":1,"result":)" + state + "}}", 1},
      {call(R"("_meta":"2026-07-28")"), R"({"jsonrpc":"2.0","id":1,"result":)" + state + "}}", 1},
      {call(meta("20260728")), R"({"jsonrpc":"2.0","id":1,"result":)" + state + "}}", 1},
      {call(meta(R"("2026-07-29")")), refused(R"("2026-07-29")"), 0},
      {R"({"id":1,"method":"tools/list","params":{)" + meta(R"("")") + "}}", refused(R"("")"), 0},
      {R"({"id":1,"method":"nothing","params":{)" + meta(R"("1.0")") + "}}", refused(R"("1.0")"), 0},
      {R"({"id":1,"method":"nothing","params":{)" + modern + "}}",
       R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"method not found: nothing"}})", 0},
      {R"({"id":1,"method":"server/discover","params":{)" + meta(R"("2030-01-01")") + "}}",
       R"({"jsonrpc":"2.0","id":1,"result":{"supportedVersions":)" + supported +
           R"(,"capabilities":{"tools":{}},"instructions":")" + kInstructions +
           R"(","ttlMs":3600000,"cacheScope":"public",)" + complete + "}}",
       0},
      {R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)" + meta(R"("x")") + "}}",
       R"({"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2025-06-18","capabilities":{"tools":{}},"serverInfo":{"name":"quillon","version":"1.3.0"},"instructions":")" +
           kInstructions + R"("}})",
       0},
  };
  for (const auto& row : rows) {
    sent.clear();
    EXPECT_EQ(server.handle(row.line), row.answer) << row.line;
    EXPECT_EQ(sent.size(), row.sent) << row.line;
  }
  // A modern tool list carries how long it may be kept.
  const JSON tools = JSON::parse(*server.handle(R"({"id":1,"method":"tools/list","params":{)" + modern + "}}"));
  EXPECT_EQ(tools["result"]["tools"], quillonToolDefinitions());
  EXPECT_EQ(tools["result"]["ttlMs"], 3600000);
  EXPECT_EQ(tools["result"]["cacheScope"], "public");
  EXPECT_EQ(tools["result"]["resultType"], "complete");
}

TEST_F(ServerTest, EachToolCallIsOneRequest) {
  struct Row {
    std::string tool, arguments;
    Sent request;
  };
  const std::string path = R"({"format":"png","path":"/tmp/a b.pdf"})";
  const std::vector<Row> rows = {
      {"quillon_state", R"({"ignored":1})", {"GET", "/v1/state", std::nullopt}},
      {"quillon_help", "{}", {"GET", "/v1/help", std::nullopt}},
      {"quillon_open",
       R"({"path":"/Users/me/house.skp"})",
       {"POST", "/v1/open", R"({"path":"/Users/me/house.skp"})"}},
      {"quillon_open", "{}", {"POST", "/v1/open", "{}"}},
      {"quillon_camera", "{}", {"GET", "/v1/camera", std::nullopt}},
      {"quillon_camera", "[1,2]", {"GET", "/v1/camera", std::nullopt}},
      {"quillon_camera", "null", {"GET", "/v1/camera", std::nullopt}},
      {"quillon_camera", R"({"bogus":null})", {"POST", "/v1/camera", R"({"bogus":null})"}},
      {"quillon_scene",
       R"({"action":"next","slow":true})",
       {"POST", "/v1/scene", R"({"action":"next","slow":true})"}},
      {"quillon_layers", R"({"solo":"Walls"})", {"POST", "/v1/layers", R"({"solo":"Walls"})"}},
      {"quillon_rendering",
       R"({"ssao":1.0,"big":18446744073709551615,"e":1e-7,"s":"caf\u00e9 \ud83d\ude00\n"})",
       {"POST", "/v1/rendering",
        "{\"ssao\":1.0,\"big\":18446744073709551615,\"e\":1e-07,\"s\":\"caf\xC3\xA9 "
        "\xF0\x9F\x98\x80\\n\"}"}},
      {"quillon_snapshot",
       R"({"width":800,"height":600})",
       {"GET", "/v1/snapshot.png", std::nullopt}},
      {"quillon_snapshot", R"({"format":1})", {"GET", "/v1/snapshot.png", std::nullopt}},
      {"quillon_snapshot", R"({"format":" pdf"})", {"GET", "/v1/snapshot.png", std::nullopt}},
      {"quillon_snapshot", R"({"format":"PdF"})", {"POST", "/v1/pdf", R"({"format":"PdF"})"}},
      {"quillon_snapshot", path, {"POST", "/v1/pdf", path}},
      {"quillon_snapshot", R"({"path":null})", {"POST", "/v1/pdf", R"({"path":null})"}},
  };
  for (const Row& row : rows) {
    sent.clear();
    call(row.tool, row.arguments);
    EXPECT_EQ(sent, std::vector<Sent>{row.request}) << row.tool << " " << row.arguments;
  }
}

TEST(TextResult, CarriesTheBodyAndFlagsStatusesAboveThreeNinetyNine) {
  struct Row {
    int64_t status;
    std::string body, text;
    bool isError;
  };
  const std::string json = "{\"a\": [1, 2],\n \"b\": \"\\u00e9\"}  ";
  for (const Row& row : std::vector<Row>{{100, "x", "x", false},
                                         {200, json, json, false},
                                         {204, "", "", false},
                                         {399, "ok \xC3 done", "ok \xEF\xBF\xBD done", false},
                                         {400, "no", "no", true},
                                         {503, "no", "no", true},
                                         {-1, "x", "x", false}}) {
    const JSON expected = {{"content", {{{"type", "text"}, {"text", row.text}}}},
                           {"isError", row.isError}};
    EXPECT_EQ(QuillonMCPServer::textResult({row.status, row.body, "text/plain", {}}), expected)
        << row.status;
  }
}

TEST(ImageResult, ReadsPicturesAndHandsEverythingElseToText) {
  const std::string png("\x89PNG", 4);
  struct Row {
    int64_t status;
    std::string contentType;
    std::optional<std::string> mimeType;  // nothing: the text result
  };
  for (const Row& row : std::vector<Row>{{200, "image/png", "image/png"},
                                         {200, "image/jpeg; q=1", "image/jpeg"},
                                         {200, "IMAGE/PNG", "IMAGE/PNG"},
                                         {200, "image/webp ;x=y", "image/webp "},
                                         {200, "", "image/png"},
                                         {200, "text/plain", "image/png"},
                                         {200, "application/json; charset=utf-8", std::nullopt},
                                         {200, "application/problem+JSON", std::nullopt},
                                         {201, "image/png", std::nullopt},
                                         {304, "image/png", std::nullopt},
                                         {500, "image/png", std::nullopt}}) {
    const APIResponse response{row.status, png, row.contentType, {}};
    const JSON expected =
        row.mimeType
            ? JSON{{"content",
                    {{{"type", "image"}, {"data", "iVBORw=="}, {"mimeType", *row.mimeType}},
                     {{"type", "text"}, {"text", "cap"}}}}}
            : QuillonMCPServer::textResult(response);
    EXPECT_EQ(QuillonMCPServer::imageResult(response, "cap"), expected)
        << row.status << " " << row.contentType;
  }
}

// The budget holds the result as it is written: the Base64, the media type
// and the caption, a scaled picture's longer caption included. Answers that
// are no picture are never fitted.
TEST(SnapshotResult, FitsThePictureToTheResultAsWritten) {
  const std::string png = test::pngOf(test::renderLike(300, 200));
  const std::string caption = "Snapshot of the Quillon 3D viewport.";
  const std::string type = "image/vnd.quillon-snapshot";
  const size_t whole =
      QuillonMCPServer::encode(QuillonMCPServer::imageResult({200, png, type, {}}, caption))->size();
  struct Row {
    int64_t status;
    std::string contentType;
    uint64_t budget;
    bool scaled;
  };
  for (const Row& row : std::vector<Row>{{200, type, whole, false},
                                         {200, type, whole - 1, true},
                                         {200, "image/png", whole - 1, false},
                                         {500, type, 100, false},
                                         {200, "application/json", 100, false}}) {
    SCOPED_TRACE(row.contentType + " " + std::to_string(row.budget));
    const APIResponse response{row.status, png, row.contentType, {}};
    QuillonMCPServer server([&](const std::string&, const std::string&,
                                std::optional<std::string>, StopSignal&) { return response; },
                            "http://127.0.0.1:17950", QUILLON_VERSION, {row.budget, 0});
    const JSON result = server.callTool("quillon_snapshot", JSON::object());
    if (!row.scaled) {
      EXPECT_EQ(result, QuillonMCPServer::imageResult(response, caption));
      continue;
    }
    EXPECT_LE(QuillonMCPServer::encode(result)->size(), row.budget);
    EXPECT_EQ(result["content"][0]["mimeType"], "image/jpeg");
    EXPECT_TRUE(result["content"][1]["text"].get<std::string>().starts_with(
        caption + " Sent as JPEG (quality 92), at its own size"));
  }
}

}  // namespace
}  // namespace quillon
