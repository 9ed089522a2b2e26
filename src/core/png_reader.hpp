// Reading a PNG that a viewer sent: every colour type, bit depths 1 to 16,
// palettes, tRNS transparency and Adam7 interlacing, given out row by row as
// 8-bit samples.
//
// The picture comes from a process we do not control, so nothing in it is
// trusted: the header's canvas is judged before anything is allocated, image
// data is inflated no further than the header allows, and every CRC, chunk
// order, length and palette index is checked. Whatever cannot be read throws
// PNGError; nothing else escapes. A non-interlaced picture is never held
// decoded whole: only two rows are. An interlaced one is, which is why it is
// allowed fewer pixels.
//
// A reader refers to the file's bytes, which must outlive it. One reader is
// used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillon {

class PNGError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PNGHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  int bitDepth = 0;
  int colourType = 0;  // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGBA
  bool interlaced = false;
};

// The largest canvas read at all, and the largest one held whole (Adam7).
inline constexpr uint32_t kMaxPNGSide = 32768;
inline constexpr uint64_t kMaxPNGPixels = 100'000'000;
inline constexpr uint64_t kMaxInterlacedPNGPixels = 64'000'000;

// The header of `file` when it starts as a PNG does (signature, then an IHDR
// chunk whose CRC holds); nothing otherwise. Reads 33 bytes: a cheap look at
// the sides, which says nothing of whether the rest can be read.
std::optional<PNGHeader> readPNGHeader(std::string_view file);

// The data of the first chunk of `type` among `chunks` (whole chunks, one
// after the other, as PNGReader::colourChunks gives them), or nothing.
std::optional<std::string_view> findChunk(std::string_view chunks, std::string_view type);
// The ICC profile an iCCP chunk's data carries (a name, then the profile
// deflated), inflated; nothing when it cannot be read or would take more
// than `most` bytes.
std::optional<std::string> inflateICCProfile(std::string_view iccp, size_t most);

class PNGReader {
 public:
  // Walks every chunk and judges the header; throws PNGError when the file
  // cannot be read as a PNG or its canvas is too large.
  explicit PNGReader(std::string_view file);
  ~PNGReader();
  PNGReader(const PNGReader&) = delete;
  PNGReader& operator=(const PNGReader&) = delete;

  const PNGHeader& header() const { return header_; }
  // Samples per pixel of the rows given out: 1 grey, 2 grey and alpha,
  // 3 RGB, 4 RGBA. A palette becomes RGB, and any tRNS an alpha channel.
  int channels() const { return channels_; }
  // The colour-space chunks (sRGB, gAMA, cHRM, iCCP, cICP) exactly as they
  // stand in the file, length and CRC included, in their order.
  const std::string& colourChunks() const { return colourChunks_; }

  // Writes the next row, from the top, as width() * channels() samples.
  // Throws PNGError when the image data is broken or ends early.
  void readRow(uint8_t* out);

 private:
  struct Inflater;

  void readChunks(std::string_view file);
  // Inflates and unfilters the next stored row of `bytes` bytes (one pass's
  // row when interlaced) into current_, with previous_ as the row above.
  void nextStoredRow(size_t bytes, bool firstOfPass);
  void convertRow(const uint8_t* raw, uint32_t width, uint8_t* out) const;
  void readInterlaced();

  PNGHeader header_;
  int channels_ = 0;
  std::string colourChunks_;
  std::string palette_;       // RGB triples
  std::string transparency_;  // the tRNS chunk's data, empty when there is none
  int storedBitsPerPixel_ = 0;
  std::unique_ptr<Inflater> inflater_;
  std::string previous_, current_;  // stored rows, filter byte first
  std::string whole_;               // an interlaced picture, as given out
  uint32_t nextRow_ = 0;
};

}  // namespace quillon
