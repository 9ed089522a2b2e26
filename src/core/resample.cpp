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
  const size_t samples = size_t(sourceWidth) * channels;
  source_.assign(samples, 0);
  current_.assign(samples, 0);
  next_.assign(samples, 0);
  across_.assign(size_t(width + 1) * channels, 0);
}

namespace {

// A source row as floats, colours weighed by alpha when there is one: a
// transparent pixel then adds nothing to the colour of those it falls in.
template <size_t kChannels, bool kAlpha>
void weigh(const uint8_t* row, float* out, size_t samples) {
  if (!kAlpha) {
    for (size_t i = 0; i < samples; ++i) out[i] = row[i];
    return;
  }
  for (size_t i = 0; i < samples; i += kChannels) {
    const float alpha = row[i + kChannels - 1];
    for (size_t c = 0; c + 1 < kChannels; ++c) out[i + c] = row[i + c] * alpha;
    out[i + kChannels - 1] = alpha;
  }
}

// A row of summed source rows spread across the output columns. A column
// past the last takes the last source pixel's empty second share, so the
// loop needs no test; the channel count is fixed so that it unrolls.
template <size_t kChannels>
void spread(const std::vector<BoxResampler::Split>& columns, const float* row, float* across) {
  for (size_t x = 0; x < columns.size(); ++x) {
    const BoxResampler::Split& split = columns[x];
    const float* pixel = row + x * kChannels;
    float* first = across + split.to * kChannels;
    for (size_t c = 0; c < kChannels; ++c) {
      first[c] += split.first * pixel[c];
      first[kChannels + c] += split.second * pixel[c];
    }
  }
}

}  // namespace

// Down first, then across: each source row is added into the one or two
// output rows it falls in, a loop over whole rows that the compiler turns
// into vector instructions, and the summed row is spread across the columns
// only once, when its output row is complete.
bool BoxResampler::push(const uint8_t* row, uint8_t* out) {
  if (sourceRow_ == sourceHeight_) throw std::invalid_argument("BoxResampler: too many rows");
  const size_t samples = source_.size();
  switch (channels_) {
    case 1:
      weigh<1, false>(row, source_.data(), samples);
      break;
    case 2:
      weigh<2, true>(row, source_.data(), samples);
      break;
    case 3:
      weigh<3, false>(row, source_.data(), samples);
      break;
    default:
      weigh<4, true>(row, source_.data(), samples);
      break;
  }
  const Split& split = rows_[sourceRow_++];
  const float* source = source_.data();
  float* current = current_.data();
  float* next = next_.data();
  for (size_t i = 0; i < samples; ++i) {
    current[i] += split.first * source[i];
    next[i] += split.second * source[i];
  }
  // The output row is complete once the next source row starts below it.
  if (sourceRow_ < sourceHeight_ && rows_[sourceRow_].to == split.to) return false;
  std::fill(across_.begin(), across_.end(), 0.0f);
  switch (channels_) {
    case 1:
      spread<1>(columns_, current, across_.data());
      break;
    case 2:
      spread<2>(columns_, current, across_.data());
      break;
    case 3:
      spread<3>(columns_, current, across_.data());
      break;
    default:
      spread<4>(columns_, current, across_.data());
      break;
  }
  emit(out);
  std::swap(current_, next_);
  std::fill(next_.begin(), next_.end(), 0.0f);
  return true;
}

void BoxResampler::emit(uint8_t* out) {
  // Through int, which the compiler turns into vector instructions.
  const auto level = [](float v) {
    return uint8_t(int(std::min(std::max(v, 0.0f), 255.0f) + 0.5f));
  };
  // Read through a local pointer: `out` may alias the members, which would
  // make the compiler reload them at every byte.
  const float* sums = across_.data();
  const size_t samples = size_t(width_) * channels_;
  if (!alpha_) {
    for (size_t i = 0; i < samples; ++i) out[i] = level(sums[i]);
    return;
  }
  const size_t channels = size_t(channels_);
  for (size_t i = 0; i < samples; i += channels) {
    const float alpha = sums[i + channels - 1];
    for (size_t c = 0; c + 1 < channels; ++c) out[i + c] = alpha > 0 ? level(sums[i + c] / alpha) : 0;
    out[i + channels - 1] = level(alpha);
  }
}

}  // namespace quillon
