// Scaling a picture down by area averaging (a box filter): each output pixel
// is the mean of the source area it covers, fractions of pixels weighed by
// their share. Thin lines and small text stay visible, as grey, where
// picking one source pixel per output pixel would drop them.
//
// Rows go in from the top and come out as soon as they are complete, so only
// a few rows are ever held. With an alpha channel (2 or 4 channels)
// colours are averaged weighted by their alpha, so the colour of transparent
// pixels never bleeds into visible ones. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

namespace quillon {

class BoxResampler {
 public:
  // From sourceWidth x sourceHeight to width x height, each side no larger
  // than the source's and at least 1; `channels` 1 to 4, the last one alpha
  // when there are 2 or 4. Throws std::invalid_argument otherwise.
  BoxResampler(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t width, uint32_t height,
               int channels);

  // Takes the next source row (sourceWidth * channels samples). When it
  // completes an output row, writes it to `out` (width * channels samples)
  // and returns true.
  bool push(const uint8_t* row, uint8_t* out);

  // Where one source pixel (or row) falls: in output pixel `to` with the
  // share `first` of that one's area, and in the next with `second`.
  struct Split {
    uint32_t to;
    float first, second;
  };

 private:
  static std::vector<Split> splits(uint32_t source, uint32_t target);
  void emit(uint8_t* out);

  uint32_t sourceHeight_, width_;
  int channels_;
  bool alpha_;
  std::vector<Split> columns_, rows_;
  std::vector<float> source_;          // the row pushed, weighed
  std::vector<float> current_, next_;  // output rows being summed, still source-wide
  std::vector<float> across_;          // the complete row, output-wide (one extra pixel)
  uint32_t sourceRow_ = 0;
};

}  // namespace quillon
