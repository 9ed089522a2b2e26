// Draws the viewer's state as the viewport would show it: the camera projects
// the sample model, the rendering settings shade it, and the result is a list
// of flat 2-D shapes in painting order. The same list becomes the PNG
// snapshot (rasterised) and the vector PDF (written as paths), so both follow
// the state alike.
//
// Pure functions over values; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model.hpp"
#include "pdf.hpp"

namespace quillon::demo {

// Three bytes per pixel (red, green, blue), rows top to bottom.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;

  RgbImage() = default;
  RgbImage(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h * 3, 0) {}

  uint8_t* at(int x, int y) { return &pixels[(static_cast<size_t>(y) * width + x) * 3]; }
  const uint8_t* at(int x, int y) const {
    return &pixels[(static_cast<size_t>(y) * width + x) * 3];
  }
};

struct Point2 {
  double x = 0, y = 0;  // page units, origin top left, y down
};

struct Shape {
  std::vector<Point2> points;
  Rgb colour;
  double opacity = 1;
  double lineWidth = 0;  // 0 fills the polygon; above 0 strokes the open polyline
  // How much a fill's surface varies, as a share of its colour: the grain of
  // brick, shingle and grass in the PNG (the PDF stays flat).
  double texture = 0;
};

struct Frame {
  double width = 0, height = 0;
  Rgb backdropTop, backdropBottom;  // vertical gradient behind everything
  std::vector<Shape> shapes;        // back to front
};

// The viewport of `state` on a canvas of the given size (pixels or points).
Frame composeFrame(const ViewerState& state, double width, double height);

// Paints `frame` into an image of its size, sampling each pixel
// `supersampling` squared times to smooth the edges. Surfaces get their
// texture and every pixel a renderer's faint noise, so that the picture
// packs into a PNG like a real render rather than like flat colour.
RgbImage rasterise(const Frame& frame, int supersampling = 2);

// A one-page PDF of `frame` at its size in points, titled `title`, with a
// caption line at the bottom of the page.
std::string framePDF(const Frame& frame, const std::string& title, const std::string& caption);

}  // namespace quillon::demo
