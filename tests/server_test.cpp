// The protocol layer, dispatch and result shaping, through a recording fake
// Transport: no sockets are opened here.
#include "server.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text.hpp"

namespace quillon {
namespace {

using ::testing::ElementsAre;

struct Request {
  std::string method, path;
  std::optional<std::string> body;
};

// Records every request and answers with `response`, or throws `error`.
class FakeViewer {
 public:
  Transport transport() {
    return [this](const std::string& method, const std::string& path,
                  std::optional<std::string> body) {
      requests.push_back({method, path, body});
      if (error) throw *error;
      return response;
    };
  }
  std::vector<Request> requests;
  APIResponse response{200, "{\"ok\":true}", "application/json", {}};
  std::optional<ProxyError> error;
};

class ServerTest : public ::testing::Test {
 protected:
  JSON answer(const std::string& line) {
    const auto text = server.handle(line);
    EXPECT_TRUE(text.has_value()) << line;
    if (!text) return nullptr;
    EXPECT_EQ(text->find('\n'), std::string::npos);
    return JSON::parse(*text);
  }
  JSON call(const std::string& tool, const std::string& arguments = "{}") {
    return answer(R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":")" + tool +
                  R"(","arguments":)" + arguments + "}}");
  }
  const Request& onlyRequest() {
    EXPECT_EQ(viewer.requests.size(), 1u);
    return viewer.requests.back();
  }

  FakeViewer viewer;
  QuillonMCPServer server{viewer.transport(), "http://127.0.0.1:17950", QUILLON_VERSION};
};

TEST_F(ServerTest, PingAnswersWithExactlyTheResultEnvelope) {
  EXPECT_EQ(*server.handle(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"),
            R"({"jsonrpc":"2.0","id":1,"result":{}})");
  // "jsonrpc" is neither required nor checked.
  EXPECT_EQ(*server.handle(R"({"id":1,"method":"ping","jsonrpc":"1.0"})"),
            R"({"jsonrpc":"2.0","id":1,"result":{}})");
}

TEST_F(ServerTest, IdIsEchoedUnchangedWhateverItsType) {
  for (const std::string id : {"\"abc\"", "null", "[1,{\"a\":2}]", "{\"k\":\"v\"}", "-5", "2.5"}) {
    EXPECT_EQ(*server.handle(R"({"id":)" + id + R"(,"method":"ping"})"),
              R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})");
  }
}

TEST_F(ServerTest, InitializeEchoesTheRequestedProtocolVersionOrDefaults) {
  const JSON echoed =
      answer(R"({"id":1,"method":"initialize","params":{"protocolVersion":"whatever 9"}})");
  EXPECT_EQ(echoed["result"]["protocolVersion"], "whatever 9");
  EXPECT_EQ(answer(R"({"id":1,"method":"initialize"})")["result"]["protocolVersion"], "2024-11-05");
  EXPECT_EQ(
      answer(R"({"id":1,"method":"initialize","params":{"protocolVersion":3}})")["result"]
                                                                                ["protocolVersion"],
      "2024-11-05");
  EXPECT_EQ(answer(R"({"id":1,"method":"initialize","params":"x"})")["result"]["protocolVersion"],
            "2024-11-05");
}

TEST_F(ServerTest, InitializeDescribesTheServer) {
  const JSON result = answer(R"({"id":1,"method":"initialize","params":{}})")["result"];
  EXPECT_EQ(result.size(), 4u);
  EXPECT_EQ(result["capabilities"], JSON::parse(R"({"tools":{}})"));
  EXPECT_EQ(result["serverInfo"], JSON::parse(R"({"name":"quillon","version":"1.3.0"})"));
  EXPECT_EQ(result["instructions"],
            "Controls Quillon, the native macOS 3D viewer for SketchUp (.skp) files. Call "
            "quillon_state first; open models with quillon_open; control the 3D camera (position, "
            "target, yaw, pitch, FOV, focal length mm, exposure, standard views) with "
            "quillon_camera; switch scenes and layers with quillon_scene and quillon_layers; "
            "adjust PBR/Clay/X-Ray shading, sun/point lights, SSAO, and backdrop with "
            "quillon_rendering; inspect the 3D viewport visually with quillon_snapshot.");
  // Nothing is remembered: a second initialize is answered the same way.
  EXPECT_EQ(answer(R"({"id":1,"method":"initialize","params":{}})")["result"], result);
}

TEST_F(ServerTest, MessagesThatGetNoAnswer) {
  for (const std::string line : {
           "",
           "   \t ",
           "\xC2\xA0",                                                   // blank
           R"({"jsonrpc":"2.0","method":"notifications/initialized"})",  // notification
           R"({"method":"tools/call","params":{"name":"quillon_state"}})",
           R"({"id":1})",
           R"({"id":1,"method":5})",
           R"({"id":1,"result":{}})",
           "{}",
       }) {
    EXPECT_EQ(server.handle(line), std::nullopt) << line;
  }
  EXPECT_TRUE(viewer.requests.empty());  // a notification never reaches the viewer
}

TEST_F(ServerTest, MalformedLinesGetTheParseErrorWithNullId) {
  const std::string parseError =
      R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error"}})";
  for (const std::string& line : std::vector<std::string>{
           "not json", "[]", R"([{"id":1,"method":"ping"}])", "42", "\"ping\"", "null",
           R"({"id":1,"method":"ping"} trailing)", R"({"id":1,"method":"ping",})",
           R"({"id":1e400,"method":"ping"})",  // does not fit a double
           R"({"id":1,"method":"ping"} // comment)", "{'id':1}",
           std::string(600, '[') + std::string(600, ']'),  // nested too deep
       }) {
    EXPECT_EQ(server.handle(line), parseError) << line.substr(0, 60);
  }
}

TEST_F(ServerTest, NestingUpToTheLimitIsServed) {
  const std::string deepId = std::string(511, '[') + std::string(511, ']');
  EXPECT_EQ(*server.handle(R"({"id":)" + deepId + R"(,"method":"ping"})"),
            R"({"jsonrpc":"2.0","id":)" + deepId + R"(,"result":{}})");
  const std::string tooDeep = std::string(512, '[') + std::string(512, ']');
  EXPECT_EQ(answer(R"({"id":)" + tooDeep + R"(,"method":"ping"})")["error"]["code"], -32700);
  // Brackets inside strings do not count.
  const std::string text = "\"" + std::string(2000, '[') + "\\\"" + std::string(2000, '{') + "\"";
  EXPECT_EQ(answer(R"({"id":)" + text + R"(,"method":"ping"})")["id"].get<std::string>().size(),
            4001u);
}

TEST_F(ServerTest, SurroundingWhiteSpaceDoesNotChangeTheAnswer) {
  const auto plain = server.handle(R"({"id":1,"method":"ping"})");
  EXPECT_EQ(server.handle(" \t\xC2\xA0{\"id\":1,\"method\":\"ping\"}\r\xE3\x80\x80"), plain);
}

TEST_F(ServerTest, InvalidUTF8InInputIsReadAsReplacementCharacters) {
  const JSON result = answer(
      "{\"id\":\"a\xFF"
      "b\",\"method\":\"ping\"}");
  EXPECT_EQ(result["id"],
            "a\xEF\xBF\xBD"
            "b");
}

TEST_F(ServerTest, UnknownMethodsAreNamedInTheError) {
  EXPECT_EQ(
      *server.handle(R"({"id":3,"method":"Ping"})"),
      R"({"jsonrpc":"2.0","id":3,"error":{"code":-32601,"message":"method not found: Ping"}})");
  EXPECT_EQ(answer(R"({"id":3,"method":"resources/list"})")["error"]["message"],
            "method not found: resources/list");
  EXPECT_EQ(answer(R"({"id":3,"method":""})")["error"]["message"], "method not found: ");
}

TEST_F(ServerTest, ToolsCallOutsideTheCatalogueIsAProtocolError) {
  struct Case {
    std::string params, message;
  };
  for (const Case& c : std::vector<Case>{
           {R"({"name":"quillon_nothing"})", "unknown tool: quillon_nothing"},
           {R"({"name":"QUILLON_STATE"})", "unknown tool: QUILLON_STATE"},
           {R"({"name":"quillon_state "})", "unknown tool: quillon_state "},
           {R"({"name":42})", "unknown tool: "},
           {R"({})", "unknown tool: "},
           {R"("quillon_state")", "unknown tool: "},
       }) {
    const JSON a = answer(R"({"id":9,"method":"tools/call","params":)" + c.params + "}");
    EXPECT_EQ(a["error"], JSON::parse(R"({"code":-32602,"message":")" + c.message + R"("})"));
  }
  EXPECT_EQ(answer(R"({"id":9,"method":"tools/call"})")["error"]["message"], "unknown tool: ");
  EXPECT_TRUE(viewer.requests.empty());
}

TEST_F(ServerTest, ToolsListPublishesTheWholeCatalogueWithSlashesUnescaped) {
  const auto text = server.handle(R"({"id":2,"method":"tools/list","params":{"cursor":"x"}})");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->find("\\/"), std::string::npos);
  EXPECT_NE(text->find("sun/point"), std::string::npos);
  const JSON result = JSON::parse(*text)["result"];
  EXPECT_EQ(result.size(), 1u);
  EXPECT_EQ(result["tools"], quillonToolDefinitions());
}

TEST_F(ServerTest, RequestTableMapsEachToolOntoOneRequest) {
  struct Case {
    std::string tool, arguments, method, path;
    std::optional<std::string> body;
  };
  const std::vector<Case> cases = {
      {"quillon_state", "{}", "GET", "/v1/state", std::nullopt},
      {"quillon_state", R"({"ignored":1})", "GET", "/v1/state", std::nullopt},
      {"quillon_help", "{}", "GET", "/v1/help", std::nullopt},
      {"quillon_open", R"({"path":"/Users/me/a b/house.skp"})", "POST", "/v1/open",
       R"({"path":"/Users/me/a b/house.skp"})"},
      {"quillon_open", "{}", "POST", "/v1/open", "{}"},
      {"quillon_camera", "{}", "GET", "/v1/camera", std::nullopt},
      {"quillon_camera", R"({"bogus":null})", "POST", "/v1/camera", R"({"bogus":null})"},
      {"quillon_camera", R"({"yaw":45,"position":[1.5,2,1.0],"perspective":false})", "POST",
       "/v1/camera", R"({"yaw":45,"position":[1.5,2,1.0],"perspective":false})"},
      {"quillon_scene", R"({"action":"next","slow":true})", "POST", "/v1/scene",
       R"({"action":"next","slow":true})"},
      {"quillon_layers", R"({"solo":"Walls"})", "POST", "/v1/layers", R"({"solo":"Walls"})"},
      {"quillon_rendering", R"({"style":"clay","backdropColor":[0.1,0.2,0.3]})", "POST",
       "/v1/rendering", R"({"style":"clay","backdropColor":[0.1,0.2,0.3]})"},
      {"quillon_snapshot", "{}", "GET", "/v1/snapshot.png", std::nullopt},
      {"quillon_snapshot", R"({"width":800,"height":600})", "GET", "/v1/snapshot.png",
       std::nullopt},
      {"quillon_snapshot", R"({"format":1})", "GET", "/v1/snapshot.png", std::nullopt},
      {"quillon_snapshot", R"({"format":" pdf"})", "GET", "/v1/snapshot.png", std::nullopt},
      {"quillon_snapshot", R"({"format":"png"})", "GET", "/v1/snapshot.png", std::nullopt},
      {"quillon_snapshot", R"({"format":"PdF"})", "POST", "/v1/pdf", R"({"format":"PdF"})"},
      {"quillon_snapshot", R"({"format":"png","path":"/tmp/x.pdf"})", "POST", "/v1/pdf",
       R"({"format":"png","path":"/tmp/x.pdf"})"},
      {"quillon_snapshot", R"({"path":null})", "POST", "/v1/pdf", R"({"path":null})"},
      {"quillon_snapshot", R"({"path":""})", "POST", "/v1/pdf", R"({"path":""})"},
  };
  for (const Case& c : cases) {
    viewer.requests.clear();
    call(c.tool, c.arguments);
    const Request& request = onlyRequest();
    EXPECT_EQ(request.method, c.method) << c.tool << " " << c.arguments;
    EXPECT_EQ(request.path, c.path) << c.tool << " " << c.arguments;
    EXPECT_EQ(request.body, c.body) << c.tool << " " << c.arguments;
  }
}

TEST_F(ServerTest, ArgumentsThatAreNotAnObjectAreTakenAsEmpty) {
  for (const std::string params :
       {R"({"name":"quillon_camera"})", R"({"name":"quillon_camera","arguments":[1,2]})",
        R"({"name":"quillon_camera","arguments":null})",
        R"({"name":"quillon_camera","arguments":"yaw=4"})"}) {
    viewer.requests.clear();
    answer(R"({"id":1,"method":"tools/call","params":)" + params + "}");
    EXPECT_EQ(onlyRequest().method, "GET") << params;
    EXPECT_EQ(onlyRequest().body, std::nullopt);
  }
}

TEST_F(ServerTest, BodiesKeepNumbersAndNonASCIIAsSent) {
  call("quillon_rendering", R"({"ssao":1.0,"big":18446744073709551615,"neg":-0.0,"e":1e-7,)"
                            R"("name":"caf\u00e9 \ud83d\ude00","ctl":"a\nb"})");
  EXPECT_EQ(onlyRequest().body,
            "{\"ssao\":1.0,\"big\":18446744073709551615,\"neg\":-0.0,\"e\":1e-07,"
            "\"name\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\",\"ctl\":\"a\\nb\"}");
}

TEST_F(ServerTest, ViewerAnswersBecomeTextResults) {
  viewer.response = {404, R"({"error":"no such scene"})", "application/json", {}};
  EXPECT_EQ(call("quillon_scene", R"({"name":"x"})"),
            JSON::parse(R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"type":"text",)"
                        R"("text":"{\"error\":\"no such scene\"}"}],"isError":true}})"));
}

TEST_F(ServerTest, UnreachableViewerIsAFlaggedToolResultNotAProtocolError) {
  viewer.error = ProxyError::unreachable("http://127.0.0.1:17950");
  const JSON a = call("quillon_state");
  EXPECT_FALSE(a.contains("error"));
  EXPECT_EQ(a["result"],
            JSON::parse("{\"content\":[{\"type\":\"text\",\"text\":\"Quillon is not reachable at "
                        "http://127.0.0.1:17950 \xE2\x80\x94 launch /Applications/Quillon.app and "
                        "retry.\"}],\"isError\":true}"));
}

TEST_F(ServerTest, SnapshotIsAnInlineImageWithItsCaption) {
  viewer.response = {200, std::string("\x89PNG\r\n\x1A\n", 8), "image/png", {}};
  EXPECT_EQ(
      call("quillon_snapshot")["result"],
      JSON::parse(R"({"content":[{"type":"image","data":"iVBORw0KGgo=","mimeType":"image/png"},)"
                  R"({"type":"text","text":"Snapshot of the Quillon 3D viewport."}]})"));
}

TEST_F(ServerTest, CallToolRefusesNamesOutsideItsTableWithoutSending) {
  for (const std::string name : {"QUILLON_STATE", "quillon_state ", ""}) {
    try {
      server.callTool(name, JSON::object());
      ADD_FAILURE() << "no error for " << name;
    } catch (const ProxyError& error) {
      EXPECT_EQ(error.kind(), ProxyError::Kind::badArguments);
      EXPECT_EQ(error.description(), "unknown tool " + name);
    }
  }
  EXPECT_TRUE(viewer.requests.empty());
}

TEST_F(ServerTest, AnswerThatCannotBeSerialisedIsDropped) {
  JSON bad = JSON::object();
  bad["text"] = std::string("\xFF");
  EXPECT_EQ(QuillonMCPServer::encode(bad), std::nullopt);
  JSON good = JSON::object();
  good["path"] = "/a/b";
  good["line"] = "x\ny\u2028";
  EXPECT_EQ(QuillonMCPServer::encode(good), "{\"path\":\"/a/b\",\"line\":\"x\\ny\u2028\"}");
}

TEST(TextResult, FlagsStatusesAboveThreeNinetyNine) {
  struct Case {
    int64_t status;
    bool isError;
  };
  for (const Case c : {Case{100, false}, Case{200, false}, Case{204, false}, Case{399, false},
                       Case{400, true}, Case{404, true}, Case{503, true}, Case{-1, false}}) {
    const JSON result = QuillonMCPServer::textResult({c.status, "body", "text/plain", {}});
    EXPECT_EQ(result["isError"], c.isError) << c.status;
  }
}

TEST(TextResult, CarriesTheBodyByteForByteExceptIllFormedUTF8) {
  const std::string json = "{\"a\": [1, 2],\n \"b\": \"\\u00e9\"}  ";
  EXPECT_EQ(QuillonMCPServer::textResult({200, json, "application/json", {}}),
            JSON::parse(R"({"content":[{"type":"text","text":)" + JSON(json).dump() +
                        R"(}],"isError":false})"));
  EXPECT_EQ(QuillonMCPServer::textResult({200, "ok \xC3 done", "", {}})["content"][0]["text"],
            "ok \xEF\xBF\xBD done");
  EXPECT_EQ(QuillonMCPServer::textResult({204, "", "", {}})["content"][0]["text"], "");
}

TEST(ImageResult, ReadsPicturesAndHandsEverythingElseToText) {
  const std::string caption = "cap";
  const std::string png("\x89PNG", 4);
  struct Case {
    int64_t status;
    std::string contentType;
    std::optional<std::string> mimeType;  // nullopt: expect the text result
    bool isError = false;
  };
  const std::vector<Case> cases = {
      {200, "image/png", "image/png"},
      {200, "image/jpeg; q=1", "image/jpeg"},
      {200, "IMAGE/PNG", "IMAGE/PNG"},
      {200, "image/webp ;x=y", "image/webp "},
      {200, "", "image/png"},
      {200, "text/plain", "image/png"},
      {200, "application/json; charset=utf-8", std::nullopt},
      {200, "application/problem+JSON", std::nullopt},
      {201, "image/png", std::nullopt},
      {304, "image/png", std::nullopt},
      {500, "image/png", std::nullopt, true},
  };
  for (const Case& c : cases) {
    const JSON result = QuillonMCPServer::imageResult({c.status, png, c.contentType, {}}, caption);
    if (c.mimeType) {
      EXPECT_EQ(result,
                JSON::parse(R"({"content":[{"type":"image","data":"iVBORw==","mimeType":)" +
                            JSON(*c.mimeType).dump() + R"(},{"type":"text","text":"cap"}]})"))
          << c.contentType;
    } else {
      EXPECT_EQ(result, QuillonMCPServer::textResult({c.status, png, c.contentType, {}}))
          << c.status << " " << c.contentType;
      EXPECT_EQ(result["isError"], c.isError);
    }
  }
  EXPECT_EQ(
      QuillonMCPServer::imageResult({200, "", "image/png", {}}, caption)["content"][0]["data"], "");
}

}  // namespace
}  // namespace quillon
