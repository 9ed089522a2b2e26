// The built quillon-mcp, started as an MCP host starts it, driving the built
// demo viewer over loopback: every tool, the viewer's refusals, and the
// viewer going away.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "child_process.hpp"
#include "mcp_client.hpp"
#include "png_reader.hpp"

namespace quillon::demo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillon-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    skp = (folder / "house.skp").string();
    std::ofstream(skp) << "placeholder";

    ChildProcess::Options viewerOptions;
    viewerOptions.arguments = {QUILLON_DEMO_VIEWER_EXE, "--port", "0"};
    viewerOptions.errorFile = (folder / "viewer.log").string();
    viewer = std::make_unique<ChildProcess>(viewerOptions);
    const std::optional<std::string> line = viewer->readLine(10s);
    const std::string prefix = "listening on http://127.0.0.1:";
    ASSERT_TRUE(line && line->starts_with(prefix)) << "viewer said: " << line.value_or("nothing");
    port = line->substr(prefix.size());
    base = "http://127.0.0.1:" + port;

    ChildProcess::Options serverOptions;
    serverOptions.arguments = {QUILLON_MCP_EXE};
    serverOptions.environment["QUILLON_API_PORT"] = port;
    serverOptions.pipeInput = true;
    serverOptions.errorFile = (folder / "quillon-mcp.stderr").string();
    server = std::make_unique<ChildProcess>(serverOptions);
    client = std::make_unique<McpClient>(*server, 30s);
    initialized =
        client->request("initialize", {{"protocolVersion", "2025-03-26"},
                                       {"capabilities", JSON::object()},
                                       {"clientInfo", {{"name", "e2e"}, {"version", "0"}}}});
    client->notify("notifications/initialized");
  }

  void TearDown() override {
    client.reset();
    server.reset();
    viewer.reset();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  JSON call(const std::string& tool, const JSON& arguments = JSON::object()) {
    return client->callTool(tool, arguments);
  }

  // A call that must succeed with a JSON text answer.
  JSON answer(const std::string& tool, const JSON& arguments = JSON::object()) {
    const JSON result = call(tool, arguments);
    EXPECT_FALSE(isErrorResult(result))
        << tool << " " << arguments.dump() << ": " << resultText(result);
    const JSON parsed = JSON::parse(resultText(result), nullptr, false);
    EXPECT_TRUE(parsed.is_object()) << tool << ": " << resultText(result);
    return parsed;
  }

  fs::path folder;
  std::string skp, port, base;
  std::unique_ptr<ChildProcess> viewer, server;
  std::unique_ptr<McpClient> client;
  JSON initialized;
};

TEST_F(EndToEndTest, HandshakeAndCatalogue) {
  EXPECT_EQ(initialized["result"]["serverInfo"]["name"], "quillon");
  EXPECT_EQ(initialized["result"]["serverInfo"]["version"], "1.3.0");
  EXPECT_EQ(initialized["result"]["protocolVersion"], "2025-03-26");
  std::vector<std::string> names;
  const JSON listed = client->request("tools/list", JSON::object());
  for (const JSON& tool : listed["result"]["tools"]) {
    names.push_back(tool["name"]);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"quillon_state", "quillon_help", "quillon_open",
                                             "quillon_camera", "quillon_scene", "quillon_layers",
                                             "quillon_rendering", "quillon_snapshot"}));
}

TEST_F(EndToEndTest, OpenHelpAndStateReachTheViewer) {
  EXPECT_TRUE(answer("quillon_state")["file"].is_null());
  const JSON help = call("quillon_help");
  EXPECT_FALSE(isErrorResult(help));
  EXPECT_NE(resultText(help).find("GET  /v1/snapshot.png"), std::string::npos);
  EXPECT_EQ(answer("quillon_open", {{"path", skp}})["opened"], skp);
  const JSON state = answer("quillon_state");
  EXPECT_EQ(state["file"]["path"], skp);
  EXPECT_EQ(state["ports"]["api"], std::stoi(port));
}

TEST_F(EndToEndTest, CameraScenesAndLayersChangeTheViewer) {
  answer("quillon_open", {{"path", skp}});
  EXPECT_EQ(answer("quillon_camera")["camera"]["fov"], 35.0);  // no arguments: a read
  const JSON moved =
      answer("quillon_camera", {{"position", {20, 0, 3}}, {"target", {0, 0, 3}}, {"fov", 60}});
  EXPECT_EQ(moved["camera"]["yaw"], -90.0);
  EXPECT_EQ(answer("quillon_camera")["camera"], moved["camera"]);

  EXPECT_EQ(answer("quillon_scene", {{"name", "garden"}})["scene"]["index"], 2);
  EXPECT_EQ(answer("quillon_state")["activeScene"]["name"], "Garden");

  const JSON layers = answer("quillon_layers", {{"solo", "Walls"}})["layers"];
  ASSERT_EQ(layers.size(), 5u);
  for (const JSON& layer : layers) EXPECT_EQ(layer["visible"], layer["name"] == "Walls");

  const JSON rendering =
      answer("quillon_rendering", {{"style", "clay"}, {"sunAzimuth", -120}})["rendering"];
  EXPECT_EQ(rendering["style"], "clay");
  EXPECT_EQ(answer("quillon_state")["rendering"]["sunAzimuth"], -120.0);
}

TEST_F(EndToEndTest, SnapshotIsAnImageOfTheCurrentView) {
  answer("quillon_rendering", {{"grid", false}, {"backdropColor", {0, 1, 0}}});
  const JSON result = call("quillon_snapshot");
  ASSERT_FALSE(result.contains("isError"));
  ASSERT_EQ(result["content"].size(), 2u);
  const JSON& image = result["content"][0];
  EXPECT_EQ(image["type"], "image");
  EXPECT_EQ(image["mimeType"], "image/png");
  EXPECT_EQ(result["content"][1]["text"], "Snapshot of the Quillon 3D viewport.");

  // Decoding the Base64 by hand keeps this test independent of the server's encoder.
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t buffer = 0;
  int bits = 0;
  for (const char c : image["data"].get<std::string>()) {
    if (c == '=') break;
    buffer = (buffer << 6) | static_cast<uint32_t>(alphabet.find(c));
    if ((bits += 6) >= 8) bytes.push_back(static_cast<char>((buffer >> (bits -= 8)) & 0xFF));
  }
  const testing::DecodedPNG png = testing::decodePNG(bytes);
  ASSERT_EQ(png.error, "");
  EXPECT_EQ(png.pixel(0, 0), (std::array<uint8_t, 3>{0, 255, 0}));
  EXPECT_EQ(png.pixel(799, 499), (std::array<uint8_t, 3>{0, 255, 0}));
}

TEST_F(EndToEndTest, PdfExportIsWrittenWhereAsked) {
  answer("quillon_open", {{"path", skp}});
  const std::string target = (folder / "view.pdf").string();
  // A "path" alone is enough to ask for the PDF export.
  const JSON exported =
      answer("quillon_snapshot", {{"path", target}, {"width", 842}, {"height", 595}});
  EXPECT_EQ(exported["path"], target);
  ASSERT_TRUE(fs::exists(target));
  EXPECT_EQ(exported["bytes"], fs::file_size(target));
  EXPECT_EQ(exported["pageSize"]["width"], 842.0);
}

TEST_F(EndToEndTest, RefusalsArriveAsErrorResults) {
  struct Case {
    const char* tool;
    JSON arguments;
    const char* says;
  };
  const Case cases[] = {
      {"quillon_scene", {{"index", 1}}, "no model is open"},
      {"quillon_open", JSON::object(), "missing argument \"path\""},
      {"quillon_open", {{"path", (folder / "absent.skp").string()}}, "no such file"},
      {"quillon_open", {{"path", "house.skp"}}, "absolute"},
      {"quillon_camera", {{"fov", 500}}, "fov must be a number from 10 to 120"},
      {"quillon_camera", {{"standardView", "diagonal"}}, "standardView must be one of"},
      {"quillon_rendering", {{"style", "toon"}}, "style must be one of"},
      {"quillon_rendering", {{"shadows", "on"}}, "shadows must be true or false"},
      {"quillon_layers", {{"visible", true}}, "visible needs the layer"},
      {"quillon_snapshot", {{"format", "pdf"}, {"width", 5}}, "width must be a number"},
  };
  for (const Case& c : cases) {
    const JSON result = call(c.tool, c.arguments);
    EXPECT_TRUE(isErrorResult(result)) << c.tool << " " << c.arguments.dump();
    const JSON error = JSON::parse(resultText(result), nullptr, false);
    ASSERT_TRUE(error.is_object()) << resultText(result);
    EXPECT_GE(error["status"].get<int>(), 400);
    EXPECT_NE(error["error"].get<std::string>().find(c.says), std::string::npos)
        << c.tool << ": " << error["error"];
  }
  // Refusals leave both sides working.
  EXPECT_EQ(answer("quillon_open", {{"path", skp}})["opened"], skp);
}

TEST_F(EndToEndTest, StoppedViewerReadsAsUnreachableUntilItIsBack) {
  answer("quillon_state");  // the viewer has been reached once
  viewer->signal(SIGTERM);
  EXPECT_EQ(viewer->wait(5s), std::optional<int>(0)) << "the viewer did not stop cleanly in time";

  const JSON result = call("quillon_state");
  EXPECT_TRUE(isErrorResult(result));
  EXPECT_EQ(resultText(result), "Quillon is not reachable at " + base +
                                    " \xE2\x80\x94 launch /Applications/Quillon.app and retry.");

  // Started again on the same port, the viewer is found by the same server.
  ChildProcess::Options again;
  again.arguments = {QUILLON_DEMO_VIEWER_EXE, "--port", port};
  viewer = std::make_unique<ChildProcess>(again);
  ASSERT_TRUE(viewer->readLine(10s).has_value()) << "the viewer did not start again";
  EXPECT_TRUE(answer("quillon_state")["file"].is_null());

  server->closeInput();
  EXPECT_EQ(server->wait(5s), std::optional<int>(0));
}

}  // namespace
}  // namespace quillon::demo
