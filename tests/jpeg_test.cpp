// The JPEG writer, decoded by libjpeg against the rows it was given: every
// channel count, at sizes just over and under whole blocks, from quality 1
// to 100; ICC profiles; the size estimate against the files written; and the
// header reader on good and broken files.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <tuple>

#include "jpeg_writer.hpp"
#include "resample.hpp"
#include "support/pictures.hpp"

namespace quillon::test {
namespace {

constexpr const char* kNoLibjpeg =
    "libjpeg is not installed here (Debian: libjpeg62-turbo-dev; macOS: brew install jpeg-turbo)";

std::string encode(const Picture& picture, int quality, std::string_view iccProfile = {}) {
  JPEGWriter writer(picture.width, picture.height, picture.channels, quality, iccProfile);
  for (uint32_t y = 0; y < picture.height; ++y) {
    writer.writeRow(&picture.pixels[size_t(y) * picture.width * picture.channels]);
  }
  return writer.finish();
}

// One colour all over: whatever a block holds past the picture's edges
// shows in it at once, as does a fault in the chroma.
Picture flat(uint32_t width, uint32_t height, int channels) {
  const uint8_t pixel[2][4] = {{200, 128}, {200, 60, 30, 128}};
  Picture picture{width, height, channels, {}};
  for (size_t i = 0; i < size_t(width) * height * channels; ++i) {
    picture.pixels.push_back(pixel[channels >= 3][i % channels]);
  }
  return picture;
}

TEST(JPEGWriter, DecodesCloseToItsRowsAtEverySizeChannelCountAndQuality) {
  if (!haveLibjpeg()) GTEST_SKIP() << kNoLibjpeg;
  // A render's bounds are about 15% over the writer's worst; a flat colour
  // comes back within 1 from quality 50 on. Black or grey past the edges,
  // truncated coefficients, a wrong colour or DCT factor each go past them.
  const struct {
    int quality;
    double rmse;
    int maxError, flatError;
  } qualities[] = {
      {1, 0.19, 150, 20}, {50, 0.065, 56, 2},  {75, 0.034, 36, 2},
      {90, 0.019, 23, 2}, {100, 0.0035, 4, 2},
  };
  const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},  {7, 9},   {17, 33}, {8, 8},
                                                 {9, 17}, {16, 16}, {33, 17}};
  const auto maxError = [](const Picture& a, const Picture& b) {
    int worst = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) {
      worst = std::max(worst, std::abs(a.pixels[i] - b.pixels[i]));
    }
    return worst;
  };
  for (const auto& q : qualities) {
    for (const auto& [width, height] : sizes) {
      for (int channels = 1; channels <= 4; ++channels) {
        SCOPED_TRACE(testing::Message() << "quality " << q.quality << ", " << width << "x" << height
                                        << "x" << channels);
        // Both pictures give their colour samples alike, whatever alpha
        // follows them: what the decoder must give back.
        const int colours = channels % 2 == 0 ? channels - 1 : channels;
        const Picture decoded = readJPEG(encode(renderLike(width, height, channels), q.quality));
        const Picture render = renderLike(width, height, colours);
        ASSERT_EQ(std::tuple(decoded.width, decoded.height, decoded.channels),
                  std::tuple(width, height, colours));
        EXPECT_LE(normalisedRMSE(decoded, render), q.rmse);
        EXPECT_LE(maxError(decoded, render), q.maxError);
        EXPECT_LE(maxError(readJPEG(encode(flat(width, height, channels), q.quality)),
                           flat(width, height, colours)),
                  q.flatError);
      }
    }
  }
}

// What is sent: a render scaled down from a Retina viewport's size, whose
// per-pixel noise the scaling has averaged.
TEST(JPEGWriter, KeepsAScaledRenderAt40dBAtQuality90) {
  if (!haveLibjpeg()) GTEST_SKIP() << kNoLibjpeg;
  for (const int channels : {1, 3}) {
    const Picture viewport = renderLike(1440, 900, channels);
    Picture render{1000, 625, channels, std::vector<uint8_t>(size_t(1000) * 625 * channels)};
    BoxResampler resampler(1440, 900, 1000, 625, channels);
    for (uint32_t y = 0, out = 0; y < 900; ++y) {
      out += resampler.push(&viewport.pixels[size_t(y) * 1440 * channels], render.at(0, out));
    }
    const double rmse = normalisedRMSE(readJPEG(encode(render, 90)), render);
    EXPECT_GE(-20 * std::log10(rmse), 40.0) << channels << " channels";
  }
}

TEST(JPEGWriter, CarriesAnICCProfileWholeAcrossSegments) {
  if (!haveLibjpeg()) GTEST_SKIP() << kNoLibjpeg;
  const struct {
    size_t bytes, segments;
  } cases[] = {{0, 0}, {560, 1}, {65519, 1}, {65520, 2}, {150000, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::string profile(c.bytes, '\0'), read;
    for (size_t i = 0; i < c.bytes; ++i) profile[i] = char(i * 7 % 251);
    const std::string jpeg = encode(flat(9, 9, 3), 90, profile);
    readJPEG(jpeg, &read);
    EXPECT_TRUE(read == profile) << read.size() << " bytes read";
    size_t segments = 0;
    for (size_t at = 0; (at = jpeg.find("ICC_PROFILE", at)) != std::string::npos; ++at) ++segments;
    EXPECT_EQ(segments, c.segments);
  }
}

// The files grow with quality, and the estimate follows them.
TEST(JPEGSizeEstimate, MatchesTheWrittenSizeWholeAndSampled) {
  const struct {
    const char* name;
    Picture picture;
    bool whole;  // every band read, else the sample the fitting reads
    size_t iccBytes;
    double tolerance;  // a share of the real size
  } cases[] = {
      {"grey, every band", renderLike(61, 37, 1), true, 0, 0},
      {"RGBA with a profile, every band", renderLike(203, 45, 4), true, 70000, 0},
      {"a render, sampled", renderLike(640, 400), false, 0, 0.05},
      {"grey with a profile, sampled", renderLike(640, 400, 1), false, 3000, 0.05},
      // Rows that repeat line up with no sample: reading every 4th band
      // made this ruled text about twice its size, or 0.4 of it.
      {"ruled text every 32 px, sampled", ruledText(640, 400, 32, 0), false, 0, 0.05},
      {"ruled text every 32 px from 16 down, sampled", ruledText(640, 400, 32, 16), false, 0, 0.05},
  };
  for (const auto& c : cases) {
    const Picture& p = c.picture;
    JPEGSizeEstimate estimate(p.width, p.height, p.channels, c.whole, c.iccBytes);
    for (uint32_t y = 0; y < p.height; ++y) {
      estimate.writeRow(&p.pixels[size_t(y) * p.width * p.channels]);
    }
    double smaller = 0;
    for (const int quality : {1, 30, 60, 80, 90, 95, 100}) {
      const double real = double(encode(p, quality, std::string(c.iccBytes, 'p')).size());
      EXPECT_GT(real, smaller) << c.name << " at quality " << quality;
      EXPECT_LE(std::abs(double(estimate.bytes(quality)) - real), c.tolerance * real)
          << c.name << " at quality " << quality;
      smaller = real;
    }
  }
}

TEST(ReadJPEGHeader, ReadsTheFrameHeaderOrNothing) {
  const std::string rgb = encode(renderLike(33, 17), 75);
  const size_t frame = rgb.find("\xFF\xC0");
  const struct {
    const char* name;
    std::string file;
    std::optional<JPEGHeader> header;
  } cases[] = {
      {"colour", rgb, JPEGHeader{33, 17, 3}},
      {"grey and alpha", encode(renderLike(5, 70, 2), 75), JPEGHeader{5, 70, 1}},
      // Progressive, after a DHT, whose marker falls among the frames'.
      {"SOF2", std::string("\xFF\xD8\xFF\xC4\0\4\1\2\xFF\xC2\0\x0B\x08\0\2\0\3\1\1\x11\0", 21),
       JPEGHeader{3, 2, 1}},
      {"empty", "", std::nullopt},
      {"cut before the frame header", rgb.substr(0, frame), std::nullopt},
      {"cut inside the frame header", rgb.substr(0, frame + 9), std::nullopt},
      {"a PNG", pngOf(renderLike(4, 4)), std::nullopt},
      // A frame header inside the scan is data, not a frame.
      {"scan data before any frame",
       std::string("\xFF\xD8\xFF\xDA\0\2\xFF\xC0\0\x0B\x08\0\2\0\3\1\1\x11\0", 19), std::nullopt},
      {"no marker where one belongs", "\xFF\xD8" + std::string("A\0\2", 3) + rgb.substr(frame, 11),
       std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(readJPEGHeader(c.file), c.header) << c.name;
}

}  // namespace
}  // namespace quillon::test
