#include "support/pictures.hpp"

#include <zlib.h>

#include <cmath>
#include <stdexcept>
#include <system_error>

#include "child_process.hpp"
#include "png_reader.hpp"
#include "png_writer.hpp"

namespace quillon::test {

Picture readPicture(std::string_view png) {
  PNGReader reader(png);
  Picture picture{reader.header().width, reader.header().height, reader.channels(), {}};
  picture.pixels.resize(size_t(picture.width) * picture.height * picture.channels);
  for (uint32_t y = 0; y < picture.height; ++y) reader.readRow(picture.at(0, y));
  return picture;
}

std::string pngOf(const Picture& picture) {
  return encodePNG(picture.width, picture.height, picture.channels, picture.pixels.data());
}

Picture renderLike(uint32_t width, uint32_t height, int channels) {
  Picture picture{width, height, channels, std::vector<uint8_t>(size_t(width) * height * channels)};
  uint32_t noise = 12345;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const double u = double(x) / width, v = double(y) / height;
      double level = 0.3 + 0.5 * v + 0.15 * std::sin(u * 40) * std::cos(v * 25);
      if (x % 97 == 0 || (y + x / 3) % 89 == 0) level = 0.05;  // a thin dark edge
      noise = noise * 1664525u + 1013904223u;
      for (int c = 0; c < channels; ++c) {
        const double shade = c == channels - 1 && (channels == 2 || channels == 4)
                                 ? 0.6 + 0.4 * u  // alpha
                                 : level * (0.7 + 0.1 * c) + double(noise >> 29) / 255;
        picture.at(x, y)[c] = uint8_t(std::lround(std::fmin(std::fmax(shade, 0.0), 1.0) * 255));
      }
    }
  }
  return picture;
}

Picture ruledText(uint32_t width, uint32_t height, uint32_t period, uint32_t phase) {
  Picture picture{width, height, 3, std::vector<uint8_t>(size_t(width) * height * 3)};
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t line = (y + period - phase % period) % period;  // row within its ruled line
    for (uint32_t x = 0; x < width; ++x) {
      // A plastered wall, lit from the left.
      double level = 0.82 - 0.2 * double(x) / width + 0.02 * std::sin(x * 0.7 + y * 1.3);
      if (line == 0) level = 0.25;  // the rule
      // Glyphs 5 pixels wide and 7 high in cells of 6, each its own.
      const uint32_t cell = x / 6, column = x % 6, glyphRow = line - 2;
      if (line >= 2 && line < 9 && column < 5 && cell % 9 != 8) {
        const uint32_t glyph = (cell * 2654435761u) ^ (y / period * 40503u);
        if ((glyph >> ((glyphRow * 5 + column) % 31)) & 1) level = 0.1;
      }
      uint8_t* pixel = picture.at(x, y);
      pixel[0] = uint8_t(level * 250), pixel[1] = uint8_t(level * 240),
      pixel[2] = uint8_t(level * 225);
    }
  }
  return picture;
}

Picture groundGrid(uint32_t width, uint32_t height, uint32_t period, uint32_t phase) {
  Picture picture = renderLike(width, height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      if ((y + phase) % period != 0 && (x + phase) % period != 0) continue;
      uint8_t* pixel = picture.at(x, y);
      pixel[0] = 40, pixel[1] = 60, pixel[2] = 90;
    }
  }
  return picture;
}

std::string pngChunk(std::string_view type, std::string_view data) {
  std::string chunk;
  const auto bigEndian = [&](uint32_t v) {
    chunk += {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  bigEndian(static_cast<uint32_t>(data.size()));
  chunk.append(type).append(data);
  bigEndian(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(chunk.data() + 4),
                                        static_cast<uInt>(chunk.size() - 4))));
  return chunk;
}

std::string pngFile(uint32_t width, uint32_t height, int depth, int colourType, bool interlaced,
                    std::string_view chunks) {
  const std::string header = {char(width >> 24),
                              char(width >> 16),
                              char(width >> 8),
                              char(width),
                              char(height >> 24),
                              char(height >> 16),
                              char(height >> 8),
                              char(height),
                              char(depth),
                              char(colourType),
                              0,
                              0,
                              char(interlaced)};
  return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + std::string(chunks) +
         pngChunk("IEND", "");
}

std::string deflated(std::string_view bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::string out(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(out.data()), &size,
               reinterpret_cast<const Bytef*>(bytes.data()),
               static_cast<uLong>(bytes.size())) != Z_OK) {
    throw std::runtime_error("zlib failed");
  }
  out.resize(size);
  return out;
}

std::optional<std::string> imageMagick(const std::vector<std::string>& arguments) {
  process::ChildProcess::Options options;
  options.arguments = {"convert"};
  options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
  try {
    process::ChildProcess child(options);
    child.closeInput();
    if (child.wait(std::chrono::seconds(60)).status != 0) return std::nullopt;
    return child.out();
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

bool haveImageMagick() {
  static const bool installed = [] {
    const std::optional<std::string> version = imageMagick({"-version"});
    return version && version->find("Version: ImageMagick") != std::string::npos;
  }();
  return installed;
}

double normalisedRMSE(const Picture& a, const Picture& b) {
  if (a.pixels.size() != b.pixels.size()) throw std::invalid_argument("pictures of other shapes");
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    const double difference = (double(a.pixels[i]) - b.pixels[i]) / 255;
    sum += difference * difference;
  }
  return std::sqrt(sum / double(a.pixels.size()));
}

}  // namespace quillon::test
