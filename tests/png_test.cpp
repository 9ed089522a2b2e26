// The PNG reader on pictures of every kind a viewer may send, against their
// pixels and against ImageMagick, and on broken and hostile ones; the writer
// by reading back what it wrote.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "png_reader.hpp"
#include "png_writer.hpp"
#include "support/harness.hpp"
#include "support/pictures.hpp"

namespace quillon::test {
namespace {

const std::string kFixtures = QUILLON_TEST_DATA "/png/";

// The fixtures' pixels, as scripts/png-fixtures writes them.
uint32_t sample(uint32_t x, uint32_t y, uint32_t c, int bits) {
  return ((x * 73856093u) ^ (y * 19349663u) ^ (c * 83492791u)) & ((1u << bits) - 1);
}
uint8_t level(uint32_t value, int bits) {
  return bits == 16 ? uint8_t((value * 255 + 32767) / 65535)
                    : uint8_t(value * 255 / ((1u << bits) - 1));
}

struct Fixture {
  const char* name;
  int colourType, depth, channels;
};
constexpr Fixture kFixtureRows[] = {
    {"grey1", 0, 1, 1},     {"grey2", 0, 2, 2},      {"grey4", 0, 4, 1},
    {"grey8", 0, 8, 1},     {"grey16", 0, 16, 1},    {"rgb8", 2, 8, 3},
    {"rgb16", 2, 16, 4},    {"palette1", 3, 1, 3},   {"palette2", 3, 2, 3},
    {"palette4", 3, 4, 4},  {"palette8", 3, 8, 3},   {"greyalpha8", 4, 8, 2},
    {"greyalpha16", 4, 16, 2}, {"rgba8", 6, 8, 4},   {"rgba16", 6, 16, 4},
};

// What the reader must give for the fixture's pixel: palettes expanded,
// 16 bits rounded to 8, and tRNS (grey2, rgb16, palette4) as alpha.
std::vector<uint8_t> expectedPixel(const Fixture& f, uint32_t x, uint32_t y) {
  std::vector<uint8_t> pixel;
  if (f.colourType == 3) {
    const uint32_t k = sample(x, y, 0, f.depth);
    pixel = {uint8_t(k * 37 + 11), uint8_t(k * 91 + 7), uint8_t(k * 143 + 3)};
    if (f.channels == 4) pixel.push_back(k < 10 ? uint8_t(k * 25) : 255);
    return pixel;
  }
  const int stored = f.colourType == 0 ? 1 : f.colourType == 2 ? 3 : f.colourType == 4 ? 2 : 4;
  bool keyed = f.channels > stored;
  for (int c = 0; c < stored; ++c) {
    pixel.push_back(level(sample(x, y, c, f.depth), f.depth));
    keyed = keyed && sample(x, y, c, f.depth) == sample(3, 2, c, f.depth);
  }
  if (f.channels > stored) pixel.push_back(keyed ? 0 : 255);
  return pixel;
}

TEST(PNGReader, ReadsEveryColourTypeDepthAndInterlacingAsItsPixels) {
  for (const Fixture& f : kFixtureRows) {
    for (const std::string suffix : {"", "-adam7"}) {
      SCOPED_TRACE(f.name + suffix);
      const std::string file = readFile(kFixtures + f.name + suffix + ".png");
      PNGReader reader(file);
      EXPECT_EQ(reader.header().width, 19u);
      EXPECT_EQ(reader.header().interlaced, !suffix.empty());
      ASSERT_EQ(reader.channels(), f.channels);
      std::vector<uint8_t> row(19 * f.channels);
      for (uint32_t y = 0; y < 11; ++y) {
        reader.readRow(row.data());
        for (uint32_t x = 0; x < 19; ++x) {
          const std::vector<uint8_t> got(row.begin() + x * f.channels,
                                         row.begin() + (x + 1) * f.channels);
          ASSERT_EQ(got, expectedPixel(f, x, y)) << "at " << x << "," << y;
        }
      }
      EXPECT_THROW(reader.readRow(row.data()), PNGError);
    }
  }
  // The colour space comes along whole, the comment does not.
  const std::string rgb = readFile(kFixtures + "rgb8.png");
  EXPECT_EQ(PNGReader(rgb).colourChunks(),
            pngChunk("sRGB", std::string(1, '\0')) +
                pngChunk("gAMA", std::string("\0\0\xB1\x8F", 4)));
}

TEST(PNGReader, ReadsEachFixtureAsImageMagickDoes) {
  if (!haveImageMagick()) GTEST_SKIP() << "ImageMagick is not installed (Debian: imagemagick)";
  for (const Fixture& f : kFixtureRows) {
    const std::string name = kFixtures + f.name + "-adam7.png";
    SCOPED_TRACE(name);
    Picture ours = readPicture(readFile(name));
    std::string rgba;
    for (size_t at = 0; at < ours.pixels.size(); at += ours.channels) {
      const uint8_t* p = &ours.pixels[at];
      const bool colour = ours.channels >= 3, alpha = ours.channels % 2 == 0;
      rgba += {char(p[0]), char(colour ? p[1] : p[0]), char(colour ? p[2] : p[0]),
               char(alpha ? p[ours.channels - 1] : 255)};
    }
    // ImageMagick cuts 16 bits to 8 where the reader rounds, as PNG asks.
    const std::optional<std::string> theirs = imageMagick({name, "-depth", "8", "rgba:-"});
    ASSERT_TRUE(theirs && theirs->size() == rgba.size());
    for (size_t i = 0; i < rgba.size(); ++i) {
      ASSERT_LE(std::abs(uint8_t((*theirs)[i]) - uint8_t(rgba[i])), f.depth == 16 ? 1 : 0) << i;
    }
  }
}

// A valid picture's pieces, for the broken ones below: 8-bit RGB, 4x3.
std::string rows(size_t count, char filter = 0) {
  std::string raw;
  for (size_t i = 0; i < count; ++i) raw += filter + std::string(12, char(i * 40));
  return raw;
}

TEST(PNGReader, RefusesWhatCannotBeReadAndWhatIsTooLarge) {
  const std::string rgb = readFile(kFixtures + "rgb8.png");
  const std::string data = pngChunk("IDAT", deflated(rows(3)));
  std::string flipped = rgb;
  flipped[flipped.size() - 30] ^= 1;  // in the last IDAT's data
  const struct {
    const char* name;
    std::string file;
    std::string error;
    bool whenRead;  // refused on reading the rows, not at once
  } cases[] = {
      {"bad CRC", flipped, "bad CRC in chunk IDAT", false},
      {"cut short", rgb.substr(0, rgb.size() - 40), "the file ends inside a chunk", false},
      {"no IEND", rgb.substr(0, rgb.size() - 12), "the file ends inside a chunk", false},
      {"no signature", rgb.substr(1), "no PNG signature and header", false},
      {"no image data", pngFile(4, 3, 8, 2, false, ""), "no image data", false},
      {"IDAT split by another chunk",
       pngFile(4, 3, 8, 2, false, data + pngChunk("tEXt", "a\0b") + data),
       "IDAT chunks are not consecutive", false},
      {"no palette", pngFile(4, 3, 8, 3, false, data), "no PLTE before the image data", false},
      {"unknown critical chunk", pngFile(4, 3, 8, 2, false, pngChunk("QUIL", "") + data),
       "unknown critical chunk QUIL", false},
      // Found by fuzzing: the type went into the error text, bytes and all.
      {"chunk type not letters", pngFile(4, 3, 8, 2, false, pngChunk("q\xFFu1", "") + data),
       "a chunk type that is not four letters", false},
      {"no such format", pngFile(4, 3, 4, 2, false, data),
       "colour type 2 at bit depth 4 is no PNG format", false},
      {"too wide", pngFile(32769, 1, 8, 2, false, data),
       "a canvas of 32769x1 pixels is more than is read", false},
      {"over 100 megapixels", pngFile(20000, 5001, 8, 0, false, data),
       "a canvas of 20000x5001 pixels is more than is read", false},
      {"interlaced over 64 megapixels", pngFile(8001, 8000, 8, 0, true, data),
       "a canvas of 8001x8000 pixels is more than is read interlaced", false},
      // Judged before any row is read: a header of 64 megapixels with three
      // rows' worth of data.
      {"data far too short for the canvas", pngFile(8000, 8000, 8, 6, true, data),
       "the image data ends early", false},
      {"data a row short", pngFile(4, 4, 8, 2, false, data), "the image data ends early", true},
      {"broken image data", pngFile(4, 3, 8, 2, false, pngChunk("IDAT", "\x78\x9C\x07" + rows(3))),
       "the image data is broken (invalid block type)", true},
      {"unknown row filter", pngFile(4, 3, 8, 2, false, pngChunk("IDAT", deflated(rows(3, 5)))),
       "unknown row filter 5", true},
      {"palette index out of range", readFile(kFixtures + "palette-index-out-of-range.png"),
       "palette index 13 out of range", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      PNGReader reader(c.file);
      ASSERT_TRUE(c.whenRead) << "read at once";
      std::vector<uint8_t> row(size_t(reader.header().width) * reader.channels());
      for (uint32_t y = 0; y < reader.header().height; ++y) reader.readRow(row.data());
      ADD_FAILURE() << "read whole";
    } catch (const PNGError& error) {
      EXPECT_EQ(error.what(), c.error);
    }
  }
}

// Read back by the reader, which ImageMagick vouches for above.
TEST(PNGWriter, WritesWhatTheReaderReadsBack) {
  const std::string colourSpace = pngChunk("gAMA", std::string("\0\0\xB1\x8F", 4));
  for (int channels = 1; channels <= 4; ++channels) {
    const Picture picture = renderLike(61, 37, channels);
    PNGWriter writer(61, 37, channels, colourSpace);
    for (uint32_t y = 0; y < 37; ++y) writer.writeRow(&picture.pixels[size_t(y) * 61 * channels]);
    const std::string png = writer.finish();
    EXPECT_EQ(readPicture(png).pixels, picture.pixels) << channels;
    EXPECT_EQ(PNGReader(png).colourChunks(), colourSpace);
  }
}

}  // namespace
}  // namespace quillon::test
