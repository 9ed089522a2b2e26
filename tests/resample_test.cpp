// Area averaging: each output pixel is the mean of the area it covers, so a
// thin line survives as grey; transparent pixels lend no colour; and a
// render comes out as ImageMagick's own resize makes it.
#include <gtest/gtest.h>

#include <stdexcept>

#include "resample.hpp"
#include "support/harness.hpp"
#include "support/pictures.hpp"

namespace quillon::test {
namespace {

Picture scaled(const Picture& source, uint32_t width, uint32_t height) {
  BoxResampler resampler(source.width, source.height, width, height, source.channels);
  Picture out{width, height, source.channels, std::vector<uint8_t>(size_t(width) * height * source.channels)};
  uint32_t y = 0;
  for (uint32_t row = 0; row < source.height; ++row) {
    if (resampler.push(&source.pixels[size_t(row) * source.width * source.channels], out.at(0, y))) ++y;
  }
  EXPECT_EQ(y, height) << "rows given out";
  return out;
}

TEST(BoxResampler, AveragesTheAreaEachOutputPixelCovers) {
  const struct {
    const char* name;
    Picture source;
    uint32_t width, height;
    std::vector<uint8_t> expected;
  } cases[] = {
      // Picking pixels would give black or white, and lose every line.
      {"one-pixel lines, halved", {4, 1, 1, {0, 255, 0, 255}}, 2, 1, {128, 128}},
      {"thirds across", {3, 1, 1, {0, 90, 180}}, 2, 1, {30, 150}},
      {"thirds down", {1, 3, 1, {0, 90, 180}}, 1, 2, {30, 150}},
      {"a flat colour stays exact at any ratio", {7, 5, 3, std::vector<uint8_t>(105, 77)}, 3, 2,
       std::vector<uint8_t>(18, 77)},
      {"the same size is the same picture", {2, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8}}, 2, 2,
       {1, 2, 3, 4, 5, 6, 7, 8}},
      // Half transparent red and opaque blue: blue, half covered.
      {"colour weighed by alpha", {2, 1, 4, {255, 0, 0, 0, 0, 0, 255, 255}}, 1, 1, {0, 0, 255, 128}},
      {"all transparent", {2, 1, 2, {200, 0, 100, 0}}, 1, 1, {0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(scaled(c.source, c.width, c.height).pixels, c.expected);
  }
  EXPECT_THROW(BoxResampler(2, 2, 3, 2, 1), std::invalid_argument);
  EXPECT_THROW(BoxResampler(2, 2, 2, 0, 1), std::invalid_argument);
}

TEST(BoxResampler, ScalesARenderAsImageMagicksResizeDoes) {
  if (!haveImageMagick()) GTEST_SKIP() << "ImageMagick is not installed (Debian: imagemagick)";
  const Picture render = renderLike(900, 560);
  const std::string file = ::testing::TempDir() + "quillon-render.png";
  std::ofstream(file, std::ios::binary) << pngOf(render);
  // Pixels, not bytes: another zlib packs the same pixels otherwise.
  for (const auto& [width, height] : {std::pair{451u, 281u}, std::pair{238u, 149u}}) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height) + "!";
    const std::optional<std::string> theirs = imageMagick({file, "-resize", size, "PNG24:-"});
    ASSERT_TRUE(theirs);
    EXPECT_LE(normalisedRMSE(scaled(render, width, height), readPicture(*theirs)), 0.04) << size;
  }
}

}  // namespace
}  // namespace quillon::test
