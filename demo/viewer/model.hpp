// What the demo viewer shows and remembers: a camera pose with the quantities
// the camera tool speaks of, the rendering settings, layers and scenes, and a
// built-in sample house that stands in for the geometry of any opened .skp
// file (the demo reads no SketchUp data).
//
// Plain values and pure functions. ViewerState is not synchronised; its owner
// (DemoViewer) guards it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon::demo {

struct Vec3 {
  double x = 0, y = 0, z = 0;
};
inline Vec3 operator+(Vec3 a, Vec3 b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator-(Vec3 a, Vec3 b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator*(Vec3 a, double s) {
  return {a.x * s, a.y * s, a.z * s};
}
double dot(Vec3 a, Vec3 b);
Vec3 cross(Vec3 a, Vec3 b);
double length(Vec3 a);
Vec3 normalised(Vec3 a);  // the zero vector stays zero

// Colour with channels in 0..1 (sRGB, as the backdrop colour argument).
struct Rgb {
  double r = 0, g = 0, b = 0;
};

double degrees(double radians);
double radians(double degrees);

// A unit direction from a compass heading and an elevation, both in degrees:
// heading 0 looks north (+Y), 90 east (+X); elevation 90 looks straight up.
// The camera's yaw/pitch and the sun's azimuth/elevation share this.
Vec3 directionFrom(double headingDegrees, double elevationDegrees);

// The camera as it is stored: eye and look-at point plus lens and exposure.
// Yaw, pitch, distance and focal length are derived, so they can never
// contradict the eye and target.
struct CameraPose {
  Vec3 position{14, -12, 7};
  Vec3 target{0, 0, 1.5};
  double fov = 35;          // vertical, degrees
  double exposure = -0.62;  // EV
  bool perspective = true;
  double orthoScale = 8;  // half-height in metres for parallel projection
  double speedScale = 1;

  double distance() const { return length(target - position); }
  double yaw() const;    // degrees, -180..180
  double pitch() const;  // degrees, -90..90
  // 35 mm full-frame equivalent: the 24 mm film height spans the vertical fov.
  double focalLengthMM() const;
};

double fovForFocalLength(double millimetres);

struct RenderSettings {
  std::string style = "textured";  // textured, clay, xray, wireframe
  bool edges = true;
  bool grid = true;
  bool shadows = true;
  double ssao = 1.0;
  double ambientIntensity = 1.0;
  std::string lightingMode = "sun";  // sun, point
  double sunAzimuth = 135;
  double sunElevation = 40;
  double sunIntensity = 1.0;
  Vec3 lightPosition{3, -5, 6};
  double lightIntensity = 1.0;
  bool lightGizmo = false;
  std::string backdropStyle = "architecturalSky";
  Rgb backdropColor{0.5, 0.5, 0.5};
};

struct Layer {
  std::string name;
  bool visible = true;
};

struct Scene {
  std::string name;
  CameraPose camera;
};

// One planar face of the sample model, counter-clockwise seen from its front.
struct Face {
  std::vector<Vec3> points;
  int layer = 0;        // index into ViewerState::layers
  int material = 0;     // index into sampleMaterials()
  int decalOf = -1;     // a face drawn flat on this face (a window on a wall)
  bool ground = false;  // the ground plane: drawn beneath everything else
};

struct Material {
  std::string name;
  Rgb colour;
};

struct Bounds {
  Vec3 min, max;
  Vec3 centre() const { return (min + max) * 0.5; }
  double radius() const { return length(max - min) * 0.5; }
};

struct SampleModel {
  std::vector<Face> faces;
  int components = 0;
  Bounds bounds;
};

// The house on its plot that every opened file shows: a gabled house with
// windows and a door, three trees and the ground, on five layers.
const SampleModel& sampleModel();
const std::vector<Material>& sampleMaterials();
std::vector<Layer> sampleLayers();
std::vector<Scene> sampleScenes();
size_t uniqueEdgeCount(const SampleModel& model);

struct OpenFile {
  std::string path;
  uintmax_t sizeBytes = 0;
};

struct ViewerState {
  std::optional<OpenFile> file;
  CameraPose camera;
  RenderSettings rendering;
  std::vector<Layer> layers;  // empty until a file is open
  std::vector<Scene> scenes;  // empty until a file is open
  std::optional<size_t> activeScene;
  int apiPort = 0;
};

// The extent that camera framing uses: the sample model once a file is
// open, else the patch of grid around the origin.
Bounds framingBounds(const ViewerState& state);

}  // namespace quillon::demo
