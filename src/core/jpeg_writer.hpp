// Writing a baseline JPEG row by row, for the snapshots a PNG would carry
// over the host's byte budget: 8-bit grey or colour, the usual Huffman
// tables, quality scaled as libjpeg and ImageMagick scale it. Colour keeps
// full-resolution chroma, since a viewport's one-pixel red, green and blue
// axis lines lose their colour when chroma is halved.
//
// Only one band of 8 rows is held: each band is transformed and coded as soon
// as it is complete, so memory is the band plus the file. JPEGSizeEstimate
// runs the same code over a sample of the bands to guess, before encoding, the
// size each quality would give.
//
// The encoder needs nothing beyond the C++ standard library, so that the
// product binary links only what the system provides. One writer or estimate
// is used by one thread at a time; both throw std::invalid_argument for a
// picture or a use that no baseline JPEG allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// The sides and components of a JPEG file, read from its first frame header.
struct JPEGHeader {
  uint32_t width = 0, height = 0;
  int components = 0;

  bool operator==(const JPEGHeader&) const = default;
};

// Nothing when the bytes do not start as a JPEG does or no frame header
// comes before they end. Never throws; walks the segment headers only.
std::optional<JPEGHeader> readJPEGHeader(std::string_view file);

class JPEGWriter {
 public:
  // Sides are 1 to 65535. `quality` is 1 to 100, scaled as libjpeg scales
  // it, so that "quality 90" means here what it means to libjpeg and
  // ImageMagick users.
  //
  // `channels` as PNGWriter takes rows: 1 grey, 2 grey and alpha, 3 RGB,
  // 4 RGBA. Alpha is dropped (JPEG has none; only opaque pictures are sent
  // this way): grey becomes one component, colour full-range YCbCr.
  //
  // `iccProfile`, when not empty, goes into APP2 segments after the JFIF
  // one; a profile needing more than 255 segments is refused.
  JPEGWriter(uint32_t width, uint32_t height, int channels, int quality,
             std::string_view iccProfile = {});
  ~JPEGWriter();
  JPEGWriter(const JPEGWriter&) = delete;
  JPEGWriter& operator=(const JPEGWriter&) = delete;

  // Takes the next row, from the top: width * channels samples. Throws when
  // every row has already been written.
  void writeRow(const uint8_t* row);
  // Bytes of the file so far; the finished file holds at least as many, so
  // a search can give up on a picture as soon as this passes its room.
  size_t size() const;
  // The whole file, once every row has been written; throws otherwise. The
  // writer is spent afterwards.
  std::string finish();

 private:
  struct Coder;

  std::unique_ptr<Coder> coder_;
};

// The share of a picture that the size guesses read (a JPEG's blocks here, a
// PNG's 8-row bands in the snapshot fitting), and a picture below which a
// PNG's are read whole. The share is 1/(2 + golden ratio): what is read
// falls at gaps of 3 and 4 in an order that never repeats, so no period in
// a picture (a facade's storeys, a ground grid, ruled text every 16 or 32
// px) can line up with it, as it did with every 4th band; over any stretch
// it is spread evenly across every phase of such a period.
inline constexpr double kGuessShare = 0.2763932022500210;  // 1 / (2 + 1.6180339887...)
inline constexpr uint32_t kWholeBelowBands = 8;
// Whether the guesses read band `band` of a picture `bands` bands high.
bool guessReadsBand(uint32_t band, uint32_t bands);

// The size of a picture's JPEG at any quality, estimated from a sample of its
// blocks without encoding it once per quality tried. A share of kGuessShare
// of the MCUs of every band (or all of them) is transformed once and kept,
// at columns that shift from band to band, so that neither rows nor columns
// that repeat line up with the sample; bytes(quality) codes the kept blocks
// with that quality's tables, counts the exact bytes they take, 0xFF
// stuffing included, and scales the count by all blocks over kept blocks.
// Reading every block, it is the writer's size to the byte.
//
// Keeps 256 bytes a block read: about 30 MB for 2000x1250 RGB read whole,
// 28 % of it sampled.
class JPEGSizeEstimate {
 public:
  // As JPEGWriter takes them; `iccProfileBytes` is the size of the profile
  // the writer will be given.
  JPEGSizeEstimate(uint32_t width, uint32_t height, int channels, bool wholePicture,
                   size_t iccProfileBytes = 0);
  ~JPEGSizeEstimate();
  JPEGSizeEstimate(const JPEGSizeEstimate&) = delete;
  JPEGSizeEstimate& operator=(const JPEGSizeEstimate&) = delete;

  void writeRow(const uint8_t* row);
  // The file's estimated size at `quality`, once every row has been written.
  uint64_t bytes(int quality) const;

 private:
  struct Sample;

  std::unique_ptr<Sample> sample_;
};

}  // namespace quillon
