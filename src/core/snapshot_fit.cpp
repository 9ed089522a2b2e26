#include "snapshot_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "jpeg_writer.hpp"
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
// The same for a JPEG at one quality: measured 0.80 to 0.85 on renders
// scaled from 2000 px down to 1000.
constexpr double kJPEGBytesPerPixelsPower = 0.8;
// A predicted size is aimed this far under its room.
constexpr double kAim = 0.95;
// A lossless picture whose guess is over its room by less than this is
// encoded all the same: the guess is a sample's, and a PNG that fits beats
// any JPEG.
constexpr double kPNGGuessSlack = 1.15;
// The picture scaled to the edge is held for the further sizes and trials
// when it takes at most this much memory (a 2000-pixel RGBA picture takes
// 10 MiB); a larger one, possible only with a larger edge or none, is
// decoded again for each size instead.
constexpr size_t kMostHeldBytes = 24u << 20;
// A guess at a PNG's size is made from every fourth band of this many rows.
constexpr uint32_t kSampleBand = 8;
// A JPEG's quality is guessed from every this many 8-row bands.
constexpr uint32_t kJPEGSampleEvery = 4;

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

// The most picture bytes whose Base64 fits beside `frame` bytes in the budget.
uint64_t pictureRoom(uint64_t budget, uint64_t frame) {
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

// A picture JPEG carries as it stands: every pixel opaque, and a colour
// space it can name. Its ICC profile (empty for sRGB or none), or nothing
// when the picture must stay PNG.
std::optional<std::string> jpegProfile(std::string_view colourChunks) {
  // cICP overrides every other colour chunk, and JPEG has no place for it.
  if (findChunk(colourChunks, "cICP")) return std::nullopt;
  // An ICC profile travels in APP2 segments of at most 65519 bytes, 255 of
  // them; one that cannot be read cannot travel.
  if (const auto iccp = findChunk(colourChunks, "iCCP")) {
    return inflateICCProfile(*iccp, size_t(255) * 65519);
  }
  // Beside sRGB, gAMA and cHRM are only fallbacks for readers without it.
  if (findChunk(colourChunks, "sRGB")) return std::string();
  if (findChunk(colourChunks, "gAMA") || findChunk(colourChunks, "cHRM")) return std::nullopt;
  return std::string();
}

bool opaqueRow(const uint8_t* row, uint32_t width, int channels) {
  if (channels != 2 && channels != 4) return true;
  uint8_t all = 255;
  for (size_t i = size_t(channels) - 1; i < size_t(width) * channels; i += channels) all &= row[i];
  return all == 255;
}

// The sending again of one body: the viewport's rows at any size, encoded
// as PNG or JPEG, and the guesses at their bytes.
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
    // held for every size and trial after, as long as that takes little
    // memory. Whether every pixel is opaque is seen on the way too.
    const auto next = [&](uint8_t* row) {
      reader.readRow(row);
      opaque_ = opaque_ && opaqueRow(row, header_.width, channels_);
      return static_cast<const uint8_t*>(row);
    };
    if (size_t(base_.width) * base_.height * channels_ > kMostHeldBytes) {
      if (channels_ == 2 || channels_ == 4) {
        std::vector<uint8_t> row(size_t(header.width) * channels_);
        for (uint32_t y = 0; y < header.height; ++y) next(row.data());
      }
      return;
    }
    held_.width = base_.width;
    held_.height = base_.height;
    held_.channels = channels_;
    held_.pixels.resize(size_t(base_.width) * base_.height * channels_);
    uint8_t* target = held_.pixels.data();
    const size_t rowBytes = size_t(base_.width) * channels_;
    scaleInto(header.width, header.height, channels_, base_, next,
              [&](const uint8_t* row) { target = std::copy(row, row + rowBytes, target); });
  }

  Size base() const { return base_; }
  int channels() const { return channels_; }
  const std::string& colourChunks() const { return colourChunks_; }
  bool opaque() const { return opaque_; }

  // The base size's PNG bytes, guessed: from a sample of its bands when it
  // is held, else from the viewer's own PNG, as though it packed as ours do.
  uint64_t guessPNG() const {
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

  std::string encodePNG(Size size) const {
    PNGWriter writer(size.width, size.height, channels_, colourChunks_);
    rowsAt(size, [&](const uint8_t* row) { writer.writeRow(row); });
    return writer.finish();
  }

  std::string encodeJPEG(Size size, int quality, const std::string& profile) const {
    JPEGWriter writer(size.width, size.height, channels_, quality, profile);
    rowsAt(size, [&](const uint8_t* row) { writer.writeRow(row); });
    return writer.finish();
  }

  // Hands each row of the picture at `size` to `put`: from the held rows,
  // or from the viewport's read again.
  template <typename Put>
  void rowsAt(Size size, Put put) const {
    if (!held_.pixels.empty()) {
      uint32_t y = 0;
      scaleInto(held_.width, held_.height, channels_, size,
                [&](uint8_t*) { return held_.row(y++); }, put);
    } else {
      PNGReader reader(body_);
      scaleInto(header_.width, header_.height, channels_, size, readFrom(reader), put);
    }
  }

 private:
  std::string_view body_;
  PNGHeader header_;
  int channels_ = 0;
  std::string colourChunks_;
  Size base_{0, 0};
  bool opaque_ = true;
  Picture held_;
};

// The long side whose picture should take `room` bytes, from one that took
// `bytes` at `longSide`, when bytes grow as pixels to `power`.
uint32_t predictedSide(uint32_t longSide, uint64_t bytes, uint64_t room, double power) {
  const double ratio = kAim * double(room) / double(std::max<uint64_t>(bytes, 1));
  return static_cast<uint32_t>(longSide * std::pow(std::min(ratio, 1.0), 0.5 / power));
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
  return {FittedSnapshot::Outcome::refused, {}, {}, std::move(text)};
}

// One body's search for the largest picture that fits.
class Search {
 public:
  // `floor`: the smallest long side sent.
  Search(std::string_view body, const PNGHeader& header, const SnapshotLimits& limits,
         const ResultFrame& frame, uint32_t floor)
      : body_(body),
        header_(header),
        limits_(limits),
        frame_(frame),
        fitter_(body, header, limits),
        floor_(floor) {}

  FittedSnapshot run() {
    const Size base = fitter_.base();
    const std::optional<std::string> profile =
        limits_.format == SnapshotFormat::automatic && fitter_.opaque()
            ? jpegProfile(fitter_.colourChunks())
            : std::nullopt;
    if (!profile) return pngOnly();
    // Lossless at the edge when the guess leaves a chance; a guess is a
    // sample's, so a near miss is tried whole.
    if (fitter_.guessPNG() <= roomFor(base, 0) * kPNGGuessSlack) {
      std::string png = fitter_.encodePNG(base);
      if (png.size() <= roomFor(base, 0)) return sent(base, 0, std::move(png));
    }
    return jpeg(*profile);
  }

 private:
  // The caption's note for a picture of `size` at JPEG `quality` (0: PNG).
  std::string noteFor(Size size, int quality) const {
    const std::string as = quality ? "JPEG (quality " + std::to_string(quality) + ")" : "";
    if (size.width == header_.width && size.height == header_.height) {
      return quality ? "Sent as " + as + ", at its own size, to fit the assistant's limits."
                     : "Encoded again, at its own size, to fit the assistant's limits.";
    }
    return "Scaled down from " + sides(header_.width, header_.height) + " to " +
           sides(size.width, size.height) + (quality ? " and sent as " + as : "") +
           " to fit the assistant's limits.";
  }

  uint64_t roomFor(Size size, int quality) const {
    const uint64_t frame = quality ? frame_.asJPEG : frame_.asPNG;
    return pictureRoom(limits_.maxBytes, frame + 1 + noteFor(size, quality).size());
  }

  FittedSnapshot sent(Size size, int quality, std::string picture) const {
    return {FittedSnapshot::Outcome::encoded, std::move(picture),
            quality ? "image/jpeg" : "image/png", noteFor(size, quality)};
  }

  FittedSnapshot tooLargeAtTheFloor(Size size, size_t bytes) const {
    return refused(refusal(body_, header_, limits_,
                           "even scaled down to " + sides(size.width, size.height) +
                               " pixels, the smallest it is sent at, it is " +
                               std::to_string(bytes) + " bytes"));
  }

  // PNG at the edge (within it, the whole picture encoded again), unless
  // the guess at its bytes says that it cannot fit; then smaller.
  FittedSnapshot pngOnly() const {
    const Size base = fitter_.base();
    const uint32_t baseSide = std::max(base.width, base.height);
    const uint64_t guess = fitter_.guessPNG(), baseRoom = roomFor(base, 0);
    const uint32_t longSide =
        guess > baseRoom ? predictedSide(baseSide, guess, baseRoom, kBytesPerPixelsPower)
                         : baseSide;
    return smaller(std::clamp(longSide, floor_, baseSide), 0, {});
  }

  // From `longSide` down to the floor, at JPEG `quality` (0: PNG): each size
  // encoded, and the next predicted from its bytes.
  FittedSnapshot smaller(uint32_t longSide, int quality, const std::string& profile) const {
    const double power = quality ? kJPEGBytesPerPixelsPower : kBytesPerPixelsPower;
    for (;;) {
      const Size size = scaledTo(header_, longSide);
      const uint64_t room = roomFor(size, quality);
      std::string picture =
          quality ? fitter_.encodeJPEG(size, quality, profile) : fitter_.encodePNG(size);
      if (picture.size() <= room) return sent(size, quality, std::move(picture));
      if (longSide == floor_) return tooLargeAtTheFloor(size, picture.size());
      longSide = std::clamp(predictedSide(longSide, picture.size(), room, power), floor_,
                            longSide - 1);
    }
  }

  // JPEG at the edge, at the highest quality that fits: the quality is
  // guessed from a sample, and each encoding corrects the guesses after it.
  // Below the floor quality, smaller at the floor quality.
  FittedSnapshot jpeg(const std::string& profile) const {
    const Size base = fitter_.base();
    JPEGSizeEstimate estimate(base.width, base.height, fitter_.channels(), kJPEGSampleEvery,
                              profile.size());
    fitter_.rowsAt(base, [&](const uint8_t* row) { estimate.writeRow(row); });
    // Each quality's estimate is worked out once; the search asks again.
    std::array<uint64_t, kJPEGQualityCeiling + 1> estimated{};
    const auto estimateAt = [&](int quality) {
      if (!estimated[quality]) estimated[quality] = std::max<uint64_t>(estimate.bytes(quality), 1);
      return estimated[quality];
    };
    double correction = 1.0;  // the last encoding's bytes over its estimate
    const auto fits = [&](int quality) {
      return double(estimateAt(quality)) * correction <= double(roomFor(base, quality));
    };
    int quality = kJPEGQualityCeiling;
    while (quality >= kJPEGQualityFloor && !fits(quality)) --quality;
    std::string best;
    int bestQuality = 0, failed = kJPEGQualityCeiling + 1;  // the lowest quality found too large
    while (quality >= kJPEGQualityFloor) {
      std::string picture = fitter_.encodeJPEG(base, quality, profile);
      correction = double(picture.size()) / double(estimateAt(quality));
      if (picture.size() <= roomFor(base, quality)) {
        best = std::move(picture);
        bestQuality = quality;
        // Corrected, the guess may leave room for a better quality still.
        if (quality + 1 >= failed || !fits(quality + 1)) break;
        ++quality;
      } else {
        failed = quality;
        if (bestQuality) break;
        do --quality;
        while (quality >= kJPEGQualityFloor && !fits(quality));
      }
    }
    if (bestQuality) return sent(base, bestQuality, std::move(best));

    // Smaller, from the floor quality's bytes at the edge as corrected.
    const uint32_t baseSide = std::max(base.width, base.height);
    const uint64_t bytes = uint64_t(double(estimateAt(kJPEGQualityFloor)) * correction);
    const uint32_t longSide =
        predictedSide(baseSide, bytes, roomFor(base, kJPEGQualityFloor), kJPEGBytesPerPixelsPower);
    return smaller(std::clamp(longSide, floor_, std::max(floor_, baseSide - 1)), kJPEGQualityFloor,
                   profile);
  }

  std::string_view body_;
  PNGHeader header_;
  SnapshotLimits limits_;
  ResultFrame frame_;
  Fitter fitter_;
  uint32_t floor_;
};

}  // namespace

SnapshotLimits snapshotLimits(const Environment& environment) {
  SnapshotLimits limits;
  limits.maxBytes = decimal(environment, "QUILLON_SNAPSHOT_MAX_BYTES",
                            std::numeric_limits<uint64_t>::max())
                        .value_or(kDefaultSnapshotMaxBytes);
  limits.maxEdge = static_cast<uint32_t>(
      decimal(environment, "QUILLON_SNAPSHOT_MAX_EDGE", std::numeric_limits<uint32_t>::max())
          .value_or(kDefaultSnapshotMaxEdge));
  const auto format = environment.find("QUILLON_SNAPSHOT_FORMAT");
  if (format != environment.end() && format->second == "png") limits.format = SnapshotFormat::png;
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
    return Search(body, *header, limits, frame, floor).run();
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
