#include "viewport.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

namespace quillon::demo {

namespace {

constexpr double kNearPlane = 0.05;  // metres in front of the eye

struct CameraBasis {
  Vec3 eye, right, up, forward;
};

CameraBasis basisOf(const CameraPose& camera) {
  CameraBasis basis;
  basis.eye = camera.position;
  basis.forward = normalised(camera.target - camera.position);
  if (length(basis.forward) == 0) basis.forward = {0, 1, 0};
  basis.right = normalised(cross(basis.forward, {0, 0, 1}));
  // Looking straight up or down leaves no horizon to take "right" from.
  if (length(basis.right) < 1e-9) basis.right = {1, 0, 0};
  basis.up = cross(basis.right, basis.forward);
  return basis;
}

class Projector {
 public:
  Projector(const CameraPose& camera, double width, double height)
      : basis_(basisOf(camera)), perspective_(camera.perspective), width_(width), height_(height) {
    scale_ = perspective_ ? (height / 2) / std::tan(radians(camera.fov) / 2)
                          : (height / 2) / camera.orthoScale;
  }

  Vec3 toCamera(Vec3 p) const {
    const Vec3 d = p - basis_.eye;
    return {dot(d, basis_.right), dot(d, basis_.up), dot(d, basis_.forward)};
  }

  Point2 toScreen(Vec3 c) const {
    if (perspective_) {
      return {width_ / 2 + c.x / c.z * scale_, height_ / 2 - c.y / c.z * scale_};
    }
    return {width_ / 2 + c.x * scale_, height_ / 2 - c.y * scale_};
  }

  // The polygon clipped to the space in front of the eye, on screen, with its
  // mean distance along the view axis; nothing when it is wholly behind.
  std::optional<std::pair<std::vector<Point2>, double>> polygon(
      const std::vector<Vec3>& points) const {
    std::vector<Vec3> in;
    for (const Vec3& p : points) in.push_back(toCamera(p));
    std::vector<Vec3> kept = perspective_ ? clipNear(in) : in;
    if (kept.size() < 3) return std::nullopt;
    std::vector<Point2> screen;
    double depth = 0;
    for (const Vec3& c : kept) {
      screen.push_back(toScreen(c));
      depth += c.z;
    }
    return std::make_pair(std::move(screen), depth / kept.size());
  }

  std::optional<std::vector<Point2>> segment(Vec3 a, Vec3 b) const {
    Vec3 ca = toCamera(a), cb = toCamera(b);
    if (perspective_) {
      if (ca.z < kNearPlane && cb.z < kNearPlane) return std::nullopt;
      // At most one end is behind the plane; it moves to where the segment crosses it.
      const Vec3 crossing = ca + (cb - ca) * ((kNearPlane - ca.z) / (cb.z - ca.z));
      if (ca.z < kNearPlane) ca = crossing;
      if (cb.z < kNearPlane) cb = crossing;
    }
    return std::vector<Point2>{toScreen(ca), toScreen(cb)};
  }

  bool facesEye(Vec3 normal, Vec3 point) const {
    return perspective_ ? dot(normal, basis_.eye - point) > 0 : dot(normal, basis_.forward) < 0;
  }
  Vec3 eye() const { return basis_.eye; }

 private:
  static std::vector<Vec3> clipNear(const std::vector<Vec3>& in) {
    std::vector<Vec3> out;
    for (size_t i = 0; i < in.size(); ++i) {
      const Vec3& a = in[i];
      const Vec3& b = in[(i + 1) % in.size()];
      const bool aIn = a.z >= kNearPlane, bIn = b.z >= kNearPlane;
      if (aIn) out.push_back(a);
      if (aIn != bIn) out.push_back(a + (b - a) * ((kNearPlane - a.z) / (b.z - a.z)));
    }
    return out;
  }

  CameraBasis basis_;
  bool perspective_;
  double width_, height_, scale_;
};

Rgb scaled(Rgb c, double s) {
  return {c.r * s, c.g * s, c.b * s};
}
Rgb clamped(Rgb c) {
  return {std::clamp(c.r, 0.0, 1.0), std::clamp(c.g, 0.0, 1.0), std::clamp(c.b, 0.0, 1.0)};
}
double luminance(Rgb c) {
  return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}

Vec3 normalOf(const Face& face) {
  const auto& p = face.points;
  return normalised(cross(p[1] - p[0], p[2] - p[0]));
}

Vec3 centroidOf(const Face& face) {
  Vec3 sum;
  for (const Vec3& p : face.points) sum = sum + p;
  return sum * (1.0 / face.points.size());
}

void backdropOf(const RenderSettings& r, Rgb& top, Rgb& bottom) {
  if (r.backdropStyle == "studioDark") {
    top = {0.10, 0.10, 0.12};
    bottom = {0.23, 0.23, 0.26};
  } else if (r.backdropStyle == "warmPaper") {
    top = bottom = {0.96, 0.93, 0.86};
  } else if (r.backdropStyle == "customColor") {
    top = bottom = r.backdropColor;
  } else {
    top = {0.42, 0.62, 0.89};
    bottom = {0.86, 0.91, 0.97};
  }
}

class Composer {
 public:
  Composer(const ViewerState& state, double width, double height)
      : state_(state), r_(state.rendering), projector_(state.camera, width, height) {
    frame_.width = width;
    frame_.height = height;
    backdropOf(r_, frame_.backdropTop, frame_.backdropBottom);
    const bool darkBackdrop =
        luminance(scaled(frame_.backdropTop, 0.5)) + luminance(scaled(frame_.backdropBottom, 0.5)) <
        0.45;
    lineColour_ = darkBackdrop ? Rgb{0.88, 0.88, 0.9} : Rgb{0.12, 0.12, 0.14};
    unit_ = width / 800;  // line widths are designed for an 800-wide view
    sun_ = directionFrom(r_.sunAzimuth, r_.sunElevation);
  }

  Frame compose() {
    const SampleModel& model = sampleModel();
    const bool open = state_.file.has_value();
    const bool eyeBelowGround = projector_.eye().z < 0;
    const Face* ground = nullptr;
    if (open) {
      for (const Face& face : model.faces) {
        if (face.ground && visible(face)) ground = &face;
      }
    }
    if (ground && !eyeBelowGround) drawFaceGroup({ground});
    if (r_.grid) drawGrid();
    if (ground && !eyeBelowGround) drawShadows();
    if (r_.grid) drawGroundAxes();
    if (open) {
      drawModel();
    } else if (r_.grid) {
      drawUpAxis();
    }
    if (ground && eyeBelowGround) drawFaceGroup({ground});
    if (r_.lightGizmo) drawLightGizmo();
    return std::move(frame_);
  }

 private:
  bool visible(const Face& face) const {
    return face.layer < static_cast<int>(state_.layers.size()) && state_.layers[face.layer].visible;
  }

  Rgb albedoOf(const Face& face) const {
    if (r_.style == "clay") return face.ground ? Rgb{0.78, 0.78, 0.76} : Rgb{0.87, 0.86, 0.84};
    return sampleMaterials()[face.material].colour;
  }

  // Lambert shading under the active light, with ambient light that the
  // occlusion setting dims on surfaces that do not face the sky.
  Rgb shade(Rgb albedo, Vec3 normal, Vec3 point, bool lit) const {
    double diffuse = 0;
    if (lit && r_.lightingMode == "point") {
      const Vec3 toLight = r_.lightPosition - point;
      const double d = length(toLight);
      if (d > 0) {
        diffuse = std::max(0.0, dot(normal, toLight * (1 / d))) * r_.lightIntensity * 1.6 * 60 /
                  (60 + d * d);
      }
    } else if (lit) {
      diffuse = std::max(0.0, dot(normal, sun_)) * r_.sunIntensity;
    }
    const double occlusion = 1 - 0.15 * r_.ssao * (1 - std::max(0.0, normal.z));
    const double light = 0.55 * r_.ambientIntensity * occlusion + 0.6 * diffuse;
    const double gain = std::pow(2.0, state_.camera.exposure + 0.62);
    return clamped(scaled(albedo, light * gain));
  }

  void addFill(std::vector<Point2> points, Rgb colour, double opacity, double texture = 0) {
    frame_.shapes.push_back({std::move(points), colour, opacity, 0, texture});
  }

  void addLine(Vec3 a, Vec3 b, Rgb colour, double width, double opacity = 1) {
    if (auto points = projector_.segment(a, b)) {
      frame_.shapes.push_back({std::move(*points), colour, opacity, width * unit_});
    }
  }

  void drawOutline(const Face& face) {
    for (size_t i = 0; i < face.points.size(); ++i) {
      addLine(face.points[i], face.points[(i + 1) % face.points.size()], lineColour_, 1.1);
    }
  }

  void drawFaceGroup(const std::vector<const Face*>& group) {
    for (const Face* face : group) {
      if (r_.style != "wireframe") {
        if (auto projected = projector_.polygon(face->points)) {
          Vec3 normal = normalOf(*face);
          const Vec3 centre = centroidOf(*face);
          // Faces are two-sided: seen from behind, they are lit from behind.
          if (!projector_.facesEye(normal, centre)) normal = normal * -1;
          addFill(std::move(projected->first), shade(albedoOf(*face), normal, centre, true),
                  r_.style == "xray" ? 0.4 : 1.0, face->ground ? 0.16 : 0.1);
        }
      }
      if (r_.edges || r_.style == "wireframe") drawOutline(*face);
    }
  }

  void drawGrid() {
    const Rgb colour = lineColour_;
    for (int i = -15; i <= 15; ++i) {
      const double opacity = i == 0 ? 0 : (i % 5 == 0 ? 0.45 : 0.2);
      if (opacity == 0) continue;  // the axes take the zero lines
      addLine({double(i), -15, 0.005}, {double(i), 15, 0.005}, colour, 0.8, opacity);
      addLine({-15, double(i), 0.005}, {15, double(i), 0.005}, colour, 0.8, opacity);
    }
  }

  // The red and green axes lie on the ground, under everything else.
  void drawGroundAxes() {
    addLine({-15, 0, 0.01}, {0, 0, 0.01}, {0.85, 0.2, 0.2}, 0.9, 0.5);
    addLine({0, -15, 0.01}, {0, 0, 0.01}, {0.2, 0.65, 0.25}, 0.9, 0.5);
    addLine({0, 0, 0.01}, {15, 0, 0.01}, {0.85, 0.15, 0.15}, 1.8);
    addLine({0, 0, 0.01}, {0, 15, 0.01}, {0.15, 0.6, 0.2}, 1.8);
  }

  static constexpr Vec3 kUpAxisTop{0, 0, 8};
  void drawUpAxis() { addLine({0, 0, 0}, kUpAxisTop, {0.15, 0.3, 0.9}, 1.8); }

  // Sun shadows of the visible model cast straight onto the ground plane.
  void drawShadows() {
    if (!r_.shadows || r_.lightingMode != "sun" || r_.style == "wireframe" || r_.style == "xray" ||
        sun_.z <= 0) {
      return;
    }
    const Face* ground = nullptr;
    for (const Face& face : sampleModel().faces) {
      if (face.ground) ground = &face;
    }
    const Rgb colour = shade(albedoOf(*ground), {0, 0, 1}, {0, 0, 0}, false);
    for (const Face& face : sampleModel().faces) {
      if (face.ground || face.decalOf >= 0 || !visible(face)) continue;
      std::vector<Vec3> cast;
      for (const Vec3& p : face.points)
        cast.push_back(p - sun_ * (p.z / sun_.z) + Vec3{0, 0, 0.01});
      if (auto projected = projector_.polygon(cast))
        addFill(std::move(projected->first), colour, 1, 0.16);
    }
  }

  void drawModel() {
    const std::vector<Face>& faces = sampleModel().faces;
    std::map<int, std::vector<int>> decals;
    for (size_t i = 0; i < faces.size(); ++i) {
      if (faces[i].decalOf >= 0) decals[faces[i].decalOf].push_back(static_cast<int>(i));
    }
    // Painter's order: whole groups far to near, a face's decals right after
    // it. The blue axis stands among the faces, so it is sorted with them.
    // An empty group stands for the axis.
    std::vector<std::pair<double, std::vector<const Face*>>> groups;
    if (r_.grid) groups.push_back({projector_.toCamera(kUpAxisTop * 0.5).z, {}});
    auto depthOf = [&](const Face& face) {
      auto projected = projector_.polygon(face.points);
      return projected ? std::optional<double>(projected->second) : std::nullopt;
    };
    auto decalShows = [&](const Face& decal) {
      return visible(decal) && projector_.facesEye(normalOf(decal), centroidOf(decal));
    };
    for (size_t i = 0; i < faces.size(); ++i) {
      const Face& face = faces[i];
      if (face.ground) continue;
      if (face.decalOf >= 0) {
        // A window whose wall is hidden still shows, on its own.
        if (!visible(faces[face.decalOf]) && decalShows(face)) {
          if (auto depth = depthOf(face)) groups.push_back({*depth, {&face}});
        }
        continue;
      }
      if (!visible(face)) continue;
      auto depth = depthOf(face);
      if (!depth) continue;
      std::vector<const Face*> group{&face};
      for (int d : decals[static_cast<int>(i)]) {
        if (decalShows(faces[d])) group.push_back(&faces[d]);
      }
      groups.push_back({*depth, std::move(group)});
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& group : groups) {
      if (group.second.empty()) {
        drawUpAxis();
      } else {
        drawFaceGroup(group.second);
      }
    }
  }

  void drawLightGizmo() {
    const Vec3 p = r_.lightPosition;
    const double s = 0.35;
    const std::vector<std::vector<Vec3>> diamond = {
        {p + Vec3{-s, 0, 0}, p + Vec3{0, 0, -s}, p + Vec3{s, 0, 0}, p + Vec3{0, 0, s}},
        {p + Vec3{0, -s, 0}, p + Vec3{0, 0, -s}, p + Vec3{0, s, 0}, p + Vec3{0, 0, s}},
    };
    for (const auto& quad : diamond) {
      if (auto projected = projector_.polygon(quad)) {
        addFill(std::move(projected->first), {1.0, 0.82, 0.2}, 1);
      }
    }
    addLine(p, {p.x, p.y, 0}, {1.0, 0.82, 0.2}, 0.8, 0.7);
  }

  const ViewerState& state_;
  const RenderSettings& r_;
  Projector projector_;
  Frame frame_;
  Rgb lineColour_;
  double unit_ = 1;
  Vec3 sun_;
};

// A stroked segment as the quadrilateral it covers.
std::vector<Point2> thickSegment(Point2 a, Point2 b, double width) {
  double dx = b.x - a.x, dy = b.y - a.y;
  const double l = std::hypot(dx, dy);
  if (l == 0) {
    dx = 1;
    dy = 0;
  } else {
    dx /= l;
    dy /= l;
  }
  const double h = width / 2;
  // Half a width of overshoot at both ends joins consecutive segments.
  const Point2 s{a.x - dx * h, a.y - dy * h}, e{b.x + dx * h, b.y + dy * h};
  return {{s.x - dy * h, s.y + dx * h},
          {e.x - dy * h, e.y + dx * h},
          {e.x + dy * h, e.y - dx * h},
          {s.x + dy * h, s.y - dx * h}};
}

// A repeatable value in [0, 1) for a lattice point: the same picture for the
// same state, run after run.
float latticeValue(int x, int y, uint32_t seed) {
  uint32_t h = uint32_t(x) * 0x8DA6B343u ^ uint32_t(y) * 0xD8163841u ^ seed * 0xCB1AB31Fu;
  h ^= h >> 13;
  h *= 0x5BD1E995u;
  h ^= h >> 15;
  return float(h & 0xFFFFFF) / float(1 << 24);
}

// Smooth value noise in [0, 1), varying over cells of `cell` samples.
float valueNoise(float x, float y, float cell, uint32_t seed) {
  const float fx = x / cell, fy = y / cell;
  const int ix = static_cast<int>(std::floor(fx)), iy = static_cast<int>(std::floor(fy));
  float tx = fx - float(ix), ty = fy - float(iy);
  tx = tx * tx * (3 - 2 * tx);
  ty = ty * ty * (3 - 2 * ty);
  const float top = latticeValue(ix, iy, seed) * (1 - tx) + latticeValue(ix + 1, iy, seed) * tx;
  const float bottom =
      latticeValue(ix, iy + 1, seed) * (1 - tx) + latticeValue(ix + 1, iy + 1, seed) * tx;
  return top * (1 - ty) + bottom * ty;
}

// Levels of noise in every pixel, at most.
constexpr double kGrain = 0.15;

// A band of sample rows [top, top + rows) of a canvas `width` samples wide.
// Painting goes band by band so that a supersampled snapshot needs a small
// buffer instead of one the size of the whole enlarged picture.
class Band {
 public:
  Band(int width, int rows)
      : width_(width), rows_(rows), rgb_(size_t(width) * rows * 3), texture_(size_t(width) * rows) {}

  void moveTo(int top) { top_ = top; }
  int top() const { return top_; }

  void fillRow(int y, Rgb c) {
    for (int x = 0; x < width_; ++x) set(x, y, c, 1, 0);
  }

  // Even-odd scanline fill, sampling at pixel centres; `texture` is the
  // share by which the surface's colour varies.
  void fill(const std::vector<Point2>& points, Rgb c, double opacity, double texture) {
    double high = 1e300, low = -1e300;
    for (const Point2& p : points) {
      high = std::min(high, p.y);
      low = std::max(low, p.y);
    }
    const int first = std::max(top_, static_cast<int>(std::floor(high)));
    const int last = std::min(top_ + rows_ - 1, static_cast<int>(std::ceil(low)));
    std::vector<double> crossings;
    for (int row = first; row <= last; ++row) {
      const double y = row + 0.5;
      crossings.clear();
      for (size_t i = 0; i < points.size(); ++i) {
        const Point2& p = points[i];
        const Point2& q = points[(i + 1) % points.size()];
        if ((p.y <= y && q.y > y) || (q.y <= y && p.y > y)) {
          crossings.push_back(p.x + (y - p.y) * (q.x - p.x) / (q.y - p.y));
        }
      }
      std::sort(crossings.begin(), crossings.end());
      for (size_t i = 0; i + 1 < crossings.size(); i += 2) {
        const double from = std::clamp(std::ceil(crossings[i] - 0.5), 0.0, double(width_));
        const double to = std::clamp(std::ceil(crossings[i + 1] - 0.5), 0.0, double(width_));
        for (int x = static_cast<int>(from); x < static_cast<int>(to); ++x) {
          set(x, row, c, opacity, texture);
        }
      }
    }
  }

  // Averages factor x factor samples into each pixel of `image`, for the
  // image rows this band covers, and gives each pixel its surface's texture
  // and the renderer's noise.
  void downsampleInto(RgbImage& image, int factor) const {
    const double samples = factor * factor;
    // Blotches a few dozen pixels wide with a fine grain on top, sized by the
    // canvas, so that every size shows the same surfaces.
    const float coarse = float(image.width) / 90, fine = float(image.width) / 700;
    for (int y = top_ / factor; y < (top_ + rows_) / factor && y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) {
        double sum[3] = {0, 0, 0}, texture = 0;
        for (int sy = 0; sy < factor; ++sy) {
          const size_t row = size_t(y * factor + sy - top_);
          for (int sx = 0; sx < factor; ++sx) {
            const size_t at = row * width_ + (x * factor + sx);
            for (int channel = 0; channel < 3; ++channel) sum[channel] += rgb_[at * 3 + channel];
            texture += texture_[at];
          }
        }
        double shade = 1;
        if (texture > 0) {
          const float grain = 0.6f * valueNoise(float(x), float(y), coarse, 1) +
                              0.4f * valueNoise(float(x), float(y), fine, 2);
          shade = 1 + texture / samples * (2 * grain - 1);
        }
        for (int channel = 0; channel < 3; ++channel) {
          // A renderer's faint noise: a level up or down here and there.
          const double noise = kGrain * (2 * latticeValue(x * 3 + channel, y, 3) - 1);
          image.at(x, y)[channel] = static_cast<uint8_t>(std::lround(
              std::clamp(sum[channel] / samples * shade * 255 + noise, 0.0, 255.0)));
        }
      }
    }
  }

 private:
  void set(int x, int y, Rgb c, double opacity, double texture) {
    const size_t at = size_t(y - top_) * width_ + x;
    float* p = &rgb_[at * 3];
    const auto a = static_cast<float>(opacity);
    p[0] = p[0] * (1 - a) + static_cast<float>(c.r) * a;
    p[1] = p[1] * (1 - a) + static_cast<float>(c.g) * a;
    p[2] = p[2] * (1 - a) + static_cast<float>(c.b) * a;
    texture_[at] = texture_[at] * (1 - a) + static_cast<float>(texture) * a;
  }

  int width_, rows_, top_ = 0;
  std::vector<float> rgb_;
  std::vector<float> texture_;  // each sample's surface texture
};

Rgb mix(Rgb a, Rgb b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

}  // namespace

Frame composeFrame(const ViewerState& state, double width, double height) {
  return Composer(state, width, height).compose();
}

RgbImage rasterise(const Frame& frame, int supersampling) {
  const int s = std::max(1, supersampling);
  RgbImage image(static_cast<int>(std::lround(frame.width)),
                 static_cast<int>(std::lround(frame.height)));
  const int width = image.width * s;
  const int height = image.height * s;

  // Shapes in sample coordinates, strokes already widened to polygons.
  std::vector<std::pair<std::vector<Point2>, const Shape*>> polygons;
  for (const Shape& shape : frame.shapes) {
    std::vector<Point2> points;
    for (const Point2& p : shape.points) points.push_back({p.x * s, p.y * s});
    if (shape.lineWidth > 0) {
      for (size_t i = 0; i + 1 < points.size(); ++i) {
        polygons.push_back({thickSegment(points[i], points[i + 1], shape.lineWidth * s), &shape});
      }
    } else {
      polygons.push_back({std::move(points), &shape});
    }
  }

  constexpr int kBandPixels = 32;  // image rows per band
  Band band(width, kBandPixels * s);
  for (int top = 0; top < height; top += kBandPixels * s) {
    band.moveTo(top);
    for (int y = top; y < top + kBandPixels * s; ++y) {
      const double t = height > 1 ? double(std::min(y, height - 1)) / (height - 1) : 0;
      band.fillRow(y, mix(frame.backdropTop, frame.backdropBottom, t));
    }
    for (const auto& [points, shape] : polygons) {
      band.fill(points, shape->colour, shape->opacity, shape->texture);
    }
    band.downsampleInto(image, s);
  }
  return image;
}

std::string framePDF(const Frame& frame, const std::string& title, const std::string& caption) {
  PdfPage page;
  page.width = frame.width;
  page.height = frame.height;
  page.title = title;
  std::string& out = page.content;
  auto colour = [](Rgb c, const char* op) {
    return pdfNumber(c.r) + " " + pdfNumber(c.g) + " " + pdfNumber(c.b) + " " + op + "\n";
  };
  auto point = [&](Point2 p) { return pdfNumber(p.x) + " " + pdfNumber(frame.height - p.y); };

  // The gradient as bands: still vector, and indistinguishable when printed.
  constexpr int kBands = 64;
  const bool flat = frame.backdropTop.r == frame.backdropBottom.r &&
                    frame.backdropTop.g == frame.backdropBottom.g &&
                    frame.backdropTop.b == frame.backdropBottom.b;
  const int bands = flat ? 1 : kBands;
  for (int i = 0; i < bands; ++i) {
    const double y0 = frame.height * i / bands;
    const double y1 = frame.height * (i + 1) / bands;
    out += colour(mix(frame.backdropTop, frame.backdropBottom, bands > 1 ? (i + 0.5) / bands : 0),
                  "rg");
    // Each band overlaps the next a little so no hairline gap shows.
    out += "0 " + pdfNumber(frame.height - y1 - (i + 1 < bands ? 0.5 : 0)) + " " +
           pdfNumber(frame.width) + " " + pdfNumber(y1 - y0 + (i + 1 < bands ? 0.5 : 0)) +
           " re f\n";
  }
  out += "1 J 1 j\n";
  for (const Shape& shape : frame.shapes) {
    if (shape.points.size() < 2) continue;
    const bool translucent = shape.opacity < 1;
    if (translucent) {
      const std::string name = "A" + std::to_string(std::lround(shape.opacity * 100));
      page.opacityStates[name] = shape.opacity;
      out += "q /" + name + " gs\n";
    }
    std::string path = point(shape.points[0]) + " m\n";
    for (size_t i = 1; i < shape.points.size(); ++i) path += point(shape.points[i]) + " l\n";
    if (shape.lineWidth > 0) {
      out += colour(shape.colour, "RG") + pdfNumber(shape.lineWidth) + " w\n" + path + "S\n";
    } else {
      out += colour(shape.colour, "rg") + path + "h f\n";
    }
    if (translucent) out += "Q\n";
  }
  const Rgb ink =
      luminance(frame.backdropBottom) < 0.45 ? Rgb{0.9, 0.9, 0.9} : Rgb{0.15, 0.15, 0.15};
  out += "BT /" + std::string(kPdfFontName) + " 9 Tf " + colour(ink, "rg") + "18 14 Td " +
         pdfLiteral(caption) + " Tj ET";
  return writePDF(page);
}

}  // namespace quillon::demo
