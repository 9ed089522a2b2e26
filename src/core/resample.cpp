#include "resample.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace quillon {

// Source pixel i spans [i * target, (i + 1) * target) and output pixel j
// spans [j * source, (j + 1) * source), in units of 1/(source * target) of
// the side: integers, so the shares add up exactly. A source pixel is never
// longer than an output one, so it falls in one output pixel or two.
std::vector<BoxResampler::Split> BoxResampler::splits(uint32_t source, uint32_t target) {
  std::vector<Split> result(source);
  for (uint32_t i = 0; i < source; ++i) {
    const uint64_t start = uint64_t(i) * target, end = start + target;
    const uint32_t to = static_cast<uint32_t>(start / source);
    const uint64_t boundary = uint64_t(to + 1) * source;
    const uint64_t inFirst = std::min(end, boundary) - start;
    result[i] = {to, float(double(inFirst) / source), float(double(target - inFirst) / source)};
  }
  return result;
}

BoxResampler::BoxResampler(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t width,
                           uint32_t height, int channels)
    : sourceHeight_(sourceHeight), width_(width), channels_(channels),
      alpha_(channels == 2 || channels == 4) {
  if (width == 0 || height == 0 || width > sourceWidth || height > sourceHeight || channels < 1 ||
      channels > 4) {
    throw std::invalid_argument("BoxResampler: cannot scale " + std::to_string(sourceWidth) + "x" +
                                std::to_string(sourceHeight) + " down to " +
                                std::to_string(width) + "x" + std::to_string(height));
  }
  columns_ = splits(sourceWidth, width);
  rows_ = splits(sourceHeight, height);
  across_.assign(size_t(width + 1) * channels, 0);
  current_.assign(size_t(width) * channels, 0);
  next_.assign(current_.size(), 0);
}

namespace {

// One source row spread across the output columns. A column past the last
// one takes the last source pixel's empty second share, so the loop needs
// no test; the channel count is fixed so that the compiler unrolls it.
template <size_t kChannels, bool kAlpha>
void spread(const std::vector<BoxResampler::Split>& columns, const uint8_t* row, float* across) {
  for (size_t x = 0; x < columns.size(); ++x) {
    const BoxResampler::Split& split = columns[x];
    const uint8_t* pixel = row + x * kChannels;
    float* first = across + split.to * kChannels;
    // Colour weighted by alpha: a transparent pixel adds nothing.
    const float weight = kAlpha ? float(pixel[kChannels - 1]) : 1.0f;
    for (size_t c = 0; c < kChannels; ++c) {
      const float value = kAlpha && c + 1 < kChannels ? pixel[c] * weight : float(pixel[c]);
      first[c] += split.first * value;
      first[kChannels + c] += split.second * value;
    }
  }
}

}  // namespace

bool BoxResampler::push(const uint8_t* row, uint8_t* out) {
  if (sourceRow_ == sourceHeight_) throw std::invalid_argument("BoxResampler: too many rows");
  std::fill(across_.begin(), across_.end(), 0.0f);
  switch (channels_) {
    case 1:
      spread<1, false>(columns_, row, across_.data());
      break;
    case 2:
      spread<2, true>(columns_, row, across_.data());
      break;
    case 3:
      spread<3, false>(columns_, row, across_.data());
      break;
    default:
      spread<4, true>(columns_, row, across_.data());
      break;
  }
  const Split& split = rows_[sourceRow_++];
  const size_t samples = current_.size();
  for (size_t i = 0; i < samples; ++i) {
    current_[i] += split.first * across_[i];
    next_[i] += split.second * across_[i];
  }
  // The output row is complete once the next source row starts below it.
  if (sourceRow_ < sourceHeight_ && rows_[sourceRow_].to == split.to) return false;
  emit(out);
  std::swap(current_, next_);
  std::fill(next_.begin(), next_.end(), 0.0f);
  return true;
}

void BoxResampler::emit(uint8_t* out) {
  const size_t channels = size_t(channels_);
  const auto level = [](float v) { return uint8_t(std::clamp(v, 0.0f, 255.0f) + 0.5f); };
  for (size_t x = 0; x < width_; ++x) {
    const float* sum = &current_[x * channels];
    uint8_t* pixel = out + x * channels;
    if (!alpha_) {
      for (size_t c = 0; c < channels; ++c) pixel[c] = level(sum[c]);
      continue;
    }
    const float alpha = sum[channels - 1];
    for (size_t c = 0; c + 1 < channels; ++c) pixel[c] = alpha > 0 ? level(sum[c] / alpha) : 0;
    pixel[channels - 1] = level(alpha);
  }
}

}  // namespace quillon
