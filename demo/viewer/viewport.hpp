// Draws the viewer's state as the viewport would show it: the camera projects
// the sample model, the rendering settings shade it, and the result is a list
// of flat 2-D shapes in painting order. The same list becomes the PNG
// snapshot (rasterised) and the vector PDF (written as paths), so both follow
// the state alike.
//
// Pure functions over values; safe from any thread.
#pragma once

#include <string>
#include <vector>

#include "model.hpp"
#include "pdf.hpp"
#include "png.hpp"

namespace quillon::demo {

struct Point2 {
  double x = 0, y = 0;  // page units, origin top left, y down
};

struct Shape {
  std::vector<Point2> points;
  Rgb colour;
  double opacity = 1;
  double lineWidth = 0;  // 0 fills the polygon; above 0 strokes the open polyline
};

struct Frame {
  double width = 0, height = 0;
  Rgb backdropTop, backdropBottom;  // vertical gradient behind everything
  std::vector<Shape> shapes;        // back to front
};

// The viewport of `state` on a canvas of the given size (pixels or points).
Frame composeFrame(const ViewerState& state, double width, double height);

// Paints `frame` into an image of its size, sampling each pixel
// `supersampling` squared times to smooth the edges.
RgbImage rasterise(const Frame& frame, int supersampling = 2);

// A one-page PDF of `frame` at its size in points, titled `title`, with a
// caption line at the bottom of the page.
std::string framePDF(const Frame& frame, const std::string& title, const std::string& caption);

}  // namespace quillon::demo
