// An RGB raster and its PNG encoding, for the demo viewer's snapshots.
//
// The encoder writes 8-bit truecolour PNG with zlib's deflate and CRC-32, so
// that any image viewer (and the assistant's host) can open the result. Plain
// values and pure functions: safe to use from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// The complete PNG file. Each row gets the filter that makes it smallest
// (the usual sum-of-absolute-differences guess), which keeps flat backdrops
// and gradients to a few kilobytes. Throws std::runtime_error when zlib fails
// and std::invalid_argument for an empty or inconsistent image.
std::string encodePNG(const RgbImage& image);

}  // namespace quillon::demo
