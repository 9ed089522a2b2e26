#include "tools.hpp"

#include <initializer_list>
#include <string>
#include <utility>

namespace quillon {

namespace {

JSON property(const char* type, const char* description) {
  JSON schema = JSON::object();
  schema["type"] = type;
  schema["description"] = description;
  return schema;
}

JSON enumeration(std::initializer_list<const char*> values, const char* description = nullptr) {
  JSON schema = JSON::object();
  schema["type"] = "string";
  schema["enum"] = JSON::array();
  for (const char* value : values) schema["enum"].push_back(value);
  if (description) schema["description"] = description;
  return schema;
}

JSON numbers(const char* description) {
  JSON schema = JSON::object();
  schema["type"] = "array";
  schema["items"] = JSON::object({{"type", "number"}});
  schema["description"] = description;
  return schema;
}

// What a tool does to the user's world, as hosts read it to decide what may
// run without asking (a read-only tool runs in plan or ask modes, and
// without a confirmation in most hosts). Judged tool by tool:
//
// - quillon_state and quillon_help only read.
// - quillon_open, quillon_camera, quillon_scene, quillon_layers and
//   quillon_rendering change what the viewer shows, never the user's files:
//   not read-only, not destructive. Opening a file, setting the camera or the
//   rendering leaves the same state when done twice (the camera's actions
//   reset, frame, level or centre to a state of their own); stepping to the
//   'next' scene, or toggling a layer (no 'visible'), does not.
// - quillon_snapshot writes a vector PDF at a path the caller names, and a
//   file already there is replaced: not read-only, and destructive, since
//   what it replaces is gone. With a snapshot folder set, each picture
//   taken adds a file of its own there, so the same call twice does not
//   leave the same state: not idempotent. The list is the same for every
//   server and cached for an hour, so it says what holds with the folder
//   set.
// - Every tool works on one local viewer and reaches nothing beyond it: a
//   closed world.
struct Hints {
  bool readOnly, destructive, idempotent;
};

JSON annotations(Hints hints) {
  JSON object = JSON::object();
  object["readOnlyHint"] = hints.readOnly;
  object["destructiveHint"] = hints.destructive;
  object["idempotentHint"] = hints.idempotent;
  object["openWorldHint"] = false;
  return object;
}

constexpr Hints kReads{true, false, true};
constexpr Hints kSetsView{false, false, true};
constexpr Hints kStepsView{false, false, false};
constexpr Hints kWritesFile{false, true, false};

JSON tool(const char* name, const char* title, Hints hints, const char* description,
          std::initializer_list<std::pair<const char*, JSON>> properties,
          std::initializer_list<const char*> required = {}) {
  JSON schema = JSON::object();
  schema["type"] = "object";
  schema["properties"] = JSON::object();
  for (const auto& [key, value] : properties) schema["properties"][key] = value;
  if (required.size() > 0) {
    schema["required"] = JSON::array();
    for (const char* key : required) schema["required"].push_back(key);
  }
  JSON definition = JSON::object();
  definition["name"] = name;
  definition["title"] = title;
  definition["description"] = description;
  definition["inputSchema"] = std::move(schema);
  definition["annotations"] = annotations(hints);
  return definition;
}

JSON buildCatalogue() {
  JSON tools = JSON::array();
  tools.push_back(tool(
      "quillon_state", "Quillon state", kReads,
      "Returns the current state of Quillon: active .skp file path & version, model dimensions in "
      "metres, geometry statistics (faces, edges, components, materials), camera pose (position, "
      "target, yaw, pitch, distance, FOV, focal length mm, exposure EV, perspective/parallel), "
      "scenes, layers, rendering style, lighting mode (sun/point), SSAO, backdrop, and OSC/API "
      "ports.",
      {}));
  tools.push_back(tool("quillon_help", "Quillon API reference", kReads,
                       "Returns the full HTTP /v1 API, MCP tool reference, OSCQuery & OSC address "
                       "map for Tallwick, and Bonjour service names.",
                       {}));
  tools.push_back(tool(
      "quillon_open", "Open SketchUp model", kSetsView,
      "Opens a SketchUp (.skp) file from disk in Quillon and waits until its 3D scene is ready.",
      {{"path", property("string", "Path to a .skp file on disk")}}, {"path"}));
  tools.push_back(tool(
      "quillon_camera", "Camera", kSetsView,
      "Reads or updates the 3D camera in Quillon: eye position (X, Y, Z in metres), target (TX, "
      "TY, TZ), orientation (yaw -180..180 deg, pitch -89..89 deg), orbit distance, vertical field "
      "of view (fov 10..120 deg), 35mm equivalent focal length (focalLengthMM 5..135 mm), HDR "
      "exposure (-3..+3 EV), projection (perspective true/false), standardView ('iso', 'top', "
      "'bottom', 'front', 'back', 'left', 'right'), or action ('reset', 'zoom_extents', 'level', "
      "'eye_height', 'center').",
      {
          {"position", numbers("Camera eye [x, y, z] in metres (Z up)")},
          {"x", property("number", "Camera X coordinate in metres")},
          {"y", property("number", "Camera Y coordinate in metres")},
          {"z", property("number", "Camera Z height in metres")},
          {"target", numbers("Point [tx, ty, tz] in metres for the camera to look at")},
          {"yaw", property("number", "Camera azimuth/yaw in degrees (-180..180)")},
          {"pitch", property("number", "Camera elevation/pitch in degrees (-89..89)")},
          {"distance", property("number", "Distance to orbit target in metres")},
          {"fov", property("number", "Vertical field of view in degrees (10..120, default 35)")},
          {"focalLengthMM",
           property("number",
                    "35mm full-frame equivalent focal length in mm (e.g. 14, 24, 35, 50, 85)")},
          {"exposure",
           property("number", "Camera HDR exposure offset in EV (-3.0..3.0, default -0.62)")},
          {"perspective",
           property("boolean", "True for perspective projection, false for parallel/orthographic")},
          {"orthoScale", property("number", "Half-height in metres when in parallel projection")},
          {"speedScale", property("number", "Keyboard/fly movement speed multiplier (0.1..16)")},
          {"standardView", enumeration({"iso", "top", "bottom", "front", "back", "left", "right"},
                                       "Frame model from a standard view")},
          {"action", enumeration({"reset", "zoom_extents", "level", "eye_height", "center"},
                                 "Quick camera action")},
          {"eyeHeight",
           property("number",
                    "Eye height above floor in metres when action='eye_height' (default 1.70)")},
      }));
  tools.push_back(tool(
      "quillon_scene", "Scene", kStepsView,
      "Selects a saved SketchUp scene by 0-based index, by scene name, or steps to 'next' / "
      "'prev'.",
      {
          {"index", property("integer", "0-based scene index")},
          {"name", property("string", "Scene name (case-insensitive)")},
          {"action", enumeration({"next", "prev"}, "Step to next or previous scene")},
          {"slow", property("boolean",
                            "True for a 10x slower camera transition (3.5 s instead of 0.35 s, "
                            "equivalent to holding Shift)")},
      }));
  tools.push_back(tool(
      "quillon_layers", "Layers", kStepsView,
      "Controls SketchUp layer visibility: show/hide all layers ('all': true/false), solo a layer "
      "('solo': index or name), or set/toggle a specific layer ('index' or 'name', optional "
      "'visible': true/false).",
      {
          {"all", property("boolean", "Show all layers (true) or hide all layers (false)")},
          {"solo", property("string", "Layer name or index to isolate")},
          {"index", property("integer", "0-based layer index")},
          {"name", property("string", "Layer name")},
          {"visible", property("boolean", "Explicit visibility state")},
      }));
  tools.push_back(tool(
      "quillon_rendering", "Rendering and lighting", kSetsView,
      "Updates 3D rendering, lighting, sun, point light, ambient light, SSAO, or backdrop settings "
      "in Quillon.",
      {
          {"style", enumeration({"textured", "clay", "xray", "wireframe"})},
          {"edges", property("boolean", "Show or hide vector edges")},
          {"grid", property("boolean", "Show or hide ground grid and XYZ axes")},
          {"shadows", property("boolean", "Enable or disable sun cast shadows")},
          {"ssao", property("number", "Ambient occlusion strength (0.0..2.0, 0 disables)")},
          {"ambientIntensity",
           property("number",
                    "Ambient light intensity (0.0..2.0, default 1.0; 0 = pitch black when lights "
                    "are at 0%)")},
          {"lightingMode", enumeration({"sun", "point"})},
          {"sunAzimuth", property("number", "Sun azimuth in degrees (-180..180)")},
          {"sunElevation", property("number", "Sun elevation in degrees (8..85)")},
          {"sunIntensity",
           property("number", "Sun directional light intensity (0.0..3.0, default 1.0)")},
          {"lightPosition", numbers("Active point light position [x, y, z] in metres")},
          {"lightIntensity", property("number", "Active point light intensity (0.0..3.0)")},
          {"lightGizmo", property("boolean", "Show or hide 3D point light gizmo")},
          {"backdropStyle",
           enumeration({"architecturalSky", "studioDark", "warmPaper", "customColor"})},
          {"backdropColor", numbers("Custom backdrop sRGB color [r, g, b] in 0..1")},
      }));
  tools.push_back(tool(
      "quillon_snapshot", "Viewport snapshot", kWritesFile,
      "Captures the current 3D viewport of Quillon as a PNG image (default) or exports a 100% "
      "vector PDF when format='pdf'.",
      {
          {"format", enumeration({"png", "pdf"},
                                 "Output format: 'png' (inline image) or 'pdf' (vector PDF)")},
          {"path", property("string",
                            "Optional file path where to write the vector PDF when format='pdf'")},
          {"width", property("number",
                             "Optional page width in points for PDF export (default 1190 = A3 "
                             "landscape)")},
          {"height", property("number",
                              "Optional page height in points for PDF export (default 842 = A3 "
                              "landscape)")},
      }));
  return tools;
}

}  // namespace

const JSON& quillonToolDefinitions() {
  static const JSON catalogue = buildCatalogue();
  return catalogue;
}

bool isCataloguedTool(std::string_view name) {
  for (const JSON& definition : quillonToolDefinitions()) {
    const auto found = definition.find("name");
    if (found != definition.end() && found->is_string() &&
        found->get_ref<const std::string&>() == name) {
      return true;
    }
  }
  return false;
}

}  // namespace quillon
