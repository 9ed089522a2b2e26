#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>
#include <tuple>

namespace quillon::demo {

double dot(Vec3 a, Vec3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec3 cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double length(Vec3 a) {
  return std::sqrt(dot(a, a));
}
Vec3 normalised(Vec3 a) {
  const double l = length(a);
  return l > 0 ? a * (1.0 / l) : Vec3{};
}

double degrees(double radians) {
  return radians * 180.0 / std::numbers::pi;
}
double radians(double degrees) {
  return degrees * std::numbers::pi / 180.0;
}

Vec3 directionFrom(double headingDegrees, double elevationDegrees) {
  const double h = radians(headingDegrees);
  const double e = radians(elevationDegrees);
  return {std::sin(h) * std::cos(e), std::cos(h) * std::cos(e), std::sin(e)};
}

double CameraPose::yaw() const {
  const Vec3 d = target - position;
  if (d.x == 0 && d.y == 0) return 0;
  return degrees(std::atan2(d.x, d.y));
}

double CameraPose::pitch() const {
  const double l = distance();
  if (l == 0) return 0;
  return degrees(std::asin(std::clamp((target - position).z / l, -1.0, 1.0)));
}

double CameraPose::focalLengthMM() const {
  return 12.0 / std::tan(radians(fov) / 2);
}

double fovForFocalLength(double millimetres) {
  return degrees(2 * std::atan(12.0 / millimetres));
}

namespace {

enum MaterialId { kGrass, kPlaster, kRoofTiles, kGlass, kDoorWood, kBark, kFoliage };
enum LayerId { kLayer0, kWalls, kRoof, kWindows, kLandscape };

// A rectangle on the wall plane through `origin`, spanned by the unit vectors
// `along` (horizontal) and up, pushed `lift` metres off the wall along its
// outward `normal` so it never fights with the wall it sits on.
Face opening(int wall, Vec3 origin, Vec3 along, Vec3 normal, double from, double to, double bottom,
             double top, int material) {
  const Vec3 up{0, 0, 1};
  const Vec3 base = origin + normal * 0.03;
  Face face;
  face.points = {base + along * from + up * bottom, base + along * to + up * bottom,
                 base + along * to + up * top, base + along * from + up * top};
  face.layer = kWindows;
  face.material = material;
  face.decalOf = wall;
  return face;
}

void addTree(SampleModel& model, double cx, double cy, double crownRadius, double height) {
  const double t = 0.18;  // half the trunk width
  const double crownBase = height * 0.3;
  auto quad = [&](Vec3 a, Vec3 b, Vec3 c, Vec3 d) {
    model.faces.push_back({{a, b, c, d}, kLandscape, kBark, -1, false});
  };
  const Vec3 p0{cx - t, cy - t, 0}, p1{cx + t, cy - t, 0}, p2{cx + t, cy + t, 0},
      p3{cx - t, cy + t, 0};
  const Vec3 h{0, 0, crownBase};
  quad(p0, p1, p1 + h, p0 + h);
  quad(p1, p2, p2 + h, p1 + h);
  quad(p2, p3, p3 + h, p2 + h);
  quad(p3, p0, p0 + h, p3 + h);

  constexpr int kSides = 8;
  const Vec3 apex{cx, cy, height};
  std::vector<Vec3> rim;
  for (int i = 0; i < kSides; ++i) {
    const double a = 2 * std::numbers::pi * i / kSides;
    rim.push_back({cx + crownRadius * std::cos(a), cy + crownRadius * std::sin(a), crownBase});
  }
  for (int i = 0; i < kSides; ++i) {
    model.faces.push_back({{rim[i], rim[(i + 1) % kSides], apex}, kLandscape, kFoliage, -1, false});
  }
  std::vector<Vec3> underside(rim.rbegin(), rim.rend());
  model.faces.push_back({underside, kLandscape, kFoliage, -1, false});
  ++model.components;
}

SampleModel buildSampleModel() {
  SampleModel model;
  auto add = [&](std::vector<Vec3> points, int layer, int material) {
    model.faces.push_back({std::move(points), layer, material, -1, false});
    return static_cast<int>(model.faces.size() - 1);
  };

  Face ground{{{-12, -10, 0}, {12, -10, 0}, {12, 10, 0}, {-12, 10, 0}}, kLayer0, kGrass, -1, true};
  model.faces.push_back(ground);

  const int south = add({{-4, -3, 0}, {4, -3, 0}, {4, -3, 3}, {-4, -3, 3}}, kWalls, kPlaster);
  const int north = add({{4, 3, 0}, {-4, 3, 0}, {-4, 3, 3}, {4, 3, 3}}, kWalls, kPlaster);
  const int east = add({{4, -3, 0}, {4, 3, 0}, {4, 3, 3}, {4, -3, 3}}, kWalls, kPlaster);
  const int west = add({{-4, 3, 0}, {-4, -3, 0}, {-4, -3, 3}, {-4, 3, 3}}, kWalls, kPlaster);
  add({{4, -3, 3}, {4, 3, 3}, {4, 0, 5}}, kWalls, kPlaster);
  add({{-4, 3, 3}, {-4, -3, 3}, {-4, 0, 5}}, kWalls, kPlaster);

  // The roof overhangs the walls by 0.4 m, keeping the 2:3 pitch.
  const double eaveZ = 3 - 0.4 * 2.0 / 3.0;
  add({{-4.3, -3.4, eaveZ}, {4.3, -3.4, eaveZ}, {4.3, 0, 5}, {-4.3, 0, 5}}, kRoof, kRoofTiles);
  add({{4.3, 3.4, eaveZ}, {-4.3, 3.4, eaveZ}, {-4.3, 0, 5}, {4.3, 0, 5}}, kRoof, kRoofTiles);

  const Vec3 alongSouth{1, 0, 0}, alongNorth{-1, 0, 0}, alongEast{0, 1, 0}, alongWest{0, -1, 0};
  const std::vector<Face> openings = {
      opening(south, {-4, -3, 0}, alongSouth, {0, -1, 0}, 1.2, 2.6, 1.0, 2.2, kGlass),
      opening(south, {-4, -3, 0}, alongSouth, {0, -1, 0}, 3.5, 4.5, 0.0, 2.1, kDoorWood),
      opening(south, {-4, -3, 0}, alongSouth, {0, -1, 0}, 5.4, 6.8, 1.0, 2.2, kGlass),
      opening(north, {4, 3, 0}, alongNorth, {0, 1, 0}, 1.5, 3.0, 1.0, 2.2, kGlass),
      opening(north, {4, 3, 0}, alongNorth, {0, 1, 0}, 5.0, 6.5, 1.0, 2.2, kGlass),
      opening(east, {4, -3, 0}, alongEast, {1, 0, 0}, 2.3, 3.7, 1.0, 2.2, kGlass),
      opening(west, {-4, 3, 0}, alongWest, {-1, 0, 0}, 2.3, 3.7, 1.0, 2.2, kGlass),
  };
  for (const Face& face : openings) model.faces.push_back(face);
  model.components += static_cast<int>(openings.size());

  addTree(model, -8, -6, 1.6, 5.0);
  addTree(model, 8.5, 5, 2.0, 6.5);
  addTree(model, -7.5, 6.5, 1.4, 4.2);

  Vec3 low{1e9, 1e9, 1e9}, high{-1e9, -1e9, -1e9};
  for (const Face& face : model.faces) {
    for (const Vec3& p : face.points) {
      low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
      high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
  }
  model.bounds = {low, high};
  return model;
}

}  // namespace

const SampleModel& sampleModel() {
  static const SampleModel model = buildSampleModel();
  return model;
}

const std::vector<Material>& sampleMaterials() {
  static const std::vector<Material> materials = {
      {"Grass", {0.36, 0.55, 0.27}},      {"Plaster", {0.88, 0.80, 0.66}},
      {"Roof tiles", {0.64, 0.24, 0.17}}, {"Glass", {0.27, 0.40, 0.55}},
      {"Oak door", {0.45, 0.28, 0.15}},   {"Bark", {0.40, 0.27, 0.15}},
      {"Foliage", {0.22, 0.47, 0.21}},
  };
  return materials;
}

std::vector<Layer> sampleLayers() {
  return {
      {"Layer0", true}, {"Walls", true}, {"Roof", true}, {"Windows", true}, {"Landscape", true}};
}

std::vector<Scene> sampleScenes() {
  auto pose = [](Vec3 position, Vec3 target, double fov) {
    CameraPose camera;
    camera.position = position;
    camera.target = target;
    camera.fov = fov;
    return camera;
  };
  CameraPose plan = pose({0, -0.35, 20}, {0, 0, 0}, 35);
  plan.perspective = false;
  plan.orthoScale = 11;
  return {{"Street view", pose({3, -17, 1.7}, {0, 0, 2.2}, 40)},
          {"Aerial", pose({17, -21, 15}, {0, 0, 1.5}, 35)},
          {"Garden", pose({-11, 10, 1.7}, {0, 0, 2}, 50)},
          {"Plan", plan}};
}

size_t uniqueEdgeCount(const SampleModel& model) {
  // Millimetre grid keys: the sample's coordinates are exact to far better.
  using Key = std::tuple<long, long, long>;
  auto key = [](Vec3 p) {
    return Key{std::lround(p.x * 1000), std::lround(p.y * 1000), std::lround(p.z * 1000)};
  };
  std::set<std::pair<Key, Key>> edges;
  for (const Face& face : model.faces) {
    for (size_t i = 0; i < face.points.size(); ++i) {
      Key a = key(face.points[i]);
      Key b = key(face.points[(i + 1) % face.points.size()]);
      if (b < a) std::swap(a, b);
      edges.emplace(a, b);
    }
  }
  return edges.size();
}

Bounds framingBounds(const ViewerState& state) {
  if (!state.file) return {{-5, -5, 0}, {5, 5, 3}};
  // The plot of grass would dwarf the house, so framing leaves it out.
  Vec3 low{1e9, 1e9, 1e9}, high{-1e9, -1e9, -1e9};
  for (const Face& face : sampleModel().faces) {
    if (face.ground) continue;
    for (const Vec3& p : face.points) {
      low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
      high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
  }
  return {low, high};
}

}  // namespace quillon::demo
