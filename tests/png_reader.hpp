// A strict reader for the 8-bit RGB PNG files the demo viewer writes, for
// tests: it checks the signature, every chunk's CRC and the header, inflates
// the image data with zlib and undoes the row filters. Written apart from the
// encoder so that the two cannot share a mistake. A pure function returning a
// value; safe from any thread.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::testing {

struct DecodedPNG {
  std::string error;  // empty when the file decoded
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  std::array<int, 5> filterUse{};  // rows per filter type
  std::vector<std::string> chunkTypes;

  std::array<uint8_t, 3> pixel(int x, int y) const {
    const size_t i = (static_cast<size_t>(y) * width + x) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

inline uint32_t readBigEndian(std::string_view bytes, size_t at) {
  return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
         (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
}

inline DecodedPNG decodePNG(std::string_view file) {
  DecodedPNG png;
  if (file.substr(0, 8) != std::string_view("\x89PNG\r\n\x1a\n", 8)) {
    png.error = "no PNG signature";
    return png;
  }
  std::string compressed;
  size_t at = 8;
  bool ended = false;
  while (!ended) {
    if (at + 12 > file.size()) {
      png.error = "truncated chunk";
      return png;
    }
    const uint32_t length = readBigEndian(file, at);
    if (at + 12 + length > file.size()) {
      png.error = "chunk runs past the end";
      return png;
    }
    const std::string type(file.substr(at + 4, 4));
    const std::string_view data = file.substr(at + 8, length);
    const uLong crc = crc32(crc32(0L, Z_NULL, 0),
                            reinterpret_cast<const Bytef*>(file.data() + at + 4), length + 4);
    if (crc != readBigEndian(file, at + 8 + length)) {
      png.error = "bad CRC in " + type;
      return png;
    }
    png.chunkTypes.push_back(type);
    if (type == "IHDR") {
      if (length != 13) {
        png.error = "IHDR length";
        return png;
      }
      png.width = static_cast<int>(readBigEndian(data, 0));
      png.height = static_cast<int>(readBigEndian(data, 4));
      if (data[8] != 8 || data[9] != 2 || data[10] != 0 || data[11] != 0 || data[12] != 0) {
        png.error = "not 8-bit RGB, deflate, adaptive filtering, progressive";
        return png;
      }
    } else if (type == "IDAT") {
      compressed.append(data);
    } else if (type == "IEND") {
      ended = true;
    }
    at += 12 + length;
  }
  if (at != file.size()) {
    png.error = "bytes after IEND";
    return png;
  }
  const size_t stride = static_cast<size_t>(png.width) * 3;
  std::string raw((stride + 1) * png.height, '\0');
  uLongf rawSize = raw.size();
  if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &rawSize,
                 reinterpret_cast<const Bytef*>(compressed.data()), compressed.size()) != Z_OK ||
      rawSize != raw.size()) {
    png.error = "image data does not inflate to the expected size";
    return png;
  }
  png.rgb.resize(stride * png.height);
  for (int y = 0; y < png.height; ++y) {
    const auto filter = static_cast<uint8_t>(raw[y * (stride + 1)]);
    if (filter > 4) {
      png.error = "unknown filter type";
      return png;
    }
    ++png.filterUse[filter];
    const auto* in = reinterpret_cast<const uint8_t*>(raw.data() + y * (stride + 1) + 1);
    uint8_t* out = png.rgb.data() + y * stride;
    const uint8_t* up = y > 0 ? out - stride : nullptr;
    for (size_t i = 0; i < stride; ++i) {
      const int a = i >= 3 ? out[i - 3] : 0;
      const int b = up ? up[i] : 0;
      const int c = up && i >= 3 ? up[i - 3] : 0;
      int predicted = 0;
      switch (filter) {
        case 1:
          predicted = a;
          break;
        case 2:
          predicted = b;
          break;
        case 3:
          predicted = (a + b) / 2;
          break;
        case 4: {
          const int p = a + b - c;
          const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          predicted = pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
          break;
        }
        default:
          break;
      }
      out[i] = static_cast<uint8_t>(in[i] + predicted);
    }
  }
  return png;
}

}  // namespace quillon::testing
