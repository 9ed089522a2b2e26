// Writing a PNG row by row: 8 bits a sample, grey, grey and alpha, RGB or
// RGBA. Each row gets the filter that makes it smallest (the usual
// sum-of-absolute-differences guess) and is deflated as it comes, so a
// picture is never held whole: the file grows as the rows arrive.
//
// zlib runs with its run-length strategy: on filtered rows of a render it
// packs within a few per cent of the default level's size, several times
// faster, which is what lets a snapshot be fitted in a fraction of a second.
//
// The server writes fitted snapshots with it and the demo viewer its
// renders. One writer is used by one thread at a time; throws
// std::invalid_argument for a picture no PNG can hold and std::runtime_error
// when zlib fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillon {

class PNGWriter {
 public:
  // The zlib settings of every picture written, which the benchmarks
  // compare against: the run-length strategy, at the largest memory level
  // (longer blocks, better Huffman codes).
  static constexpr int kStrategy = 3;  // Z_RLE
  static constexpr int kMemoryLevel = 9;

  // `channels`: 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA. `chunks` are whole
  // chunks (length, type, data, CRC) written after the header as they are,
  // such as the colour-space chunks of the picture this one was made from.
  PNGWriter(uint32_t width, uint32_t height, int channels, std::string_view chunks = {});
  ~PNGWriter();
  PNGWriter(const PNGWriter&) = delete;
  PNGWriter& operator=(const PNGWriter&) = delete;

  // Takes the next row, from the top: width * channels samples.
  void writeRow(const uint8_t* row);
  // Bytes of the file so far: at least what the finished file will hold of
  // the rows written, give or take what zlib still buffers.
  size_t size() const;
  // The whole file, once every row has been written.
  std::string finish();

 private:
  struct Deflater;

  void flushData(bool last);

  uint32_t height_, rows_ = 0;
  size_t pixelBytes_, rowBytes_;
  std::string file_;
  std::string previous_, current_;  // unfiltered, each after pixelBytes_ zeros
  std::string line_;                 // the filtered row, filter byte first
  std::string data_;                 // compressed, not yet in a chunk
  std::unique_ptr<Deflater> deflater_;
};

// A whole picture at once: `pixels` holds height rows of width * channels.
std::string encodePNG(uint32_t width, uint32_t height, int channels, const uint8_t* pixels);

}  // namespace quillon
