#include "snapshot_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <exception>
#include <new>
#include <optional>
#include <vector>

#include "png_reader.hpp"
#include "png_writer.hpp"
#include "resample.hpp"

namespace quillon {

namespace {

constexpr const char* kTimes = "\xC3\x97";  // the multiplication sign, U+00D7
// How a PNG's size follows its pixel count when a render is scaled down:
// bytes grow as pixels^0.85 (measured 0.86 to 0.88 on renders), since a
// smaller picture packs less well per pixel. Predictions use the low end, so
// that they land under the room rather than over it.
constexpr double kBytesPerPixelsPower = 0.85;
// A predicted size is aimed this far under its room.
constexpr double kAim = 0.95;
// The picture scaled to the edge is held for the further sizes when it takes
// at most this much memory (a 1568-pixel RGBA picture takes under 10 MiB);
// a larger one, possible only with a larger edge or none, is decoded again
// for each size instead.
constexpr size_t kMostHeldBytes = 24u << 20;
// A guess at a size is made from every fourth band of this many rows.
constexpr uint32_t kSampleBand = 8;

std::optional<uint64_t> decimal(const Environment& environment, const char* name, uint64_t most) {
  const auto entry = environment.find(name);
  if (entry == environment.end() || entry->second.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : entry->second) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = uint64_t(c - '0');
    if (value > (most - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

uint64_t base64Length(uint64_t bytes) {
  return (bytes + 2) / 3 * 4;
}

// The most PNG bytes whose Base64 fits beside `frame` bytes in the budget.
uint64_t pngRoom(uint64_t budget, uint64_t frame) {
  return frame >= budget ? 0 : (budget - frame) / 4 * 3;
}

std::string sides(uint32_t width, uint32_t height) {
  return std::to_string(width) + kTimes + std::to_string(height);
}

struct Size {
  uint32_t width, height;
};

// The picture's sides with its long side at `longSide`, keeping its shape.
Size scaledTo(const PNGHeader& header, uint32_t longSide) {
  const uint32_t longest = std::max(header.width, header.height);
  const auto other = [&](uint32_t side) {
    const double scaled = std::round(double(side) * longSide / longest);
    return static_cast<uint32_t>(std::clamp(scaled, 1.0, double(side)));
  };
  return header.width >= header.height ? Size{longSide, other(header.height)}
                                       : Size{other(header.width), longSide};
}

// A picture held decoded, rows top to bottom.
struct Picture {
  uint32_t width = 0, height = 0;
  int channels = 0;
  std::vector<uint8_t> pixels;

  const uint8_t* row(uint32_t y) const { return pixels.data() + size_t(y) * width * channels; }
};

// Takes `height` source rows of `width` x `channels`, each from `next(row)`,
// and hands each row of the picture scaled to `size` to `put`.
template <typename Next, typename Put>
void scaleInto(uint32_t width, uint32_t height, int channels, Size size, Next next, Put put) {
  std::vector<uint8_t> source(size_t(width) * channels), scaled(size_t(size.width) * channels);
  if (size.width == width && size.height == height) {
    for (uint32_t y = 0; y < height; ++y) put(next(source.data()));
    return;
  }
  BoxResampler resampler(width, height, size.width, size.height, channels);
  for (uint32_t y = 0; y < height; ++y) {
    if (resampler.push(next(source.data()), scaled.data())) put(scaled.data());
  }
}

// Each next row of `reader`, read into the buffer it is given.
auto readFrom(PNGReader& reader) {
  return [&reader](uint8_t* row) {
    reader.readRow(row);
    return static_cast<const uint8_t*>(row);
  };
}

// The scaling of one body: its sizes encoded, and the guesses between them.
class Fitter {
 public:
  Fitter(std::string_view body, const PNGHeader& header, const SnapshotLimits& limits)
      : body_(body), header_(header) {
    PNGReader reader(body);
    channels_ = reader.channels();
    colourChunks_ = reader.colourChunks();
    const uint32_t longest = std::max(header.width, header.height);
    base_ = limits.maxEdge && longest > limits.maxEdge ? scaledTo(header, limits.maxEdge)
                                                         : Size{header.width, header.height};
    // The viewport's rows are read once: scaled to the edge on the way, and
    // held for every size after, as long as that takes little memory.
    if (size_t(base_.width) * base_.height * channels_ > kMostHeldBytes) return;
    held_.width = base_.width;
    held_.height = base_.height;
    held_.channels = channels_;
    held_.pixels.resize(size_t(base_.width) * base_.height * channels_);
    uint8_t* target = held_.pixels.data();
    const size_t rowBytes = size_t(base_.width) * channels_;
    scaleInto(header.width, header.height, channels_, base_, readFrom(reader),
              [&](const uint8_t* row) { target = std::copy(row, row + rowBytes, target); });
  }

  Size base() const { return base_; }

  // The base size's bytes, guessed: from a sample of its bands when it is
  // held, else from the viewer's own PNG, as though it packed as ours do.
  uint64_t guess() const {
    if (held_.pixels.empty()) {
      const double pixels = double(base_.width) * base_.height;
      return uint64_t(double(body_.size()) *
                      std::pow(pixels / (double(header_.width) * header_.height),
                               kBytesPerPixelsPower));
    }
    std::vector<uint32_t> rows;
    for (uint32_t y = 0; y < held_.height; ++y) {
      if (y / kSampleBand % 4 == 0) rows.push_back(y);
    }
    PNGWriter sample(held_.width, static_cast<uint32_t>(rows.size()), channels_, colourChunks_);
    for (uint32_t y : rows) sample.writeRow(held_.row(y));
    return sample.finish().size() * uint64_t(held_.height) / rows.size();
  }

  // The picture at `size`, from the held rows or from the viewport's again.
  std::string encode(Size size) const {
    PNGWriter writer(size.width, size.height, channels_, colourChunks_);
    const auto put = [&](const uint8_t* row) { writer.writeRow(row); };
    if (!held_.pixels.empty()) {
      uint32_t y = 0;
      scaleInto(held_.width, held_.height, channels_, size, [&](uint8_t*) { return held_.row(y++); },
                put);
    } else {
      PNGReader reader(body_);
      scaleInto(header_.width, header_.height, channels_, size, readFrom(reader), put);
    }
    return writer.finish();
  }

 private:
  std::string_view body_;
  PNGHeader header_;
  int channels_ = 0;
  std::string colourChunks_;
  Size base_{0, 0};
  Picture held_;
};

// The long side whose picture should take `room` bytes, from one that took
// `bytes` at `longSide`.
uint32_t predictedSide(uint32_t longSide, uint64_t bytes, uint64_t room) {
  const double ratio = kAim * double(room) / double(std::max<uint64_t>(bytes, 1));
  return static_cast<uint32_t>(longSide * std::pow(std::min(ratio, 1.0), 0.5 / kBytesPerPixelsPower));
}

std::string refusal(std::string_view body, const std::optional<PNGHeader>& header,
                    const SnapshotLimits& limits, const std::string& reason) {
  std::string text = "The viewport snapshot does not fit what the assistant takes (" +
                     std::to_string(limits.maxBytes) + " bytes a tool result";
  if (limits.maxEdge) text += ", " + std::to_string(limits.maxEdge) + " pixels a side";
  text += "): it is " + std::to_string(body.size()) + " bytes";
  if (header) text += " (" + sides(header->width, header->height) + " pixels)";
  text += ", and " + reason +
          ". To see the viewport, make Quillon's window smaller and take the snapshot again, or "
          "call quillon_snapshot with format \"pdf\" to export it as a vector PDF; or raise the "
          "limit with QUILLON_SNAPSHOT_MAX_BYTES where the assistant takes more.";
  return text;
}

FittedSnapshot refused(std::string text) {
  return {FittedSnapshot::Outcome::refused, {}, std::move(text)};
}

}  // namespace

SnapshotLimits snapshotLimits(const Environment& environment) {
  SnapshotLimits limits;
  limits.maxBytes = decimal(environment, "QUILLON_SNAPSHOT_MAX_BYTES",
                            std::numeric_limits<uint64_t>::max())
                        .value_or(kDefaultSnapshotMaxBytes);
  limits.maxEdge = static_cast<uint32_t>(
      decimal(environment, "QUILLON_SNAPSHOT_MAX_EDGE", std::numeric_limits<uint32_t>::max())
          .value_or(kDefaultSnapshotMaxEdge));
  return limits;
}

FittedSnapshot fitSnapshot(std::string_view body, const SnapshotLimits& limits,
                           const ResultFrame& frame) {
  if (limits.maxBytes == 0) return {};
  const std::optional<PNGHeader> header = readPNGHeader(body);
  const uint32_t longest = header ? std::max(header->width, header->height) : 0;
  const bool withinEdge = !header || limits.maxEdge == 0 || longest <= limits.maxEdge;
  if (withinEdge && base64Length(body.size()) + frame.asSent <= limits.maxBytes) return {};
  if (!header) return refused(refusal(body, header, limits, "it is not a PNG that can be scaled down"));

  // An edge below the floor lowers the floor with it.
  const uint32_t floor =
      std::min({kSnapshotFloorEdge, longest, limits.maxEdge ? limits.maxEdge : longest});
  if (longest <= floor) {
    return refused(refusal(body, header, limits, "it is too small already to be scaled down"));
  }
  try {
    const Fitter fitter(body, *header, limits);
    const auto noteFor = [&](Size size) -> std::string {
      if (size.width == header->width && size.height == header->height) {
        return "Encoded again, at its own size, to fit the assistant's limits.";
      }
      return "Scaled down from " + sides(header->width, header->height) + " to " +
             sides(size.width, size.height) + " to fit the assistant's limits.";
    };
    const auto roomFor = [&](const std::string& note) {
      return pngRoom(limits.maxBytes, frame.asPNG + 1 + note.size());
    };
    // The edge first (within it, the whole picture encoded again), unless
    // the guess at its bytes says that it cannot fit.
    const Size base = fitter.base();
    const uint32_t baseSide = std::max(base.width, base.height);
    const uint64_t guess = fitter.guess();
    const uint64_t baseRoom = roomFor(noteFor(base));
    uint32_t longSide = guess > baseRoom ? predictedSide(baseSide, guess, baseRoom) : baseSide;
    longSide = std::clamp(longSide, floor, baseSide);
    for (;;) {
      const Size size = scaledTo(*header, longSide);
      std::string note = noteFor(size);
      const uint64_t room = roomFor(note);
      std::string png = fitter.encode(size);
      if (png.size() <= room) return {FittedSnapshot::Outcome::scaled, std::move(png), std::move(note)};
      if (longSide == floor) {
        return refused(refusal(body, header, limits,
                               "even scaled down to " + sides(size.width, size.height) +
                                   " pixels, the smallest it is sent at, it is " +
                                   std::to_string(png.size()) + " bytes"));
      }
      longSide = std::clamp(predictedSide(longSide, png.size(), room), floor, longSide - 1);
    }
  } catch (const PNGError& error) {
    return refused(refusal(body, header, limits,
                           std::string("it cannot be read as a PNG (") + error.what() + ")"));
  } catch (const std::bad_alloc&) {
    return refused(refusal(body, header, limits, "there is not enough memory to scale it down"));
  } catch (const std::exception& error) {
    // zlib failing to write, say: whatever stops the scaling, the host gets
    // the reason, never a picture half made.
    return refused(refusal(body, header, limits,
                           std::string("it could not be scaled down (") + error.what() + ")"));
  }
}

}  // namespace quillon
