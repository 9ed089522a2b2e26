#include "png.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "png_reader.hpp"

namespace quillon::demo {
namespace {

// Flat areas, gradients and noise, so that the encoder picks several of the
// row filters and the round trip checks each one it picked.
RgbImage mixedImage(int width, int height) {
  RgbImage image(width, height);
  uint32_t noise = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = image.at(x, y);
      if (y < height / 3) {
        p[0] = 200, p[1] = 120, p[2] = 40;
      } else if (y < 2 * height / 3) {
        p[0] = static_cast<uint8_t>(x * 3), p[1] = static_cast<uint8_t>(y * 2),
        p[2] = static_cast<uint8_t>(x + y);
      } else {
        noise = noise * 1103515245 + 12345;
        p[0] = static_cast<uint8_t>(noise >> 16), p[1] = static_cast<uint8_t>(noise >> 8),
        p[2] = static_cast<uint8_t>(noise >> 24);
      }
    }
  }
  return image;
}

TEST(EncodePNG, DecodesBackToTheSamePixels) {
  for (const auto& [width, height] : {std::pair{1, 1}, std::pair{7, 3}, std::pair{173, 95}}) {
    const RgbImage image = mixedImage(width, height);
    const testing::DecodedPNG png = testing::decodePNG(encodePNG(image));
    ASSERT_EQ(png.error, "") << width << "x" << height;
    EXPECT_EQ(png.width, width);
    EXPECT_EQ(png.height, height);
    EXPECT_EQ(png.rgb, image.pixels) << width << "x" << height;
  }
}

TEST(EncodePNG, ChoosesRowFiltersByContent) {
  const testing::DecodedPNG png = testing::decodePNG(encodePNG(mixedImage(173, 95)));
  ASSERT_EQ(png.error, "");
  int kinds = 0;
  for (const int rows : png.filterUse) kinds += rows > 0 ? 1 : 0;
  EXPECT_GE(kinds, 2) << "one filter for flat, gradient and noisy rows alike";
}

TEST(EncodePNG, WritesHeaderDataAndEndChunksOnly) {
  const testing::DecodedPNG png = testing::decodePNG(encodePNG(mixedImage(10, 10)));
  ASSERT_EQ(png.error, "");
  EXPECT_EQ(png.chunkTypes, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
}

TEST(EncodePNG, CompressesAFlatViewportToAFewKilobytes) {
  RgbImage image(800, 500);
  for (size_t i = 0; i < image.pixels.size(); i += 3) {
    image.pixels[i] = 90, image.pixels[i + 1] = 140, image.pixels[i + 2] = 220;
  }
  const std::string png = encodePNG(image);
  EXPECT_LT(png.size(), 4000u);
  EXPECT_EQ(testing::decodePNG(png).pixel(799, 499), (std::array<uint8_t, 3>{90, 140, 220}));
}

TEST(EncodePNG, RefusesEmptyOrInconsistentImages) {
  EXPECT_THROW(encodePNG(RgbImage()), std::invalid_argument);
  RgbImage wrong(4, 4);
  wrong.pixels.pop_back();
  EXPECT_THROW(encodePNG(wrong), std::invalid_argument);
}

}  // namespace
}  // namespace quillon::demo
