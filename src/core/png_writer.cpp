#include "png_writer.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <stdexcept>

namespace quillon {

namespace {

static_assert(PNGWriter::kStrategy == Z_RLE);

// Image data goes out in chunks of this size as it is compressed.
constexpr size_t kDataChunk = 1 << 16;

void appendBigEndian(std::string& out, uint32_t value) {
  const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
  out.append(bytes, 4);
}

void appendChunk(std::string& out, std::string_view type, std::string_view data) {
  appendBigEndian(out, static_cast<uint32_t>(data.size()));
  const size_t typeStart = out.size();
  out.append(type);
  out.append(data);
  // The CRC covers the chunk type and its data, not the length.
  const auto* bytes = reinterpret_cast<const Bytef*>(out.data() + typeStart);
  appendBigEndian(out, static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes,
                                                   static_cast<uInt>(out.size() - typeStart))));
}

// The Paeth predictor, written with selects rather than branches.
inline int paeth(int left, int up, int upLeft) {
  const int estimate = left + up - upLeft;
  const int toLeft = std::abs(estimate - left);
  const int toUp = std::abs(estimate - up);
  const int toUpLeft = std::abs(estimate - upLeft);
  const int upOrCorner = toUp <= toUpLeft ? up : upLeft;
  return toLeft <= toUp && toLeft <= toUpLeft ? left : upOrCorner;
}

}  // namespace

struct PNGWriter::Deflater {
  z_stream stream{};
  ~Deflater() { deflateEnd(&stream); }
};

PNGWriter::PNGWriter(uint32_t width, uint32_t height, int channels, std::string_view chunks)
    : height_(height),
      pixelBytes_(static_cast<size_t>(channels)),
      rowBytes_(size_t(width) * static_cast<size_t>(channels)) {
  static constexpr std::array<char, 5> kColourType = {0, 0, 4, 2, 6};
  if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu || channels < 1 ||
      channels > 4) {
    throw std::invalid_argument("PNGWriter: no PNG holds " + std::to_string(width) + "x" +
                                std::to_string(height) + " pixels of " + std::to_string(channels) +
                                " channels");
  }
  std::string header;
  appendBigEndian(header, width);
  appendBigEndian(header, height);
  header += {8, kColourType[channels], 0, 0, 0};  // depth, colour type, methods, no interlace
  file_.assign("\x89PNG\r\n\x1a\n", 8);
  appendChunk(file_, "IHDR", header);
  file_.append(chunks);

  auto deflater = std::make_unique<Deflater>();
  if (deflateInit2(&deflater->stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, kMemoryLevel,
                   kStrategy) != Z_OK) {
    throw std::runtime_error("PNGWriter: zlib cannot start");
  }
  deflater_ = std::move(deflater);
  previous_.assign(pixelBytes_ + rowBytes_, '\0');
  current_.assign(pixelBytes_ + rowBytes_, '\0');
  line_.resize(1 + rowBytes_);
}

PNGWriter::~PNGWriter() = default;

void PNGWriter::writeRow(const uint8_t* row) {
  if (rows_ == height_) throw std::invalid_argument("PNGWriter: more rows than the picture has");
  const size_t bpp = pixelBytes_, length = rowBytes_;
  // Both rows carry bpp zeros in front, so that every byte has a left
  // neighbour; the row above the first is all zeros.
  auto* current = reinterpret_cast<uint8_t*>(current_.data());
  const auto* above = reinterpret_cast<const uint8_t*>(previous_.data());
  std::copy(row, row + length, current + bpp);
  // The cost of each filter: its bytes, read as signed, added up. One pass
  // without branches, so that the compiler can use vector instructions.
  uint32_t cost[5] = {0, 0, 0, 0, 0};
  const auto magnitude = [](int v) { return uint32_t(std::abs(int(int8_t(uint8_t(v))))); };
  for (size_t i = 0; i < length; ++i) {
    const int x = current[bpp + i], left = current[i], up = above[bpp + i], upLeft = above[i];
    cost[0] += magnitude(x);
    cost[1] += magnitude(x - left);
    cost[2] += magnitude(x - up);
    cost[3] += magnitude(x - ((left + up) >> 1));
    cost[4] += magnitude(x - paeth(left, up, upLeft));
  }
  int best = 0;
  for (int f = 1; f < 5; ++f) {
    if (cost[f] < cost[best]) best = f;
  }
  auto* line = reinterpret_cast<uint8_t*>(line_.data());
  line[0] = uint8_t(best);
  for (size_t i = 0; i < length; ++i) {
    const int x = current[bpp + i], left = current[i], up = above[bpp + i], upLeft = above[i];
    const int predicted = best == 0   ? 0
                          : best == 1 ? left
                          : best == 2 ? up
                          : best == 3 ? (left + up) >> 1
                                      : paeth(left, up, upLeft);
    line[1 + i] = uint8_t(x - predicted);
  }
  std::swap(current_, previous_);

  z_stream& stream = deflater_->stream;
  stream.next_in = line;
  stream.avail_in = static_cast<uInt>(length + 1);
  ++rows_;
  flushData(rows_ == height_);
}

void PNGWriter::flushData(bool last) {
  z_stream& stream = deflater_->stream;
  for (;;) {
    const size_t used = data_.size();
    data_.resize(kDataChunk);
    stream.next_out = reinterpret_cast<Bytef*>(data_.data() + used);
    stream.avail_out = static_cast<uInt>(kDataChunk - used);
    const int status = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
    data_.resize(kDataChunk - stream.avail_out);
    if (status == Z_STREAM_ERROR) throw std::runtime_error("PNGWriter: zlib failed");
    if (data_.size() == kDataChunk || (status == Z_STREAM_END && !data_.empty())) {
      appendChunk(file_, "IDAT", data_);
      data_.clear();
    }
    if (last ? status == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out > 0) return;
  }
}

size_t PNGWriter::size() const {
  return file_.size() + data_.size();
}

std::string PNGWriter::finish() {
  if (rows_ != height_) throw std::invalid_argument("PNGWriter: rows missing");
  appendChunk(file_, "IEND", {});
  return std::move(file_);
}

std::string encodePNG(uint32_t width, uint32_t height, int channels, const uint8_t* pixels) {
  PNGWriter writer(width, height, channels);
  const size_t rowBytes = size_t(width) * static_cast<size_t>(channels);
  for (uint32_t y = 0; y < height; ++y) writer.writeRow(pixels + y * rowBytes);
  return writer.finish();
}

}  // namespace quillon
