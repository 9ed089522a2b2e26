#include "png.hpp"

#include <zlib.h>

#include <array>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace quillon::demo {

namespace {

void appendBigEndian(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value >> 24));
  out.push_back(static_cast<char>(value >> 16));
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value));
}

void appendChunk(std::string& out, std::string_view type, std::string_view data) {
  appendBigEndian(out, static_cast<uint32_t>(data.size()));
  const size_t typeStart = out.size();
  out.append(type);
  out.append(data);
  // The CRC covers the chunk type and its data, not the length.
  const auto* bytes = reinterpret_cast<const Bytef*>(out.data() + typeStart);
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), bytes, static_cast<uInt>(out.size() - typeStart));
  appendBigEndian(out, static_cast<uint32_t>(crc));
}

uint8_t paeth(int left, int up, int upLeft) {
  const int estimate = left + up - upLeft;
  const int toLeft = std::abs(estimate - left);
  const int toUp = std::abs(estimate - up);
  const int toUpLeft = std::abs(estimate - upLeft);
  if (toLeft <= toUp && toLeft <= toUpLeft) return static_cast<uint8_t>(left);
  if (toUp <= toUpLeft) return static_cast<uint8_t>(up);
  return static_cast<uint8_t>(upLeft);
}

// Filters one row with each of the five PNG filters and keeps the one whose
// bytes, read as signed, add up to the least.
void appendFilteredRow(std::string& out, const uint8_t* row, const uint8_t* previous, size_t length,
                       std::array<std::string, 5>& candidates) {
  constexpr size_t kBytesPerPixel = 3;
  for (int filter = 0; filter < 5; ++filter) {
    std::string& line = candidates[filter];
    line.resize(length + 1);
    line[0] = static_cast<char>(filter);
    for (size_t i = 0; i < length; ++i) {
      const int left = i >= kBytesPerPixel ? row[i - kBytesPerPixel] : 0;
      const int up = previous ? previous[i] : 0;
      const int upLeft = previous && i >= kBytesPerPixel ? previous[i - kBytesPerPixel] : 0;
      int predicted = 0;
      switch (filter) {
        case 1:
          predicted = left;
          break;
        case 2:
          predicted = up;
          break;
        case 3:
          predicted = (left + up) / 2;
          break;
        case 4:
          predicted = paeth(left, up, upLeft);
          break;
        default:
          break;
      }
      line[i + 1] = static_cast<char>(static_cast<uint8_t>(row[i] - predicted));
    }
  }
  size_t best = 0;
  uint64_t bestCost = UINT64_MAX;
  for (size_t filter = 0; filter < candidates.size(); ++filter) {
    uint64_t cost = 0;
    for (size_t i = 1; i < candidates[filter].size(); ++i) {
      cost += static_cast<uint64_t>(
          std::abs(static_cast<int>(static_cast<int8_t>(candidates[filter][i]))));
    }
    if (cost < bestCost) {
      bestCost = cost;
      best = filter;
    }
  }
  out.append(candidates[best]);
}

}  // namespace

std::string encodePNG(const RgbImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<size_t>(image.width) * image.height * 3) {
    throw std::invalid_argument("encodePNG: empty image or pixel count does not match its size");
  }
  const size_t rowBytes = static_cast<size_t>(image.width) * 3;
  std::string filtered;
  filtered.reserve((rowBytes + 1) * image.height);
  std::array<std::string, 5> candidates;  // reused from row to row
  for (int y = 0; y < image.height; ++y) {
    appendFilteredRow(filtered, image.at(0, y), y > 0 ? image.at(0, y - 1) : nullptr, rowBytes,
                      candidates);
  }

  uLongf compressedSize = compressBound(static_cast<uLong>(filtered.size()));
  std::string compressed(compressedSize, '\0');
  if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &compressedSize,
                reinterpret_cast<const Bytef*>(filtered.data()),
                static_cast<uLong>(filtered.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
    throw std::runtime_error("encodePNG: zlib could not compress the image");
  }
  compressed.resize(compressedSize);

  std::string header;
  appendBigEndian(header, static_cast<uint32_t>(image.width));
  appendBigEndian(header, static_cast<uint32_t>(image.height));
  header.push_back(8);  // bits per channel
  header.push_back(2);  // truecolour
  header.push_back(0);  // deflate
  header.push_back(0);  // adaptive filtering
  header.push_back(0);  // not interlaced

  std::string png("\x89PNG\r\n\x1a\n", 8);
  appendChunk(png, "IHDR", header);
  appendChunk(png, "IDAT", compressed);
  appendChunk(png, "IEND", {});
  return png;
}

}  // namespace quillon::demo
