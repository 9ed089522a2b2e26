#include "png_reader.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace quillon {

namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);
// Deflate never expands more than about 1032 to 1 (a 258-byte match coded in
// two bits); image data shorter than that bound cannot hold the picture.
constexpr uint64_t kMostInflation = 1032;

uint32_t bigEndian(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

uint32_t crcOf(std::string_view bytes) {
  return static_cast<uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()),
            static_cast<uInt>(bytes.size())));
}

struct Chunk {
  std::string_view type, data, whole;  // whole: length, type, data and CRC
};

// The chunk at `at` of `file`, its CRC checked, and `at` moved past it.
Chunk nextChunk(std::string_view file, size_t& at) {
  if (file.size() - at < 12) throw PNGError("the file ends inside a chunk");
  const uint32_t length = bigEndian(file.data() + at);
  if (length > 0x7FFFFFFFu || file.size() - at - 12 < length) {
    throw PNGError("the file ends inside a chunk");
  }
  const std::string_view typeAndData = file.substr(at + 4, 4 + size_t(length));
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (!std::all_of(typeAndData.begin(), typeAndData.begin() + 4, letter)) {
    throw PNGError("a chunk type that is not four letters");
  }
  if (crcOf(typeAndData) != bigEndian(file.data() + at + 8 + length)) {
    throw PNGError("bad CRC in chunk " + std::string(typeAndData.substr(0, 4)));
  }
  Chunk chunk{typeAndData.substr(0, 4), typeAndData.substr(4), file.substr(at, 12 + size_t(length))};
  at += 12 + size_t(length);
  return chunk;
}

bool validDepth(int colourType, int depth) {
  switch (colourType) {
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

int storedSamples(int colourType) {
  switch (colourType) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

struct Pass {
  uint32_t x, y, dx, dy;
};
constexpr std::array<Pass, 7> kAdam7 = {{
    {0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}};

uint32_t passSpan(uint32_t size, uint32_t start, uint32_t step) {
  return size > start ? (size - start + step - 1) / step : 0;
}

uint64_t storedRowBytes(uint32_t width, int bitsPerPixel) {
  return (uint64_t(width) * bitsPerPixel + 7) / 8;
}

// Undoes the Paeth filter. The last pixel's bytes stay in registers, one
// lane a channel, rather than being read back from the row just written: for
// RGB and RGBA (kBpp 3 and 4) the channels' chains then run side by side.
template <size_t kBpp>
void unpaeth(uint8_t* row, const uint8_t* above, size_t length, size_t bpp = kBpp) {
  constexpr size_t kLanes = kBpp ? kBpp : 8;
  if (kBpp == 0 && bpp > kLanes) {  // 16-bit RGBA: no lanes, plainly
    for (size_t i = 0; i < length; ++i) {
      const int left = i >= bpp ? row[i - bpp] : 0, up = above[i];
      const int upLeft = i >= bpp ? above[i - bpp] : 0;
      const int toLeft = std::abs(up - upLeft), toUp = std::abs(left - upLeft);
      const int toUpLeft = std::abs(left + up - 2 * upLeft);
      const int upOrCorner = toUp <= toUpLeft ? up : upLeft;
      row[i] = uint8_t(row[i] + (toLeft <= toUp && toLeft <= toUpLeft ? left : upOrCorner));
    }
    return;
  }
  int left[kLanes] = {}, upLeft[kLanes] = {};
  for (size_t i = 0; i < length; i += bpp) {
    for (size_t c = 0; c < bpp && i + c < length; ++c) {
      const int up = above[i + c];
      // The distances from left + up - upLeft to left, up and upLeft.
      const int toLeft = std::abs(up - upLeft[c]), toUp = std::abs(left[c] - upLeft[c]);
      const int toUpLeft = std::abs(left[c] + up - 2 * upLeft[c]);
      const int upOrCorner = toUp <= toUpLeft ? up : upLeft[c];
      const int value =
          (row[i + c] + (toLeft <= toUp && toLeft <= toUpLeft ? left[c] : upOrCorner)) & 255;
      row[i + c] = uint8_t(value);
      left[c] = value;
      upLeft[c] = up;
    }
  }
}

// Undoes the row's filter in place; `above` is the unfiltered row above
// (zeros for a pass's first row). Each filter's loop runs without branches
// past its first pixel: this is where decoding spends its time after zlib.
void unfilter(uint8_t* row, const uint8_t* above, size_t length, size_t bpp, int filter) {
  const size_t first = std::min(bpp, length);
  switch (filter) {
    case 0:
      return;
    case 1:
      for (size_t i = bpp; i < length; ++i) row[i] = uint8_t(row[i] + row[i - bpp]);
      return;
    case 2:
      for (size_t i = 0; i < length; ++i) row[i] = uint8_t(row[i] + above[i]);
      return;
    case 3:
      for (size_t i = 0; i < first; ++i) row[i] = uint8_t(row[i] + (above[i] >> 1));
      for (size_t i = bpp; i < length; ++i) {
        row[i] = uint8_t(row[i] + ((row[i - bpp] + above[i]) >> 1));
      }
      return;
    case 4:
      switch (bpp) {
        case 3:
          return unpaeth<3>(row, above, length);
        case 4:
          return unpaeth<4>(row, above, length);
        default:
          return unpaeth<0>(row, above, length, bpp);
      }
    default:
      throw PNGError("unknown row filter " + std::to_string(filter));
  }
}

bool isColourSpaceChunk(std::string_view type) {
  return type == "sRGB" || type == "gAMA" || type == "cHRM" || type == "iCCP" || type == "cICP";
}

}  // namespace

// The image data of every IDAT chunk as one zlib stream, inflated on demand.
struct PNGReader::Inflater {
  std::vector<std::string_view> pieces;
  size_t piece = 0;
  z_stream stream{};
  bool started = false;

  // The zlib header is read here and the rest inflated raw: the Adler-32
  // that zlib would otherwise compute over every byte is the last thing in
  // the stream, which the rows end before, and every chunk's CRC is checked.
  void start() {
    uint8_t header[2];
    size_t got = 0;
    while (got < 2 && piece < pieces.size()) {
      const std::string_view data = pieces[piece];
      const size_t taken = std::min(data.size(), 2 - got);
      std::memcpy(header + got, data.data(), taken);
      got += taken;
      // What is left of the piece is the first of the deflate data.
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + taken));
      stream.avail_in = static_cast<uInt>(data.size() - taken);
      ++piece;
    }
    if (got < 2) throw PNGError("the image data ends early");
    if ((header[0] & 0x0F) != 8 || (header[0] >> 4) > 7 || (header[0] << 8 | header[1]) % 31 != 0 ||
        (header[1] & 0x20) != 0) {
      throw PNGError("the image data is broken (incorrect header check)");
    }
    if (inflateInit2(&stream, -15) != Z_OK) throw PNGError("zlib cannot start");
    started = true;
  }

  ~Inflater() {
    if (started) inflateEnd(&stream);
  }

  // Fills exactly `size` bytes at `out`, or throws.
  void read(uint8_t* out, size_t size) {
    if (!started) start();
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(size);
    while (stream.avail_out > 0) {
      if (stream.avail_in == 0) {
        if (piece == pieces.size()) throw PNGError("the image data ends early");
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(pieces[piece].data()));
        stream.avail_in = static_cast<uInt>(pieces[piece].size());
        ++piece;
      }
      const int status = inflate(&stream, Z_NO_FLUSH);
      if (status == Z_STREAM_END && stream.avail_out > 0) {
        throw PNGError("the image data ends early");
      }
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        throw PNGError(std::string("the image data is broken") +
                       (stream.msg ? std::string(" (") + stream.msg + ")" : std::string()));
      }
    }
  }
};

std::optional<PNGHeader> readPNGHeader(std::string_view file) {
  if (file.size() < 33 || file.substr(0, 8) != kSignature) return std::nullopt;
  if (bigEndian(file.data() + 8) != 13 || file.substr(12, 4) != "IHDR") return std::nullopt;
  if (crcOf(file.substr(12, 17)) != bigEndian(file.data() + 29)) return std::nullopt;
  PNGHeader header;
  header.width = bigEndian(file.data() + 16);
  header.height = bigEndian(file.data() + 20);
  header.bitDepth = static_cast<unsigned char>(file[24]);
  header.colourType = static_cast<unsigned char>(file[25]);
  header.interlaced = file[28] != 0;
  return header;
}

std::optional<std::string_view> findChunk(std::string_view chunks, std::string_view type) {
  for (size_t at = 0; at + 12 <= chunks.size();) {
    const size_t length = bigEndian(chunks.data() + at);
    if (length > chunks.size() - at - 12) break;
    if (chunks.substr(at + 4, 4) == type) return chunks.substr(at + 8, length);
    at += 12 + length;
  }
  return std::nullopt;
}

std::optional<std::string> inflateICCProfile(std::string_view iccp, size_t most) {
  // A name of 1 to 79 bytes, its terminating zero, then method 0 (deflate).
  const size_t nameEnd = iccp.substr(0, 80).find('\0');
  if (nameEnd == 0 || nameEnd == std::string_view::npos || nameEnd + 2 > iccp.size() ||
      iccp[nameEnd + 1] != 0) {
    return std::nullopt;
  }
  const std::string_view compressed = iccp.substr(nameEnd + 2);
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  std::string profile;
  int status = Z_OK;
  while (status == Z_OK && profile.size() <= most) {
    const size_t used = profile.size();
    profile.resize(used + 64 * 1024);
    stream.next_out = reinterpret_cast<Bytef*>(profile.data() + used);
    stream.avail_out = 64 * 1024;
    status = inflate(&stream, Z_NO_FLUSH);
    profile.resize(profile.size() - stream.avail_out);
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END || profile.size() > most || profile.empty()) return std::nullopt;
  return profile;
}

PNGReader::PNGReader(std::string_view file) : inflater_(std::make_unique<Inflater>()) {
  readChunks(file);
}

PNGReader::~PNGReader() = default;

void PNGReader::readChunks(std::string_view file) {
  const std::optional<PNGHeader> header = readPNGHeader(file);
  if (!header) throw PNGError("no PNG signature and header");
  header_ = *header;
  const PNGHeader& h = header_;
  if (!validDepth(h.colourType, h.bitDepth)) {
    throw PNGError("colour type " + std::to_string(h.colourType) + " at bit depth " +
                   std::to_string(h.bitDepth) + " is no PNG format");
  }
  if (file[26] != 0 || file[27] != 0 || static_cast<unsigned char>(file[28]) > 1) {
    throw PNGError("unknown compression, filter or interlace method");
  }
  const uint64_t pixels = uint64_t(h.width) * h.height;
  if (h.width == 0 || h.height == 0 || h.width > kMaxPNGSide || h.height > kMaxPNGSide ||
      pixels > kMaxPNGPixels || (h.interlaced && pixels > kMaxInterlacedPNGPixels)) {
    throw PNGError("a canvas of " + std::to_string(h.width) + "x" + std::to_string(h.height) +
                   " pixels is more than is read" + (h.interlaced ? " interlaced" : ""));
  }
  storedBitsPerPixel_ = storedSamples(h.colourType) * h.bitDepth;

  size_t at = 33;
  bool sawData = false, dataEnded = false, sawEnd = false;
  while (!sawEnd) {
    const Chunk chunk = nextChunk(file, at);
    if (chunk.type == "IDAT") {
      if (dataEnded) throw PNGError("IDAT chunks are not consecutive");
      if (h.colourType == 3 && palette_.empty()) throw PNGError("no PLTE before the image data");
      sawData = true;
      inflater_->pieces.push_back(chunk.data);
      continue;
    }
    if (sawData) dataEnded = true;
    if (chunk.type == "IEND") {
      sawEnd = true;
    } else if (chunk.type == "IHDR") {
      throw PNGError("a second IHDR chunk");
    } else if (chunk.type == "PLTE") {
      if (sawData || !palette_.empty()) throw PNGError("a PLTE chunk out of place");
      if (chunk.data.empty() || chunk.data.size() % 3 != 0 || chunk.data.size() > 3 * 256) {
        throw PNGError("a PLTE chunk of " + std::to_string(chunk.data.size()) + " bytes");
      }
      // Grey and RGBA pictures carry their colours themselves; a palette
      // there is only a hint, and RGB ones read without it.
      if (h.colourType == 3) palette_.assign(chunk.data);
    } else if (chunk.type == "tRNS") {
      if (sawData) continue;
      const size_t size = chunk.data.size();
      const bool fits = (h.colourType == 0 && size == 2) || (h.colourType == 2 && size == 6) ||
                        (h.colourType == 3 && size >= 1 && size <= palette_.size() / 3);
      // A tRNS that does not match the picture is ignored, as decoders do.
      if (fits) transparency_.assign(chunk.data);
    } else if (isColourSpaceChunk(chunk.type)) {
      if (!sawData) colourChunks_.append(chunk.whole);
    } else if (chunk.type[0] >= 'A' && chunk.type[0] <= 'Z') {
      throw PNGError("unknown critical chunk " + std::string(chunk.type));
    }
  }
  if (!sawData) throw PNGError("no image data");

  const bool alpha = h.colourType == 4 || h.colourType == 6 || !transparency_.empty();
  channels_ = (h.colourType == 0 || h.colourType == 4 ? 1 : 3) + (alpha ? 1 : 0);

  // Judged before the rows are allocated: data that cannot inflate to the
  // picture is refused at once rather than found short after the work.
  uint64_t stored = 0;
  if (h.interlaced) {
    for (const Pass& pass : kAdam7) {
      const uint32_t w = passSpan(h.width, pass.x, pass.dx), rows = passSpan(h.height, pass.y, pass.dy);
      if (w > 0) stored += rows * (1 + storedRowBytes(w, storedBitsPerPixel_));
    }
  } else {
    stored = uint64_t(h.height) * (1 + storedRowBytes(h.width, storedBitsPerPixel_));
  }
  uint64_t compressed = 0;
  for (std::string_view piece : inflater_->pieces) compressed += piece.size();
  if (compressed * kMostInflation + 1024 < stored) throw PNGError("the image data ends early");
}

void PNGReader::nextStoredRow(size_t bytes, bool firstOfPass) {
  std::swap(previous_, current_);
  if (firstOfPass) previous_.assign(1 + bytes, '\0');
  current_.resize(1 + bytes);
  auto* row = reinterpret_cast<uint8_t*>(current_.data());
  inflater_->read(row, 1 + bytes);
  const size_t bpp = std::max(1, storedBitsPerPixel_ / 8);
  unfilter(row + 1, reinterpret_cast<const uint8_t*>(previous_.data()) + 1, bytes, bpp, row[0]);
}

void PNGReader::convertRow(const uint8_t* raw, uint32_t width, uint8_t* out) const {
  const int depth = header_.bitDepth;
  const auto sample16 = [](const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; };
  // 16 bits to 8, rounded to the nearest of the 256 levels.
  const auto to8 = [](uint32_t v) { return uint8_t((v * 255 + 32895) >> 16); };
  const auto* trns = reinterpret_cast<const uint8_t*>(transparency_.data());
  const bool keyed = !transparency_.empty();
  switch (header_.colourType) {
    case 0: {
      if (depth == 8 && !keyed) {
        std::memcpy(out, raw, width);
        return;
      }
      const uint32_t key = keyed ? sample16(trns) : 0x10000;
      for (uint32_t x = 0; x < width; ++x) {
        uint32_t v;
        uint8_t grey;
        if (depth == 16) {
          v = sample16(raw + 2 * x);
          grey = to8(v);
        } else if (depth == 8) {
          v = raw[x];
          grey = uint8_t(v);
        } else {
          const uint32_t perByte = 8 / depth, bit = (perByte - 1 - x % perByte) * depth;
          v = (raw[x / perByte] >> bit) & ((1u << depth) - 1);
          grey = uint8_t(v * 255 / ((1u << depth) - 1));
        }
        *out++ = grey;
        if (keyed) *out++ = v == key ? 0 : 255;
      }
      return;
    }
    case 2: {
      if (depth == 8 && !keyed) {
        std::memcpy(out, raw, size_t(width) * 3);
        return;
      }
      for (uint32_t x = 0; x < width; ++x) {
        bool transparent = keyed;
        for (int c = 0; c < 3; ++c) {
          const uint32_t v = depth == 16 ? sample16(raw + 6 * x + 2 * c) : raw[3 * x + c];
          *out++ = depth == 16 ? to8(v) : uint8_t(v);
          if (keyed && v != sample16(trns + 2 * c)) transparent = false;
        }
        if (keyed) *out++ = transparent ? 0 : 255;
      }
      return;
    }
    case 3: {
      const auto* colours = reinterpret_cast<const uint8_t*>(palette_.data());
      const uint32_t entries = static_cast<uint32_t>(palette_.size() / 3);
      for (uint32_t x = 0; x < width; ++x) {
        uint32_t index;
        if (depth == 8) {
          index = raw[x];
        } else {
          const uint32_t perByte = 8 / depth, bit = (perByte - 1 - x % perByte) * depth;
          index = (raw[x / perByte] >> bit) & ((1u << depth) - 1);
        }
        if (index >= entries) throw PNGError("palette index " + std::to_string(index) + " out of range");
        std::memcpy(out, colours + 3 * index, 3);
        out += 3;
        if (keyed) *out++ = index < transparency_.size() ? trns[index] : 255;
      }
      return;
    }
    default: {  // 4 and 6: the samples as they are, alpha included
      const size_t samples = size_t(width) * channels_;
      if (depth == 8) {
        std::memcpy(out, raw, samples);
      } else {
        for (size_t i = 0; i < samples; ++i) out[i] = to8(sample16(raw + 2 * i));
      }
      return;
    }
  }
}

void PNGReader::readInterlaced() {
  const PNGHeader& h = header_;
  const size_t pixelBytes = size_t(channels_);
  whole_.assign(size_t(h.width) * h.height * pixelBytes, '\0');
  std::vector<uint8_t> converted(size_t(h.width) * pixelBytes);
  for (const Pass& pass : kAdam7) {
    const uint32_t width = passSpan(h.width, pass.x, pass.dx);
    const uint32_t rows = passSpan(h.height, pass.y, pass.dy);
    if (width == 0 || rows == 0) continue;
    const size_t bytes = storedRowBytes(width, storedBitsPerPixel_);
    for (uint32_t r = 0; r < rows; ++r) {
      nextStoredRow(bytes, r == 0);
      convertRow(reinterpret_cast<const uint8_t*>(current_.data()) + 1, width, converted.data());
      char* target = whole_.data() + (size_t(pass.y + r * pass.dy) * h.width + pass.x) * pixelBytes;
      for (uint32_t i = 0; i < width; ++i) {
        std::memcpy(target + size_t(i) * pass.dx * pixelBytes, converted.data() + i * pixelBytes,
                    pixelBytes);
      }
    }
  }
}

void PNGReader::readRow(uint8_t* out) {
  const PNGHeader& h = header_;
  if (nextRow_ >= h.height) throw PNGError("no rows left");
  if (h.interlaced) {
    if (whole_.empty()) readInterlaced();
    const size_t rowBytes = size_t(h.width) * channels_;
    std::memcpy(out, whole_.data() + nextRow_ * rowBytes, rowBytes);
  } else {
    nextStoredRow(storedRowBytes(h.width, storedBitsPerPixel_), nextRow_ == 0);
    convertRow(reinterpret_cast<const uint8_t*>(current_.data()) + 1, h.width, out);
  }
  ++nextRow_;
}

}  // namespace quillon
