// The built quillon-mcp, started as an MCP host starts it, driving the built
// demo viewer over loopback: every tool, checked by what a user would see.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "mcp_client.hpp"
#include "support/harness.hpp"
#include "support/pictures.hpp"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using demo::JSON;

// Every object the cross-reference table lists starts where it says.
bool validCrossReferences(const std::string& pdf) {
  const size_t start = pdf.rfind("startxref\n");
  if (pdf.rfind("%PDF-", 0) != 0 || start == std::string::npos) return false;
  std::istringstream table(pdf.substr(std::stoul(pdf.substr(start + 10))));
  std::string keyword, flag;
  size_t first = 0, count = 0, offset = 0, generation = 0;
  table >> keyword >> first >> count;
  if (keyword != "xref" || count < 2) return false;
  for (size_t object = first; object < first + count; ++object) {
    table >> offset >> generation >> flag;
    const std::string header = std::to_string(object) + " 0 obj";
    if (flag == "n" && pdf.compare(offset, header.size(), header) != 0) return false;
  }
  return static_cast<bool>(table);
}

class DemoEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillon-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    skp = (folder / "house.skp").string();
    std::ofstream(skp) << "placeholder";
    startViewer("0");
    const std::string prefix = "listening on http://127.0.0.1:";
    const std::optional<std::string> line = viewer->readLine(10s);
    ASSERT_TRUE(line && line->starts_with(prefix)) << line.value_or("the viewer said nothing");
    port = line->substr(prefix.size());
    server = std::make_unique<ChildProcess>(quillonMCP(port));
    client = std::make_unique<demo::McpClient>(*server, 30s);
    client->request("initialize", {{"protocolVersion", "2025-03-26"}});
    client->notify("notifications/initialized");
  }
  void TearDown() override {
    client.reset();
    server.reset();
    viewer.reset();
    fs::remove_all(folder);
  }
  void startViewer(const std::string& onPort) {
    ChildProcess::Options options;
    options.arguments = {QUILLON_DEMO_VIEWER_EXE, "--port", onPort};
    options.errorFile = (folder / "viewer.log").string();
    viewer = std::make_unique<ChildProcess>(options);
  }
  // A call that must succeed with a JSON text answer.
  JSON answer(const std::string& tool, const JSON& arguments = JSON::object()) {
    const JSON result = client->callTool(tool, arguments);
    EXPECT_FALSE(demo::isErrorResult(result)) << tool << ": " << demo::resultText(result);
    return JSON::parse(demo::resultText(result), nullptr, false);
  }
  std::vector<uint8_t> snapshot() {
    const JSON result = client->callTool("quillon_snapshot", JSON::object());
    EXPECT_EQ(result["content"][0]["mimeType"], "image/png");
    EXPECT_EQ(result["content"][1]["text"], "Snapshot of the Quillon 3D viewport.");
    return readPicture(demo::decodeBase64(result["content"][0].value("data", ""))).pixels;
  }

  fs::path folder;
  std::string skp, port;
  std::unique_ptr<ChildProcess> viewer, server;
  std::unique_ptr<demo::McpClient> client;
};

TEST_F(DemoEndToEnd, EveryToolChangesWhatTheViewerShows) {
  EXPECT_NE(demo::resultText(client->callTool("quillon_help", {})).find("/v1/snapshot.png"),
            std::string::npos);
  EXPECT_TRUE(answer("quillon_state")["file"].is_null());
  EXPECT_EQ(answer("quillon_open", {{"path", skp}})["opened"], skp);
  EXPECT_EQ(answer("quillon_camera")["camera"]["fov"], 35.0);  // no arguments: a read
  const JSON moved = answer("quillon_camera", {{"position", {20, 0, 3}}, {"target", {0, 0, 3}}});
  EXPECT_EQ(moved["camera"]["yaw"], -90.0);
  EXPECT_EQ(answer("quillon_camera")["camera"], moved["camera"]);
  EXPECT_EQ(answer("quillon_scene", {{"name", "garden"}})["scene"]["index"], 2);
  const JSON layers = answer("quillon_layers", {{"solo", "Walls"}})["layers"];
  for (const JSON& layer : layers) {
    EXPECT_EQ(layer["visible"], layer["name"] == "Walls");
  }
  answer("quillon_rendering", {{"style", "clay"}, {"sunAzimuth", -120}});
  const JSON state = answer("quillon_state");
  EXPECT_EQ(state["file"]["path"], skp);
  EXPECT_EQ(state["activeScene"]["name"], "Garden");
  EXPECT_EQ(state["rendering"]["style"], "clay");
}

TEST_F(DemoEndToEnd, SnapshotIsAPictureOfTheCurrentView) {
  answer("quillon_open", {{"path", skp}});
  answer("quillon_rendering", {{"grid", false}, {"backdropColor", {0, 1, 0}}});
  const std::vector<uint8_t> green = snapshot();
  ASSERT_GE(green.size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(green.begin(), green.begin() + 3), (std::vector<uint8_t>{0, 255, 0}));
  answer("quillon_rendering", {{"backdropColor", {0, 0, 1}}});
  const std::vector<uint8_t> blue = snapshot();
  ASSERT_GE(blue.size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(blue.begin(), blue.begin() + 3), (std::vector<uint8_t>{0, 0, 255}));
  answer("quillon_camera", {{"standardView", "top"}});
  EXPECT_NE(snapshot(), blue);
}

TEST_F(DemoEndToEnd, PdfExportIsAValidFileWhereAsked) {
  answer("quillon_open", {{"path", skp}});
  const std::string target = (folder / "view.pdf").string();
  // A "path" alone asks for the PDF export.
  const JSON exported = answer("quillon_snapshot", {{"path", target}, {"width", 842}});
  EXPECT_EQ(exported["path"], target);
  std::ifstream file(target, std::ios::binary);
  const std::string pdf{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(exported["bytes"], pdf.size());
  EXPECT_TRUE(validCrossReferences(pdf));
}

TEST_F(DemoEndToEnd, RefusalsArriveAsErrorResultsAndChangeNothing) {
  const std::vector<std::pair<std::string, JSON>> refused = {
      {"quillon_scene", {{"index", 1}}},  // no model is open yet
      {"quillon_open", JSON::object()},
      {"quillon_open", {{"path", (folder / "absent.skp").string()}}},
      {"quillon_camera", {{"fov", 500}}},
      {"quillon_rendering", {{"style", "toon"}}},
      {"quillon_layers", {{"visible", true}}},
      {"quillon_snapshot", {{"format", "pdf"}, {"width", 5}}},
  };
  const JSON before = answer("quillon_state");
  for (const auto& [tool, arguments] : refused) {
    const JSON result = client->callTool(tool, arguments);
    EXPECT_TRUE(demo::isErrorResult(result)) << tool << " " << arguments.dump();
    EXPECT_GE(JSON::parse(demo::resultText(result))["status"].get<int>(), 400);
  }
  EXPECT_EQ(answer("quillon_state"), before);
}

TEST_F(DemoEndToEnd, StoppedViewerReadsAsUnreachableUntilItIsBack) {
  viewer->signal(SIGTERM);
  EXPECT_EQ(viewer->wait(5s).status, 0) << "the viewer did not stop cleanly in time";
  const JSON result = client->callTool("quillon_state", JSON::object());
  EXPECT_TRUE(demo::isErrorResult(result));
  EXPECT_EQ(demo::resultText(result), "Quillon is not reachable at http://127.0.0.1:" + port +
                                          " \xE2\x80\x94 launch /Applications/Quillon.app and "
                                          "retry.");
  startViewer(port);
  ASSERT_TRUE(viewer->readLine(10s).has_value()) << "the viewer did not start again";
  EXPECT_TRUE(answer("quillon_state")["file"].is_null());
  server->closeInput();
  EXPECT_EQ(server->wait(5s).status, 0);
}

}  // namespace
}  // namespace quillon::test
