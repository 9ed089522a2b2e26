#include "viewer.hpp"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <system_error>
#include <vector>

#include "png_writer.hpp"
#include "viewport.hpp"

namespace quillon::demo {

namespace {

using JSON = nlohmann::ordered_json;
namespace fs = std::filesystem;

const char* const kStandInNote =
    "Demo viewer: a stand-in for Quillon. Every .skp file shows the same built-in sample house; "
    "SketchUp geometry is not read.";

// Thrown while judging a request; becomes the JSON error answer.
struct Refusal {
  int status;
  std::string message;
  std::string argument;
};

[[noreturn]] void refuse(int status, std::string message, std::string argument = {}) {
  throw Refusal{status, std::move(message), std::move(argument)};
}

std::string lowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

std::string formatNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// Four decimals: enough for millimetres and hundredths of a degree, and free
// of binary noise such as 0.30000000000000004 in the answers.
double tidy(double value) {
  const double rounded = std::round(value * 1e4) / 1e4;
  return rounded == 0 ? 0 : rounded;
}

JSON vectorJSON(Vec3 v) {
  return JSON::array({tidy(v.x), tidy(v.y), tidy(v.z)});
}
JSON colourJSON(Rgb c) {
  return JSON::array({tidy(c.r), tidy(c.g), tidy(c.b)});
}

std::string describe(const JSON& value) {
  std::string text = value.dump();
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  const char* kind = value.is_string()    ? " (a string)"
                     : value.is_boolean() ? " (a boolean)"
                     : value.is_null()    ? ""
                     : value.is_array()   ? " (an array)"
                     : value.is_object()  ? " (an object)"
                                          : "";
  return text + kind;
}

std::string joined(const std::vector<std::string>& items, const char* quote = "") {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += quote + item + quote;
  }
  return out;
}

// Reads a request's arguments against what the tool descriptions promise.
// Every accessor either returns a value that is safe to apply or refuses.
class Arguments {
 public:
  Arguments(const JSON& object, std::string endpoint, std::vector<std::string> accepted)
      : object_(object) {
    for (const auto& [key, value] : object.items()) {
      if (std::find(accepted.begin(), accepted.end(), key) == accepted.end()) {
        refuse(
            400,
            "unknown argument \"" + key + "\" for " + endpoint + "; accepted: " + joined(accepted),
            key);
      }
    }
  }

  bool has(const char* key) const { return object_.contains(key); }
  bool empty() const { return object_.empty(); }

  std::optional<double> number(const char* key, double min, double max, const char* unit) const {
    const JSON* value = find(key);
    if (!value) return std::nullopt;
    const std::string range = "a number from " + formatNumber(min) + " to " + formatNumber(max) +
                              (*unit ? std::string(" (") + unit + ")" : std::string());
    if (!value->is_number())
      refuse(400, key + std::string(" must be ") + range + "; got " + describe(*value), key);
    const double number = value->get<double>();
    if (!(number >= min && number <= max)) {
      refuse(400, key + std::string(" must be ") + range + "; got " + describe(*value), key);
    }
    return number;
  }

  std::optional<bool> boolean(const char* key) const {
    const JSON* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) {
      refuse(400, key + std::string(" must be true or false; got ") + describe(*value), key);
    }
    return value->get<bool>();
  }

  std::optional<std::string> string(const char* key) const {
    const JSON* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_string()) {
      refuse(400, key + std::string(" must be a string; got ") + describe(*value), key);
    }
    return value->get<std::string>();
  }

  std::optional<std::string> choice(const char* key, const std::vector<std::string>& values) const {
    const JSON* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_string() ||
        std::find(values.begin(), values.end(), value->get<std::string>()) == values.end()) {
      refuse(400,
             key + std::string(" must be one of ") + joined(values, "\"") + "; got " +
                 describe(*value),
             key);
    }
    return value->get<std::string>();
  }

  // JSON Schema counts 2.0 as an integer, and so do we.
  std::optional<int64_t> integer(const char* key) const {
    const JSON* value = find(key);
    if (!value) return std::nullopt;
    if (value->is_number_integer()) {
      if (value->is_number_unsigned() && value->get<uint64_t>() > INT64_MAX) {
        refuse(400, key + std::string(" is too large; got ") + describe(*value), key);
      }
      return value->get<int64_t>();
    }
    if (value->is_number_float()) {
      const double number = value->get<double>();
      if (std::floor(number) == number && std::fabs(number) < 9e15) {
        return static_cast<int64_t>(number);
      }
    }
    refuse(400, key + std::string(" must be a whole number; got ") + describe(*value), key);
  }

  std::optional<Vec3> vector3(const char* key, double min, double max, const char* what) const {
    const JSON* value = find(key);
    if (!value) return std::nullopt;
    const std::string expected = key + std::string(" must be an array of three numbers ") + what +
                                 ", each from " + formatNumber(min) + " to " + formatNumber(max) +
                                 "; got " + describe(*value);
    if (!value->is_array() || value->size() != 3) refuse(400, expected, key);
    double v[3];
    for (size_t i = 0; i < 3; ++i) {
      const JSON& item = (*value)[i];
      if (!item.is_number()) refuse(400, expected, key);
      v[i] = item.get<double>();
      if (!(v[i] >= min && v[i] <= max)) refuse(400, expected, key);
    }
    return Vec3{v[0], v[1], v[2]};
  }

  const JSON* find(const char* key) const {
    const auto found = object_.find(key);
    return found == object_.end() ? nullptr : &*found;
  }

 private:
  const JSON& object_;
};

constexpr double kWorld = 1e6;  // metres: no coordinate of a sane model goes further

JSON parseBody(const std::string& body) {
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) return JSON::object();
  JSON parsed = JSON::parse(body, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) refuse(400, "the request body is not valid JSON");
  if (!parsed.is_object()) refuse(400, "the request body must be a JSON object of arguments");
  return parsed;
}

HttpReply json(int status, const JSON& value) {
  // A path of arbitrary bytes may be echoed back; it must not stop the answer.
  return {status, "application/json; charset=utf-8",
          value.dump(-1, ' ', false, JSON::error_handler_t::replace) + "\n"};
}

HttpReply error(int status, const std::string& message, const std::string& argument = {}) {
  JSON body = JSON::object();
  body["error"] = message;
  if (!argument.empty()) body["argument"] = argument;
  body["status"] = status;
  return json(status, body);
}

JSON cameraJSON(const CameraPose& c) {
  JSON out = JSON::object();
  out["position"] = vectorJSON(c.position);
  out["target"] = vectorJSON(c.target);
  out["yaw"] = tidy(c.yaw());
  out["pitch"] = tidy(c.pitch());
  out["distance"] = tidy(c.distance());
  out["fov"] = tidy(c.fov);
  out["focalLengthMM"] = tidy(c.focalLengthMM());
  out["exposure"] = tidy(c.exposure);
  out["perspective"] = c.perspective;
  out["projection"] = c.perspective ? "perspective" : "parallel";
  out["orthoScale"] = tidy(c.orthoScale);
  out["speedScale"] = tidy(c.speedScale);
  out["units"] = {{"position", "m"}, {"angles", "deg"}, {"focalLength", "mm"}, {"exposure", "EV"}};
  return out;
}

JSON renderingJSON(const RenderSettings& r) {
  JSON out = JSON::object();
  out["style"] = r.style;
  out["edges"] = r.edges;
  out["grid"] = r.grid;
  out["shadows"] = r.shadows;
  out["ssao"] = tidy(r.ssao);
  out["ambientIntensity"] = tidy(r.ambientIntensity);
  out["lightingMode"] = r.lightingMode;
  out["sunAzimuth"] = tidy(r.sunAzimuth);
  out["sunElevation"] = tidy(r.sunElevation);
  out["sunIntensity"] = tidy(r.sunIntensity);
  out["lightPosition"] = vectorJSON(r.lightPosition);
  out["lightIntensity"] = tidy(r.lightIntensity);
  out["lightGizmo"] = r.lightGizmo;
  out["backdropStyle"] = r.backdropStyle;
  out["backdropColor"] = colourJSON(r.backdropColor);
  return out;
}

JSON layersJSON(const std::vector<Layer>& layers) {
  JSON out = JSON::array();
  for (size_t i = 0; i < layers.size(); ++i) {
    out.push_back({{"index", i}, {"name", layers[i].name}, {"visible", layers[i].visible}});
  }
  return out;
}

JSON sceneJSON(const ViewerState& state, size_t index) {
  return {{"index", index}, {"name", state.scenes[index].name}};
}

JSON scenesJSON(const ViewerState& state) {
  JSON out = JSON::array();
  for (size_t i = 0; i < state.scenes.size(); ++i) out.push_back(sceneJSON(state, i));
  return out;
}

JSON stateJSON(const ViewerState& state) {
  JSON out = JSON::object();
  out["app"] = "Quillon demo viewer";
  out["demo"] = true;
  if (state.file) {
    const SampleModel& model = sampleModel();
    const Vec3 size = model.bounds.max - model.bounds.min;
    out["file"] = {{"path", state.file->path},
                   {"name", fs::path(state.file->path).filename().string()},
                   {"version", nullptr},
                   {"sizeBytes", state.file->sizeBytes}};
    out["model"] = {{"dimensions",
                     {{"width", tidy(size.x)},
                      {"depth", tidy(size.y)},
                      {"height", tidy(size.z)},
                      {"unit", "m"}}},
                    {"statistics",
                     {{"faces", model.faces.size()},
                      {"edges", uniqueEdgeCount(model)},
                      {"components", model.components},
                      {"materials", sampleMaterials().size()}}}};
  } else {
    out["file"] = nullptr;
    out["model"] = nullptr;
  }
  out["camera"] = cameraJSON(state.camera);
  out["scenes"] = scenesJSON(state);
  out["activeScene"] = state.activeScene ? sceneJSON(state, *state.activeScene) : JSON(nullptr);
  out["layers"] = layersJSON(state.layers);
  out["rendering"] = renderingJSON(state.rendering);
  out["ports"] = {{"api", state.apiPort}, {"osc", nullptr}};
  out["note"] = kStandInNote;
  return out;
}

void requireOpenFile(const ViewerState& state) {
  if (!state.file) {
    refuse(409, "no model is open; open a .skp file first (POST /v1/open, tool quillon_open)");
  }
}

// "~/" is where people keep their models; a relative path would depend on
// the directory the viewer happened to start in, so it is refused.
fs::path absoluteUserPath(const std::string& text, const char* key) {
  if (text.empty()) refuse(400, key + std::string(" must not be empty"), key);
  if (text.rfind("~/", 0) == 0) {
    const char* home = std::getenv("HOME");
    if (!home || !*home) refuse(400, "cannot expand \"~\": HOME is not set", key);
    return fs::path(home) / text.substr(2);
  }
  const fs::path path(text);
  if (!path.is_absolute()) {
    refuse(400,
           key + std::string(" must be an absolute path (or start with ~/); got \"") + text + "\"",
           key);
  }
  return path;
}

bool hasExtension(const fs::path& path, const char* extension) {
  return lowercase(path.extension().string()) == extension;
}

// --- Camera --------------------------------------------------------------

struct ViewDirection {
  const char* name;
  double heading, elevation;  // of the viewing direction
};
constexpr ViewDirection kStandardViews[] = {
    {"iso", 45, -35.264}, {"top", 0, -89}, {"bottom", 0, 89}, {"front", 0, 0},
    {"back", 180, 0},     {"left", 90, 0}, {"right", -90, 0},
};

void frameBounds(CameraPose& c, const Bounds& bounds, double aspect) {
  const Vec3 direction = normalised(c.target - c.position);
  const double radius = bounds.radius() * 1.05;
  const double halfVertical = radians(c.fov) / 2;
  const double halfHorizontal = std::atan(std::tan(halfVertical) * aspect);
  const double distance =
      c.perspective ? radius / std::sin(std::min(halfVertical, halfHorizontal)) : radius * 3;
  c.target = bounds.centre();
  c.position = c.target - direction * distance;
  if (!c.perspective) c.orthoScale = radius / std::min(1.0, aspect);
}

JSON postCamera(ViewerState& state, const JSON& body, double aspect) {
  const Arguments args(body, "POST /v1/camera",
                       {"position", "x", "y", "z", "target", "yaw", "pitch", "distance", "fov",
                        "focalLengthMM", "exposure", "perspective", "orthoScale", "speedScale",
                        "standardView", "action", "eyeHeight"});
  const auto position = args.vector3("position", -kWorld, kWorld, "[x, y, z] in metres");
  const auto x = args.number("x", -kWorld, kWorld, "metres");
  const auto y = args.number("y", -kWorld, kWorld, "metres");
  const auto z = args.number("z", -kWorld, kWorld, "metres");
  const auto target = args.vector3("target", -kWorld, kWorld, "[tx, ty, tz] in metres");
  const auto yaw = args.number("yaw", -180, 180, "degrees");
  const auto pitch = args.number("pitch", -89, 89, "degrees");
  const auto distance = args.number("distance", 0.01, 1e5, "metres");
  const auto fov = args.number("fov", 10, 120, "degrees");
  const auto focal = args.number("focalLengthMM", 5, 135, "mm");
  const auto exposure = args.number("exposure", -3, 3, "EV");
  const auto perspective = args.boolean("perspective");
  const auto orthoScale = args.number("orthoScale", 0.01, 1e5, "metres");
  const auto speedScale = args.number("speedScale", 0.1, 16, "");
  const auto view =
      args.choice("standardView", {"iso", "top", "bottom", "front", "back", "left", "right"});
  const auto action =
      args.choice("action", {"reset", "zoom_extents", "level", "eye_height", "center"});
  const auto eyeHeight = args.number("eyeHeight", 0.01, 1000, "metres");

  if (position && (x || y || z)) {
    refuse(400, "give the eye either as position [x, y, z] or as x, y, z, not both", "position");
  }
  if (fov && focal) refuse(400, "give either fov or focalLengthMM, not both", "focalLengthMM");
  if (view && action) refuse(400, "give either standardView or action, not both", "action");
  if (eyeHeight && action != "eye_height") {
    refuse(400, "eyeHeight applies only with action \"eye_height\"", "eyeHeight");
  }

  CameraPose c = state.camera;
  JSON notes = JSON::array();
  const Bounds bounds = framingBounds(state);
  if (view) {
    for (const ViewDirection& v : kStandardViews) {
      if (*view == v.name) c.target = c.position + directionFrom(v.heading, v.elevation);
    }
    frameBounds(c, bounds, aspect);
  } else if (action == "reset") {
    c = CameraPose{};
  } else if (action == "zoom_extents") {
    frameBounds(c, bounds, aspect);
  } else if (action == "level") {
    c.target = c.position + directionFrom(c.yaw(), 0) * c.distance();
  } else if (action == "eye_height") {
    const double height = eyeHeight.value_or(1.70);
    const double reach = std::max(c.distance(), 1.0);
    c.position.z = height;
    c.target = c.position + directionFrom(c.yaw(), 0) * reach;
  } else if (action == "center") {
    c.target = bounds.centre();
  }

  if (position) c.position = *position;
  if (x) c.position.x = *x;
  if (y) c.position.y = *y;
  if (z) c.position.z = *z;
  if (target) c.target = *target;
  // Turning the head keeps the eye where it is and swings the target round.
  if (yaw || pitch) {
    const double reach = c.distance() > 0 ? c.distance() : 1.0;
    c.target = c.position + directionFrom(yaw.value_or(c.yaw()),
                                          pitch.value_or(std::clamp(c.pitch(), -89.0, 89.0))) *
                                reach;
  }
  // The orbit distance moves the eye along the line of sight; the target stays.
  if (distance) {
    const Vec3 direction = normalised(c.target - c.position);
    if (length(direction) == 0) refuse(400, "the camera position and target coincide", "distance");
    c.position = c.target - direction * *distance;
  }
  if (c.distance() < 1e-6) {
    refuse(400, "the camera position and target coincide; move one of them", "target");
  }
  if (fov) c.fov = *fov;
  if (focal) {
    const double wanted = fovForFocalLength(*focal);
    c.fov = std::clamp(wanted, 10.0, 120.0);
    if (c.fov != wanted) {
      notes.push_back("focalLengthMM " + formatNumber(*focal) + " would need a field of view of " +
                      formatNumber(tidy(wanted)) + " degrees; the view is limited to " +
                      formatNumber(c.fov));
    }
  }
  if (exposure) c.exposure = *exposure;
  if (perspective) {
    // Keep the picture about the same size when changing to parallel.
    if (state.camera.perspective && !*perspective && !orthoScale) {
      c.orthoScale = c.distance() * std::tan(radians(c.fov) / 2);
    }
    c.perspective = *perspective;
  }
  if (orthoScale) c.orthoScale = *orthoScale;
  if (speedScale) c.speedScale = *speedScale;

  state.camera = c;
  state.activeScene.reset();
  JSON out = JSON::object();
  out["camera"] = cameraJSON(c);
  if (!notes.empty()) out["notes"] = notes;
  return out;
}

// --- Scenes and layers ----------------------------------------------------

size_t findByName(const std::vector<std::string>& names, const std::string& wanted,
                  const char* what, const char* key) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (lowercase(names[i]) == lowercase(wanted)) return i;
  }
  refuse(404,
         std::string("no ") + what + " named \"" + wanted + "\"; " + what +
             "s: " + joined(names, "\""),
         key);
}

size_t checkIndex(int64_t index, size_t count, const char* what) {
  if (index < 0 || static_cast<uint64_t>(index) >= count) {
    refuse(404,
           std::string("no ") + what + " at index " + std::to_string(index) + "; this model has " +
               std::to_string(count) + " " + what + "s (0.." + std::to_string(count - 1) + ")",
           "index");
  }
  return static_cast<size_t>(index);
}

JSON postScene(ViewerState& state, const JSON& body) {
  const Arguments args(body, "POST /v1/scene", {"index", "name", "action", "slow"});
  const auto index = args.integer("index");
  const auto name = args.string("name");
  const auto action = args.choice("action", {"next", "prev"});
  const auto slow = args.boolean("slow");
  const int chosen = (index ? 1 : 0) + (name ? 1 : 0) + (action ? 1 : 0);
  if (chosen > 1) refuse(400, "give one of index, name or action, not several");
  requireOpenFile(state);
  if (chosen == 0) {
    if (slow) refuse(400, "slow needs a scene to move to: give index, name or action", "slow");
    return {
        {"scenes", scenesJSON(state)},
        {"activeScene", state.activeScene ? sceneJSON(state, *state.activeScene) : JSON(nullptr)}};
  }

  const size_t count = state.scenes.size();
  size_t selected = 0;
  if (index) {
    selected = checkIndex(*index, count, "scene");
  } else if (name) {
    std::vector<std::string> names;
    for (const Scene& scene : state.scenes) names.push_back(scene.name);
    selected = findByName(names, *name, "scene", "name");
  } else if (*action == "next") {
    selected = state.activeScene ? (*state.activeScene + 1) % count : 0;
  } else {
    selected = state.activeScene ? (*state.activeScene + count - 1) % count : count - 1;
  }
  state.activeScene = selected;
  state.camera = state.scenes[selected].camera;
  return {{"scene", sceneJSON(state, selected)},
          {"transitionSeconds", slow.value_or(false) ? 3.5 : 0.35},
          {"camera", cameraJSON(state.camera)}};
}

JSON postLayers(ViewerState& state, const JSON& body) {
  const Arguments args(body, "POST /v1/layers", {"all", "solo", "index", "name", "visible"});
  const auto all = args.boolean("all");
  const auto index = args.integer("index");
  const auto name = args.string("name");
  const auto visible = args.boolean("visible");
  // "solo" takes a layer name or index; an index may come as a number or as
  // digits in a string.
  std::optional<std::string> soloName;
  std::optional<int64_t> soloIndex;
  if (const JSON* solo = args.find("solo")) {
    if (solo->is_string()) {
      const std::string text = solo->get<std::string>();
      if (!text.empty() && text.size() < 10 &&
          text.find_first_not_of("0123456789") == std::string::npos) {
        soloIndex = std::stoll(text);
      } else {
        soloName = text;
      }
    } else if (solo->is_number()) {
      soloIndex = args.integer("solo");
    } else {
      refuse(400, "solo must be a layer name or index; got " + describe(*solo), "solo");
    }
  }
  const bool single = index || name;
  if (index && name) refuse(400, "give index or name, not both", "name");
  if ((all ? 1 : 0) + (soloName || soloIndex ? 1 : 0) + (single ? 1 : 0) > 1) {
    refuse(400, "give one of all, solo, or index/name (with visible), not several");
  }
  if (visible && !single) refuse(400, "visible needs the layer: give index or name", "visible");
  requireOpenFile(state);

  std::vector<std::string> names;
  for (const Layer& layer : state.layers) names.push_back(layer.name);
  auto resolve = [&](const std::optional<int64_t>& i, const std::optional<std::string>& n,
                     const char* key) {
    if (i) {
      try {
        return checkIndex(*i, names.size(), "layer");
      } catch (Refusal& refusal) {
        refusal.argument = key;
        throw;
      }
    }
    return findByName(names, *n, "layer", key);
  };

  if (all) {
    for (Layer& layer : state.layers) layer.visible = *all;
  } else if (soloName || soloIndex) {
    const size_t keep = resolve(soloIndex, soloName, "solo");
    for (size_t i = 0; i < state.layers.size(); ++i) state.layers[i].visible = i == keep;
  } else if (single) {
    Layer& layer = state.layers[resolve(index, name, index ? "index" : "name")];
    layer.visible = visible.value_or(!layer.visible);
  }
  return {{"layers", layersJSON(state.layers)}};
}

// --- Rendering ------------------------------------------------------------

JSON postRendering(ViewerState& state, const JSON& body) {
  const Arguments args(
      body, "POST /v1/rendering",
      {"style", "edges", "grid", "shadows", "ssao", "ambientIntensity", "lightingMode",
       "sunAzimuth", "sunElevation", "sunIntensity", "lightPosition", "lightIntensity",
       "lightGizmo", "backdropStyle", "backdropColor"});
  const auto style = args.choice("style", {"textured", "clay", "xray", "wireframe"});
  const auto edges = args.boolean("edges");
  const auto grid = args.boolean("grid");
  const auto shadows = args.boolean("shadows");
  const auto ssao = args.number("ssao", 0, 2, "");
  const auto ambient = args.number("ambientIntensity", 0, 2, "");
  const auto lightingMode = args.choice("lightingMode", {"sun", "point"});
  const auto sunAzimuth = args.number("sunAzimuth", -180, 180, "degrees");
  const auto sunElevation = args.number("sunElevation", 8, 85, "degrees");
  const auto sunIntensity = args.number("sunIntensity", 0, 3, "");
  const auto lightPosition = args.vector3("lightPosition", -kWorld, kWorld, "[x, y, z] in metres");
  const auto lightIntensity = args.number("lightIntensity", 0, 3, "");
  const auto lightGizmo = args.boolean("lightGizmo");
  const auto backdropStyle =
      args.choice("backdropStyle", {"architecturalSky", "studioDark", "warmPaper", "customColor"});
  const auto backdropColor = args.vector3("backdropColor", 0, 1, "[r, g, b] (sRGB)");

  RenderSettings& r = state.rendering;
  if (style) r.style = *style;
  if (edges) r.edges = *edges;
  if (grid) r.grid = *grid;
  if (shadows) r.shadows = *shadows;
  if (ssao) r.ssao = *ssao;
  if (ambient) r.ambientIntensity = *ambient;
  if (lightingMode) r.lightingMode = *lightingMode;
  if (sunAzimuth) r.sunAzimuth = *sunAzimuth;
  if (sunElevation) r.sunElevation = *sunElevation;
  if (sunIntensity) r.sunIntensity = *sunIntensity;
  if (lightPosition) r.lightPosition = *lightPosition;
  if (lightIntensity) r.lightIntensity = *lightIntensity;
  if (lightGizmo) r.lightGizmo = *lightGizmo;
  if (backdropColor) {
    r.backdropColor = {backdropColor->x, backdropColor->y, backdropColor->z};
    // A colour given on its own is meant to be seen.
    if (!backdropStyle) r.backdropStyle = "customColor";
  }
  if (backdropStyle) r.backdropStyle = *backdropStyle;
  return {{"rendering", renderingJSON(r)}};
}

// --- Open and export -------------------------------------------------------

JSON postOpen(ViewerState& state, const JSON& body) {
  const Arguments args(body, "POST /v1/open", {"path"});
  const auto text = args.string("path");
  if (!text) refuse(400, "missing argument \"path\": the .skp file to open", "path");
  const fs::path path = absoluteUserPath(*text, "path");
  if (!hasExtension(path, ".skp")) {
    refuse(400, "\"" + path.string() + "\" is not a SketchUp file (the name must end in .skp)",
           "path");
  }
  std::error_code failure;
  const fs::file_status status = fs::status(path, failure);
  if (!fs::exists(status)) refuse(404, "no such file: " + path.string(), "path");
  if (!fs::is_regular_file(status)) refuse(400, "not a regular file: " + path.string(), "path");
  if (!std::ifstream(path, std::ios::binary)) {
    refuse(403, "cannot read " + path.string() + " (permission denied?)", "path");
  }
  const uintmax_t size = fs::file_size(path, failure);

  state.file = OpenFile{path.string(), failure ? 0 : size};
  state.layers = sampleLayers();
  state.scenes = sampleScenes();
  state.activeScene.reset();
  state.camera = CameraPose{};
  JSON out = JSON::object();
  out["opened"] = path.string();
  out["name"] = path.filename().string();
  out["sizeBytes"] = state.file->sizeBytes;
  out["ready"] = true;
  out["scenes"] = state.scenes.size();
  out["layers"] = state.layers.size();
  out["note"] = kStandInNote;
  return out;
}

struct PdfRequest {
  fs::path path;  // empty: the export folder
  double width = 1190, height = 842;
};

PdfRequest judgePdf(const JSON& body) {
  const Arguments args(body, "POST /v1/pdf", {"format", "path", "width", "height"});
  if (const JSON* format = args.find("format")) {
    const std::string value = format->is_string() ? lowercase(format->get<std::string>()) : "";
    if (value == "png") {
      refuse(400,
             "format \"png\" is the inline snapshot, which is not written to a file; leave out "
             "\"path\" for a PNG, or ask for format \"pdf\"",
             "format");
    }
    if (value != "pdf") {
      refuse(400, "format must be one of \"png\", \"pdf\"; got " + describe(*format), "format");
    }
  }
  PdfRequest request;
  if (const auto text = args.string("path")) {
    request.path = absoluteUserPath(*text, "path");
    if (!hasExtension(request.path, ".pdf")) {
      refuse(400, "path must name a .pdf file; got \"" + *text + "\"", "path");
    }
    std::error_code failure;
    const fs::path folder = request.path.parent_path();
    if (!fs::is_directory(folder, failure)) {
      refuse(404, "folder does not exist: " + folder.string(), "path");
    }
    if (fs::is_directory(request.path, failure)) {
      refuse(400, "path is a folder, not a file: " + request.path.string(), "path");
    }
  }
  // A PDF page is at most 200 inches on a side; under an inch is not a page.
  request.width = args.number("width", 72, 14400, "points").value_or(1190);
  request.height = args.number("height", 72, 14400, "points").value_or(842);
  return request;
}

bool writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

DemoViewer::DemoViewer(Options options) : options_(std::move(options)) {
  state_.apiPort = options_.apiPort;
}

HttpReply DemoViewer::handle(const std::string& method, const std::string& path,
                             const std::string& body) {
  struct Route {
    const char* path;
    const char* method;
  };
  static constexpr Route kRoutes[] = {
      {"/v1/state", "GET"},        {"/v1/help", "GET"},    {"/v1/camera", "GET"},
      {"/v1/snapshot.png", "GET"}, {"/v1/open", "POST"},   {"/v1/camera", "POST"},
      {"/v1/scene", "POST"},       {"/v1/layers", "POST"}, {"/v1/rendering", "POST"},
      {"/v1/pdf", "POST"},
  };
  bool knownPath = false, served = false;
  std::vector<std::string> methods;
  for (const Route& route : kRoutes) {
    if (path != route.path) continue;
    knownPath = true;
    methods.push_back(route.method);
    if (method == route.method) served = true;
  }
  if (!knownPath) {
    return error(404, "no such endpoint: " + method + " " + path + "; GET /v1/help lists them");
  }
  if (!served) {
    return error(405, path + " answers " + joined(methods) + ", not " + method);
  }

  try {
    const double aspect = double(options_.snapshotWidth) / options_.snapshotHeight;
    if (method == "GET") {
      if (path == "/v1/help") return {200, "text/plain; charset=utf-8", helpText()};
      if (path == "/v1/snapshot.png") {
        ViewerState copy;
        {
          std::lock_guard lock(mutex_);
          copy = state_;
        }
        const Frame frame = composeFrame(copy, options_.snapshotWidth, options_.snapshotHeight);
        const RgbImage image = rasterise(frame);
        return {200, "image/png",
                quillon::encodePNG(image.width, image.height, 3, image.pixels.data())};
      }
      std::lock_guard lock(mutex_);
      if (path == "/v1/state") return json(200, stateJSON(state_));
      return json(200, {{"camera", cameraJSON(state_.camera)}});
    }

    const JSON arguments = parseBody(body);
    if (path == "/v1/pdf") {
      PdfRequest request = judgePdf(arguments);
      ViewerState copy;
      {
        std::lock_guard lock(mutex_);
        copy = state_;
        if (request.path.empty()) {
          const fs::path folder =
              options_.exportFolder.empty() ? fs::temp_directory_path() : options_.exportFolder;
          request.path = folder / ("quillon-export-" + std::to_string(getpid()) + "-" +
                                   std::to_string(++exports_) + ".pdf");
        }
      }
      const std::string title =
          copy.file ? fs::path(copy.file->path).filename().string() : std::string("No model");
      const std::string caption = title + " - Quillon demo viewer (stand-in; sample geometry)";
      const std::string pdf =
          framePDF(composeFrame(copy, request.width, request.height), title, caption);
      if (!writeFile(request.path, pdf)) {
        return error(500, "cannot write " + request.path.string(), "path");
      }
      JSON out = JSON::object();
      out["path"] = request.path.string();
      out["bytes"] = pdf.size();
      out["pages"] = 1;
      out["pageSize"] = {
          {"width", tidy(request.width)}, {"height", tidy(request.height)}, {"unit", "pt"}};
      out["vector"] = true;
      return json(200, out);
    }

    std::lock_guard lock(mutex_);
    // Each handler judges everything before it changes anything, so a
    // refusal leaves the state as it was.
    if (path == "/v1/open") return json(200, postOpen(state_, arguments));
    if (path == "/v1/camera") return json(200, postCamera(state_, arguments, aspect));
    if (path == "/v1/scene") return json(200, postScene(state_, arguments));
    if (path == "/v1/layers") return json(200, postLayers(state_, arguments));
    return json(200, postRendering(state_, arguments));
  } catch (const Refusal& refusal) {
    return error(refusal.status, refusal.message, refusal.argument);
  } catch (const std::exception& failure) {
    return error(500, std::string("internal error: ") + failure.what());
  }
}

const std::string& helpText() {
  static const std::string text =
      R"(Quillon demo viewer - HTTP API /v1 (stand-in for the Quillon app)

Every .skp file opens as the same built-in sample house (walls, roof, windows,
three trees, ground on five layers, four scenes); SketchUp geometry is not read.
Lengths are in metres, angles in degrees, exposure in EV, PDF sizes in points.
POST bodies are JSON objects. Refusals answer 400 (bad argument), 404 (no such
file, scene, layer or endpoint), 405 (wrong method) or 409 (no model open),
with a JSON body {"error": "...", "argument": "...", "status": N}.

GET  /v1/state         Everything: file, model size and statistics, camera,
                       scenes, layers, rendering, ports.
GET  /v1/help          This text.
POST /v1/open          {"path": "/abs/or/~/model.skp"}  (must exist, end in .skp)
GET  /v1/camera        The camera pose.
POST /v1/camera        position [x,y,z] or x, y, z; target [tx,ty,tz];
                       yaw -180..180 (0 = looking north, +Y; 90 = east, +X);
                       pitch -89..89 (up positive); distance > 0 (moves the
                       eye along the line of sight); fov 10..120 or
                       focalLengthMM 5..135 (35 mm equivalent, not both);
                       exposure -3..3; perspective true/false; orthoScale;
                       speedScale 0.1..16;
                       standardView iso|top|bottom|front|back|left|right or
                       action reset|zoom_extents|level|eye_height|center
                       (eyeHeight with action eye_height, default 1.70).
                       Applied in that order: view or action, eye, target,
                       yaw/pitch (swing the target round the eye), distance.
POST /v1/scene         {"index": n} | {"name": "aerial"} (any letter case) |
                       {"action": "next"|"prev"}; "slow": true for 3.5 s.
                       {} lists the scenes.
POST /v1/layers        {"all": true|false} | {"solo": name or index} |
                       {"index": n} or {"name": "Roof"} with optional
                       "visible" (without it the layer toggles). {} lists.
POST /v1/rendering     style textured|clay|xray|wireframe; edges, grid,
                       shadows, lightGizmo true/false; ssao 0..2;
                       ambientIntensity 0..2; lightingMode sun|point;
                       sunAzimuth -180..180; sunElevation 8..85;
                       sunIntensity 0..3; lightPosition [x,y,z];
                       lightIntensity 0..3; backdropStyle architecturalSky|
                       studioDark|warmPaper|customColor; backdropColor
                       [r,g,b] in 0..1 (selects customColor by itself).
GET  /v1/snapshot.png  The viewport as a PNG, 800x500 pixels unless the viewer
                       was started with --viewport WIDTHxHEIGHT.
POST /v1/pdf           One-page vector PDF. "path": absolute .pdf file (else a
                       temporary file); "width"/"height" 72..14400 points
                       (default 1190 x 842, A3 landscape); "format": "pdf".
                       Answers the file's path, size in bytes and page size.

MCP tools (quillon-mcp): quillon_state, quillon_help, quillon_open,
quillon_camera, quillon_scene, quillon_layers, quillon_rendering,
quillon_snapshot - one request above per call.

OSC, OSCQuery and Bonjour: not offered by the demo viewer.
)";
  return text;
}

}  // namespace quillon::demo
