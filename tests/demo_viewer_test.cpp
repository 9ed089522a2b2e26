#include "viewer.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>

#include "png_reader.hpp"

namespace quillon::demo {
namespace {

using JSON = nlohmann::json;
namespace fs = std::filesystem;

class DemoViewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillon-viewer-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    skp = folder / "house.skp";
    std::ofstream(skp) << "not really SketchUp";
    DemoViewer::Options options;
    options.apiPort = 4242;
    options.exportFolder = folder;
    viewer = std::make_unique<DemoViewer>(options);
  }
  void TearDown() override { fs::remove_all(folder); }

  HttpReply get(const std::string& path) { return viewer->handle("GET", path, ""); }
  HttpReply post(const std::string& path, const JSON& body) {
    return viewer->handle("POST", path, body.dump());
  }
  static JSON body(const HttpReply& reply) { return JSON::parse(reply.body); }
  void open() { ASSERT_EQ(post("/v1/open", {{"path", skp.string()}}).status, 200); }
  JSON camera() { return body(get("/v1/camera"))["camera"]; }
  JSON state() { return body(get("/v1/state")); }

  // Refused with `status`, a JSON error body, and the argument named.
  void expectRefusal(const std::string& path, const JSON& arguments, int status,
                     const std::string& argument) {
    const HttpReply reply = post(path, arguments);
    EXPECT_EQ(reply.status, status) << path << " " << arguments.dump() << " -> " << reply.body;
    EXPECT_EQ(reply.contentType, "application/json; charset=utf-8");
    const JSON error = JSON::parse(reply.body, nullptr, false);
    ASSERT_TRUE(error.is_object()) << reply.body;
    EXPECT_TRUE(error["error"].is_string() && !error["error"].get<std::string>().empty());
    if (!argument.empty()) {
      EXPECT_EQ(error.value("argument", ""), argument) << reply.body;
    }
  }

  fs::path folder, skp;
  std::unique_ptr<DemoViewer> viewer;
};

TEST_F(DemoViewerTest, AnswersOnlyItsEndpointsAndMethods) {
  for (const char* path : {"/v1/state", "/v1/help", "/v1/camera", "/v1/snapshot.png"}) {
    EXPECT_EQ(get(path).status, 200) << path;
  }
  EXPECT_EQ(get("/v1/help").contentType, "text/plain; charset=utf-8");
  EXPECT_NE(get("/v1/help").body.find("POST /v1/rendering"), std::string::npos);
  const HttpReply unknown = get("/v1/teleport");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_NE(body(unknown)["error"].get<std::string>().find("/v1/teleport"), std::string::npos);
  EXPECT_EQ(get("/v2/state").status, 404);
  EXPECT_EQ(get("/v1/open").status, 405);
  EXPECT_EQ(post("/v1/state", JSON::object()).status, 405);
  EXPECT_EQ(viewer->handle("DELETE", "/v1/camera", "").status, 405);
}

TEST_F(DemoViewerTest, RefusesBodiesThatAreNotArgumentObjects) {
  EXPECT_EQ(viewer->handle("POST", "/v1/camera", "{\"fov\": ").status, 400);
  EXPECT_EQ(viewer->handle("POST", "/v1/camera", "[1, 2]").status, 400);
  EXPECT_EQ(viewer->handle("POST", "/v1/rendering", "\"clay\"").status, 400);
  // An empty body is an empty set of arguments: nothing changes.
  EXPECT_EQ(viewer->handle("POST", "/v1/camera", "").status, 200);
}

TEST_F(DemoViewerTest, OpenJudgesThePath) {
  fs::create_directory(folder / "folder.skp");
  std::ofstream(folder / "notes.txt") << "x";
  expectRefusal("/v1/open", JSON::object(), 400, "path");
  expectRefusal("/v1/open", {{"path", 42}}, 400, "path");
  expectRefusal("/v1/open", {{"path", ""}}, 400, "path");
  expectRefusal("/v1/open", {{"path", "house.skp"}}, 400, "path");  // relative
  expectRefusal("/v1/open", {{"path", (folder / "notes.txt").string()}}, 400, "path");
  expectRefusal("/v1/open", {{"path", (folder / "folder.skp").string()}}, 400, "path");
  expectRefusal("/v1/open", {{"path", (folder / "missing.skp").string()}}, 404, "path");
  expectRefusal("/v1/open", {{"path", skp.string()}, {"readOnly", true}}, 400, "readOnly");
  EXPECT_TRUE(state()["file"].is_null()) << "a refused open changed the state";

  const HttpReply opened = post("/v1/open", {{"path", skp.string()}});
  ASSERT_EQ(opened.status, 200) << opened.body;
  EXPECT_EQ(body(opened)["opened"], skp.string());
  const JSON s = state();
  EXPECT_EQ(s["file"]["path"], skp.string());
  EXPECT_EQ(s["file"]["sizeBytes"], fs::file_size(skp));
  EXPECT_EQ(s["layers"].size(), 5u);
  EXPECT_EQ(s["scenes"].size(), 4u);
  EXPECT_GT(s["model"]["statistics"]["faces"].get<int>(), 0);
  EXPECT_EQ(s["model"]["dimensions"]["unit"], "m");
  EXPECT_EQ(s["ports"]["api"], 4242);
}

TEST_F(DemoViewerTest, RefusalsStayJSONWhateverBytesTheyEcho) {
  // The HTTP layer percent-decodes paths, so "/v1/%FF" arrives as a raw byte.
  const HttpReply reply = viewer->handle("GET", "/v1/\xff", "");
  EXPECT_EQ(reply.status, 404);
  const JSON error = JSON::parse(reply.body, nullptr, false);
  ASSERT_TRUE(error.is_object()) << reply.body;
  EXPECT_NE(error["error"].get<std::string>().find("/v1/\xEF\xBF\xBD"), std::string::npos);
  // Bytes that are not UTF-8 inside a body make it invalid JSON.
  EXPECT_EQ(viewer->handle("POST", "/v1/open", "{\"path\": \"/m/\xff.skp\"}").status, 400);
}

TEST_F(DemoViewerTest, OpenExpandsTheHomeFolder) {
  const char* saved = getenv("HOME");
  const std::string previous = saved ? saved : "";
  setenv("HOME", folder.c_str(), 1);
  const HttpReply reply = post("/v1/open", {{"path", "~/house.skp"}});
  if (saved)
    setenv("HOME", previous.c_str(), 1);
  else
    unsetenv("HOME");
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(state()["file"]["path"], skp.string());
}

TEST_F(DemoViewerTest, CameraRefusesWrongTypesRangesAndEnumerations) {
  struct Case {
    JSON arguments;
    const char* argument;
  };
  const Case cases[] = {
      {{{"fov", 9.99}}, "fov"},
      {{{"fov", 121}}, "fov"},
      {{{"fov", "35"}}, "fov"},
      {{{"pitch", 90}}, "pitch"},
      {{{"yaw", -180.5}}, "yaw"},
      {{{"exposure", 3.01}}, "exposure"},
      {{{"focalLengthMM", 4}}, "focalLengthMM"},
      {{{"speedScale", 0.05}}, "speedScale"},
      {{{"distance", 0}}, "distance"},
      {{{"perspective", 1}}, "perspective"},
      {{{"x", nullptr}}, "x"},
      {{{"position", {1, 2}}}, "position"},
      {{{"position", {1, 2, "3"}}}, "position"},
      {{{"target", "0,0,0"}}, "target"},
      {{{"standardView", "diagonal"}}, "standardView"},
      {{{"standardView", "TOP"}}, "standardView"},
      {{{"action", "spin"}}, "action"},
      {{{"eyeHeight", 1.6}}, "eyeHeight"},  // only with action eye_height
      {{{"fov", 40}, {"focalLengthMM", 50}}, "focalLengthMM"},
      {{{"position", {1, 2, 3}}, {"z", 4}}, "position"},
      {{{"standardView", "top"}, {"action", "reset"}}, "action"},
      {{{"zoom", 2}}, "zoom"},
      {{{"position", {0, 0, 1.5}}, {"target", {0, 0, 1.5}}}, "target"},
  };
  for (const Case& c : cases) expectRefusal("/v1/camera", c.arguments, 400, c.argument);
}

TEST_F(DemoViewerTest, RefusedRequestsChangeNothing) {
  open();
  const JSON before = state();
  // The first argument is fine; the second is not; neither is applied.
  expectRefusal("/v1/camera", {{"fov", 50}, {"pitch", 200}}, 400, "pitch");
  expectRefusal("/v1/rendering", {{"style", "clay"}, {"ssao", 5}}, 400, "ssao");
  expectRefusal("/v1/layers", {{"name", "Roof"}, {"visible", "no"}}, 400, "visible");
  expectRefusal("/v1/scene", {{"index", 1}, {"slow", "yes"}}, 400, "slow");
  EXPECT_EQ(state(), before);
}

TEST_F(DemoViewerTest, CameraAcceptsTheEndsOfEveryRange) {
  for (const JSON& arguments :
       {JSON{{"fov", 10}}, JSON{{"fov", 120}}, JSON{{"pitch", -89}}, JSON{{"pitch", 89}},
        JSON{{"yaw", -180}}, JSON{{"yaw", 180}}, JSON{{"exposure", -3}}, JSON{{"exposure", 3}},
        JSON{{"focalLengthMM", 135}}, JSON{{"speedScale", 0.1}}, JSON{{"speedScale", 16}}}) {
    EXPECT_EQ(post("/v1/camera", arguments).status, 200) << arguments.dump();
  }
}

TEST_F(DemoViewerTest, CameraReportsPoseInMetresDegreesAndEV) {
  JSON c = body(post("/v1/camera", {{"position", {0, -10, 0}}, {"target", {0, 0, 0}}}))["camera"];
  EXPECT_EQ(c["yaw"], 0.0);
  EXPECT_EQ(c["pitch"], 0.0);
  EXPECT_EQ(c["distance"], 10.0);
  EXPECT_EQ(c["units"]["exposure"], "EV");

  c = body(post("/v1/camera", {{"position", {0, 0, 10}}, {"target", {10, 0, 0}}}))["camera"];
  EXPECT_EQ(c["yaw"], 90.0);  // looking east
  EXPECT_EQ(c["pitch"], -45.0);

  // Turning the head keeps the eye and the distance.
  c = body(post("/v1/camera", {{"yaw", 180}, {"pitch", 0}}))["camera"];
  EXPECT_EQ(c["position"], JSON({0.0, 0.0, 10.0}));
  EXPECT_EQ(c["target"], JSON({0.0, -14.1421, 10.0}));
  EXPECT_EQ(c["distance"], 14.1421);

  // The orbit distance moves the eye and keeps the target.
  c = body(post("/v1/camera", {{"distance", 5}}))["camera"];
  EXPECT_EQ(c["target"], JSON({0.0, -14.1421, 10.0}));
  EXPECT_EQ(c["position"], JSON({0.0, -9.1421, 10.0}));

  // A 50 mm lens on 24 mm film height: 2 atan(12/50) = 26.99 degrees.
  c = body(post("/v1/camera", {{"focalLengthMM", 50}, {"exposure", 1.5}}))["camera"];
  EXPECT_EQ(c["fov"], 26.9915);
  EXPECT_EQ(c["focalLengthMM"], 50.0);
  EXPECT_EQ(c["exposure"], 1.5);

  // 5 mm would need more than the 120 degrees the view allows.
  const JSON wide = body(post("/v1/camera", {{"focalLengthMM", 5}}));
  EXPECT_EQ(wide["camera"]["fov"], 120.0);
  EXPECT_EQ(wide["notes"].size(), 1u);

  c = body(post("/v1/camera", {{"perspective", false}}))["camera"];
  EXPECT_EQ(c["projection"], "parallel");
  EXPECT_EQ(camera(), c);
}

TEST_F(DemoViewerTest, CameraActionsAndStandardViews) {
  open();
  JSON c = body(post("/v1/camera", {{"standardView", "top"}}))["camera"];
  EXPECT_EQ(c["pitch"], -89.0);
  c = body(post("/v1/camera", {{"standardView", "front"}}))["camera"];
  EXPECT_EQ(c["yaw"], 0.0);
  EXPECT_EQ(c["pitch"], 0.0);
  c = body(post("/v1/camera", {{"action", "eye_height"}, {"eyeHeight", 1.6}}))["camera"];
  EXPECT_EQ(c["position"][2], 1.6);
  EXPECT_EQ(c["pitch"], 0.0);
  c = body(post("/v1/camera", {{"pitch", -30}, {"yaw", 45}}))["camera"];
  c = body(post("/v1/camera", {{"action", "level"}}))["camera"];
  EXPECT_EQ(c["pitch"], 0.0);
  EXPECT_EQ(c["yaw"], 45.0);
  c = body(post("/v1/camera", {{"action", "reset"}}))["camera"];
  EXPECT_EQ(c["fov"], 35.0);
  EXPECT_EQ(c["exposure"], -0.62);
}

TEST_F(DemoViewerTest, ScenesAreChosenByIndexNameOrStep) {
  expectRefusal("/v1/scene", {{"index", 0}}, 409, "");  // nothing open yet
  open();
  JSON reply = body(post("/v1/scene", {{"name", "AERIAL"}}));
  EXPECT_EQ(reply["scene"], JSON({{"index", 1}, {"name", "Aerial"}}));
  EXPECT_EQ(reply["transitionSeconds"], 0.35);
  EXPECT_EQ(camera()["position"], JSON({17.0, -21.0, 15.0}));
  EXPECT_EQ(state()["activeScene"]["name"], "Aerial");

  EXPECT_EQ(body(post("/v1/scene", {{"index", 3.0}}))["scene"]["index"], 3);
  EXPECT_EQ(body(post("/v1/scene", {{"action", "next"}}))["scene"]["index"], 0);  // wraps
  EXPECT_EQ(body(post("/v1/scene", {{"action", "prev"}}))["scene"]["index"], 3);
  EXPECT_EQ(body(post("/v1/scene", {{"index", 2}, {"slow", true}}))["transitionSeconds"], 3.5);

  expectRefusal("/v1/scene", {{"index", 4}}, 404, "index");
  expectRefusal("/v1/scene", {{"index", -1}}, 404, "index");
  expectRefusal("/v1/scene", {{"index", 1.5}}, 400, "index");
  expectRefusal("/v1/scene", {{"index", "1"}}, 400, "index");
  expectRefusal("/v1/scene", {{"name", "Attic"}}, 404, "name");
  expectRefusal("/v1/scene", {{"action", "first"}}, 400, "action");
  expectRefusal("/v1/scene", {{"index", 1}, {"name", "Aerial"}}, 400, "");

  // Moving the camera leaves the scene.
  post("/v1/camera", {{"fov", 50}});
  EXPECT_TRUE(state()["activeScene"].is_null());
}

TEST_F(DemoViewerTest, LayersShowHideToggleAndSolo) {
  expectRefusal("/v1/layers", {{"all", false}}, 409, "");
  open();
  auto visible = [this] {
    std::string flags;
    const JSON layers = state()["layers"];
    for (const JSON& layer : layers) flags += layer["visible"].get<bool>() ? '1' : '0';
    return flags;
  };
  post("/v1/layers", {{"name", "roof"}});  // no "visible": toggle, any letter case
  EXPECT_EQ(visible(), "11011");
  post("/v1/layers", {{"index", 2}});
  EXPECT_EQ(visible(), "11111");
  post("/v1/layers", {{"solo", "Walls"}});
  EXPECT_EQ(visible(), "01000");
  post("/v1/layers", {{"solo", "3"}});
  EXPECT_EQ(visible(), "00010");
  post("/v1/layers", {{"solo", 4}});
  EXPECT_EQ(visible(), "00001");
  post("/v1/layers", {{"all", true}});
  EXPECT_EQ(visible(), "11111");
  post("/v1/layers", {{"name", "Landscape"}, {"visible", false}});
  post("/v1/layers", {{"name", "Landscape"}, {"visible", false}});  // explicit: no toggle
  EXPECT_EQ(visible(), "11110");

  expectRefusal("/v1/layers", {{"name", "Furniture"}}, 404, "name");
  expectRefusal("/v1/layers", {{"index", 5}}, 404, "index");
  expectRefusal("/v1/layers", {{"solo", "9"}}, 404, "solo");
  expectRefusal("/v1/layers", {{"solo", true}}, 400, "solo");
  expectRefusal("/v1/layers", {{"visible", true}}, 400, "visible");
  expectRefusal("/v1/layers", {{"index", 1}, {"name", "Walls"}}, 400, "name");
  expectRefusal("/v1/layers", {{"all", true}, {"solo", "Roof"}}, 400, "");
  EXPECT_EQ(visible(), "11110");
}

TEST_F(DemoViewerTest, RenderingJudgesEveryCataloguedSetting) {
  struct Case {
    JSON arguments;
    const char* argument;
  };
  const Case cases[] = {
      {{{"style", "toon"}}, "style"},
      {{{"style", "Clay"}}, "style"},
      {{{"lightingMode", "moon"}}, "lightingMode"},
      {{{"backdropStyle", "neon"}}, "backdropStyle"},
      {{{"edges", "yes"}}, "edges"},
      {{{"grid", 0}}, "grid"},
      {{{"ssao", 2.5}}, "ssao"},
      {{{"ambientIntensity", -0.1}}, "ambientIntensity"},
      {{{"sunAzimuth", 181}}, "sunAzimuth"},
      {{{"sunElevation", 7}}, "sunElevation"},
      {{{"sunElevation", 86}}, "sunElevation"},
      {{{"sunIntensity", 3.5}}, "sunIntensity"},
      {{{"lightIntensity", -1}}, "lightIntensity"},
      {{{"lightPosition", {1, 2}}}, "lightPosition"},
      {{{"backdropColor", {1.2, 0, 0}}}, "backdropColor"},
      {{{"backdropColor", "#ff0000"}}, "backdropColor"},
      {{{"fog", true}}, "fog"},
  };
  for (const Case& c : cases) expectRefusal("/v1/rendering", c.arguments, 400, c.argument);

  const JSON r = body(post("/v1/rendering", {{"style", "clay"},
                                             {"edges", false},
                                             {"lightingMode", "point"},
                                             {"lightPosition", {1, 2, 3}},
                                             {"sunElevation", 85},
                                             {"backdropColor", {0.1, 0.2, 0.3}}}))["rendering"];
  EXPECT_EQ(r["style"], "clay");
  EXPECT_EQ(r["edges"], false);
  EXPECT_EQ(r["lightingMode"], "point");
  EXPECT_EQ(r["lightPosition"], JSON({1.0, 2.0, 3.0}));
  EXPECT_EQ(r["backdropColor"], JSON({0.1, 0.2, 0.3}));
  EXPECT_EQ(r["backdropStyle"], "customColor");  // a colour alone is meant to be seen
  EXPECT_EQ(state()["rendering"], r);
}

class SnapshotTest : public DemoViewerTest {
 protected:
  testing::DecodedPNG snapshot() {
    const HttpReply reply = get("/v1/snapshot.png");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "image/png");
    testing::DecodedPNG png = testing::decodePNG(reply.body);
    EXPECT_EQ(png.error, "");
    return png;
  }
};

TEST_F(SnapshotTest, BackdropColourFillsTheEmptyView) {
  post("/v1/rendering", {{"grid", false}, {"backdropColor", {1, 0, 0}}});
  testing::DecodedPNG png = snapshot();
  ASSERT_EQ(png.width, 800);
  ASSERT_EQ(png.height, 500);
  EXPECT_EQ(png.pixel(0, 0), (std::array<uint8_t, 3>{255, 0, 0}));
  EXPECT_EQ(png.pixel(400, 250), (std::array<uint8_t, 3>{255, 0, 0}));

  post("/v1/rendering", {{"backdropColor", {0, 0.5, 1}}});
  EXPECT_EQ(snapshot().pixel(799, 499), (std::array<uint8_t, 3>{0, 128, 255}));
}

TEST_F(SnapshotTest, PictureFollowsModelCameraLayersStyleAndExposure) {
  post("/v1/rendering", {{"backdropColor", {1, 1, 1}}});
  auto previous = snapshot().rgb;
  // Each step changes one thing, and the picture must change with it.
  auto changes = [&](const char* what) {
    const auto now = snapshot().rgb;
    EXPECT_TRUE(now != previous) << what << " left the picture as it was";
    previous = now;
  };
  open();
  changes("opening a model");
  post("/v1/camera", {{"yaw", -60}});  // from -49.4, the house still in view
  changes("turning the camera");
  post("/v1/layers", {{"name", "Roof"}, {"visible", false}});
  changes("hiding the roof");
  post("/v1/camera", {{"exposure", 2.5}});
  changes("raising the exposure");
  post("/v1/rendering", {{"style", "wireframe"}});
  changes("the wireframe style");
  post("/v1/rendering", {{"backdropStyle", "studioDark"}});
  changes("the backdrop style");

  // The default view looks at the house, so the middle is not backdrop.
  post("/v1/camera", {{"action", "reset"}});
  post("/v1/rendering", {{"style", "textured"}, {"backdropColor", {1, 1, 1}}});
  EXPECT_NE(snapshot().pixel(400, 250), (std::array<uint8_t, 3>{255, 255, 255}));
}

TEST_F(DemoViewerTest, PdfExportWritesTheFileItNames) {
  open();
  const fs::path target = folder / "view.pdf";
  const HttpReply reply = post(
      "/v1/pdf", {{"format", "PDF"}, {"path", target.string()}, {"width", 595}, {"height", 842}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  const JSON answer = body(reply);
  EXPECT_EQ(answer["path"], target.string());
  ASSERT_TRUE(fs::exists(target));
  EXPECT_EQ(answer["bytes"], fs::file_size(target));
  EXPECT_EQ(answer["pageSize"], JSON({{"width", 595.0}, {"height", 842.0}, {"unit", "pt"}}));
  std::ifstream file(target, std::ios::binary);
  const std::string pdf((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(pdf.starts_with("%PDF-1.4\n"));
  EXPECT_NE(pdf.find("/MediaBox [0 0 595 842]"), std::string::npos);

  // Without a path the file goes to the export folder.
  const JSON unnamed = body(post("/v1/pdf", JSON::object()));
  EXPECT_EQ(fs::path(unnamed["path"].get<std::string>()).parent_path(), folder);
  EXPECT_TRUE(fs::exists(unnamed["path"].get<std::string>()));
  EXPECT_EQ(unnamed["pageSize"]["width"], 1190.0);
}

TEST_F(DemoViewerTest, PdfExportJudgesPathSizeAndFormat) {
  expectRefusal("/v1/pdf", {{"path", "view.pdf"}}, 400, "path");
  expectRefusal("/v1/pdf", {{"path", (folder / "view.png").string()}}, 400, "path");
  expectRefusal("/v1/pdf", {{"path", (folder / "no" / "view.pdf").string()}}, 404, "path");
  expectRefusal("/v1/pdf", {{"path", nullptr}}, 400, "path");
  expectRefusal("/v1/pdf", {{"format", "png"}, {"path", (folder / "v.pdf").string()}}, 400,
                "format");
  expectRefusal("/v1/pdf", {{"format", "svg"}}, 400, "format");
  expectRefusal("/v1/pdf", {{"width", 10}}, 400, "width");
  expectRefusal("/v1/pdf", {{"height", 20000}}, 400, "height");
  expectRefusal("/v1/pdf", {{"height", "842"}}, 400, "height");
  fs::create_directory(folder / "dir.pdf");
  expectRefusal("/v1/pdf", {{"path", (folder / "dir.pdf").string()}}, 400, "path");
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(folder)) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u) << "a refused export wrote a file";  // only house.skp
}

}  // namespace
}  // namespace quillon::demo
