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
// any JPEG. A try that does not fit stops where it passes the room, so it
// costs that share of an encode.
constexpr double kPNGGuessSlack = 1.15;
// A picture sent smaller than the edge is within this share of the largest
// side that fits: a side this much larger was measured not to. Sizes jump
// about on periodic pictures, so nothing between is assumed to fit.
constexpr double kSideStep = 0.05;
// Each search follows its guesses this many encodes, then halves what is
// left, so that a picture the guesses keep missing still ends in a few.
constexpr int kGuidedEncodes = 3;
// The picture scaled to the edge is held for the further sizes and trials
// when it takes at most this much memory (a 2000-pixel RGBA picture takes
// 10 MiB); a larger one, possible only with a larger edge or none, is
// decoded again for each size instead.
constexpr size_t kMostHeldBytes = 24u << 20;
// A guess at a PNG's size reads the bands of this many rows that
// guessReadsBand names, as the JPEG estimate does.
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

// What one encode found: the picture, when it fits its room; else the bytes
// it takes, or would have taken had it not stopped where it passed the room.
struct Trial {
  bool fits = false;
  uint64_t bytes = 0;
  std::string picture;
};

// Takes `height` source rows of `width` x `channels`, each from `next(row)`,
// and hands each row of the picture scaled to `size` to `put`, until `put`
// returns false.
template <typename Next, typename Put>
void scaleInto(uint32_t width, uint32_t height, int channels, Size size, Next next, Put put) {
  std::vector<uint8_t> source(size_t(width) * channels), scaled(size_t(size.width) * channels);
  if (size.width == width && size.height == height) {
    for (uint32_t y = 0; y < height; ++y) {
      if (!put(next(source.data()))) return;
    }
    return;
  }
  BoxResampler resampler(width, height, size.width, size.height, channels);
  for (uint32_t y = 0; y < height; ++y) {
    if (resampler.push(next(source.data()), scaled.data()) && !put(scaled.data())) return;
  }
}

// Each next row of `reader`, read into the buffer it is given.
auto readFrom(PNGReader& reader) {
  return [&reader](uint8_t* row) {
    reader.readRow(row);
    return static_cast<const uint8_t*>(row);
  };
}

// sRGB written the long way: the gAMA and cHRM values an sRGB chunk stands
// for, which ImageMagick and many other tools write instead of it (and
// which libpng and browsers read as sRGB). Stored as 100000 times the value.
constexpr uint32_t kSRGBGamma = 45455;  // 1/2.2
// White point D65, then red, green and blue, each x and y, as cHRM holds them.
constexpr uint32_t kSRGBChromaticities[8] = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
// Writers round 1/2.2 to 45454 or 45455 and the primaries to 4 or 5
// digits; anything further off is another colour space. 100 is 0.001 of
// gamma (1/2.2 against 1/2.205), 150 the 0.0015 of chromaticity that
// libpng's own sRGB check allows with room for rounding.
constexpr uint32_t kGammaTolerance = 100;
constexpr uint32_t kChromaticityTolerance = 150;

uint32_t bigEndian32(std::string_view bytes, size_t at) {
  return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
         uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
}

bool near(uint32_t value, uint32_t target, uint32_t tolerance) {
  return (value > target ? value - target : target - value) <= tolerance;
}

// Whether gAMA and cHRM, where present, say sRGB. Either alone is sRGB
// enough: a gamma of 1/2.2 on any primaries a viewer writes, or sRGB's
// primaries on the default gamma, reads as an untagged picture does.
bool sRGBTheLongWay(std::string_view colourChunks) {
  if (const auto gamma = findChunk(colourChunks, "gAMA")) {
    if (gamma->size() != 4 || !near(bigEndian32(*gamma, 0), kSRGBGamma, kGammaTolerance)) {
      return false;
    }
  }
  if (const auto chromaticities = findChunk(colourChunks, "cHRM")) {
    if (chromaticities->size() != 32) return false;
    for (size_t i = 0; i < 8; ++i) {
      if (!near(bigEndian32(*chromaticities, 4 * i), kSRGBChromaticities[i],
                kChromaticityTolerance)) {
        return false;
      }
    }
  }
  return true;
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
  // A plain JFIF is read as sRGB.
  if (!sRGBTheLongWay(colourChunks)) return std::nullopt;
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
    scaleInto(header.width, header.height, channels_, base_, next, [&](const uint8_t* row) {
      target = std::copy(row, row + rowBytes, target);
      return true;
    });
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
      return uint64_t(
          double(body_.size()) *
          std::pow(pixels / (double(header_.width) * header_.height), kBytesPerPixelsPower));
    }
    const uint32_t bands = (held_.height + kSampleBand - 1) / kSampleBand;
    std::vector<uint32_t> rows;
    for (uint32_t y = 0; y < held_.height; ++y) {
      if (guessReadsBand(y / kSampleBand, bands)) rows.push_back(y);
    }
    PNGWriter sample(held_.width, static_cast<uint32_t>(rows.size()), channels_, colourChunks_);
    for (uint32_t y : rows) sample.writeRow(held_.row(y));
    return sample.finish().size() * uint64_t(held_.height) / rows.size();
  }

  // The picture at `size`, as a JPEG at `quality` or (0) a PNG, encoded to
  // see whether it takes at most `room` bytes. Unless `whole`, the encode
  // stops as soon as its bytes pass the room.
  Trial trial(Size size, int quality, const std::string& profile, uint64_t room,
              bool whole = false) const {
    ++encodes_;
    if (quality)
      return trialWith(JPEGWriter(size.width, size.height, channels_, quality, profile), size, room,
                       whole);
    return trialWith(PNGWriter(size.width, size.height, channels_, colourChunks_), size, room,
                     whole);
  }

  int encodes() const { return encodes_; }

 private:
  template <typename Writer>
  Trial trialWith(Writer&& writer, Size size, uint64_t room, bool whole) const {
    uint32_t rows = 0;
    bool over = false;
    rowsAt(size, [&](const uint8_t* row) {
      writer.writeRow(row);
      ++rows;
      over = !whole && writer.size() > room;
      return !over;
    });
    // The rows not written would have packed as those before them did.
    if (over) return {false, uint64_t(double(writer.size()) * size.height / rows), {}};
    std::string picture = writer.finish();
    const uint64_t bytes = picture.size();
    if (bytes > room) return {false, bytes, {}};
    return {true, bytes, std::move(picture)};
  }

  // Hands each row of the picture at `size` to `put`, until it returns
  // false: from the held rows, or from the viewport's read again.
  template <typename Put>
  void rowsAt(Size size, Put put) const {
    if (!held_.pixels.empty()) {
      uint32_t y = 0;
      scaleInto(
          held_.width, held_.height, channels_, size, [&](uint8_t*) { return held_.row(y++); },
          put);
    } else {
      PNGReader reader(body_);
      scaleInto(header_.width, header_.height, channels_, size, readFrom(reader), put);
    }
  }

 public:
  // Hands each row of the picture at the base size to `put`.
  template <typename Put>
  void baseRows(Put put) const {
    rowsAt(base_, [&](const uint8_t* row) {
      put(row);
      return true;
    });
  }

 private:
  std::string_view body_;
  PNGHeader header_;
  int channels_ = 0;
  std::string colourChunks_;
  Size base_{0, 0};
  bool opaque_ = true;
  Picture held_;
  mutable int encodes_ = 0;
};

// The long side whose picture should take `room` bytes, from one that took
// `bytes` at `longSide`, when bytes grow as pixels to `power`.
uint32_t predictedSide(uint32_t longSide, uint64_t bytes, uint64_t room, double power) {
  const double ratio = kAim * double(room) / double(std::max<uint64_t>(bytes, 1));
  const double side = longSide * std::pow(ratio, 0.5 / power);
  return static_cast<uint32_t>(std::min(side, double(std::numeric_limits<uint32_t>::max())));
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

// One body's search for the largest picture that fits. Every answer it
// gives is measured: a quality sent fits and the next one up was encoded and
// did not (unless it is the ceiling); a side sent smaller than the edge fits
// and one about kSideStep larger did not. The guesses only choose where to
// measure first.
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
    FittedSnapshot fitted = choose();
    fitted.encodes = fitter_.encodes();
    return fitted;
  }

 private:
  FittedSnapshot choose() {
    const Size base = fitter_.base();
    const std::optional<std::string> profile =
        limits_.format == SnapshotFormat::automatic && fitter_.opaque()
            ? jpegProfile(fitter_.colourChunks())
            : std::nullopt;
    const uint64_t guess = fitter_.guessPNG(), room = roomFor(base, 0);
    const uint32_t baseSide = std::max(base.width, base.height);
    if (!profile) {
      // Lossless at every size: from the edge when the guess leaves a
      // chance, else from the side it predicts.
      const uint32_t first = guess <= room * kPNGGuessSlack
                                 ? baseSide
                                 : predictedSide(baseSide, guess, room, kBytesPerPixelsPower);
      return largestSide(first, baseSide + 1, 0, {});
    }
    // Lossless at the edge when the guess leaves a chance; a guess is a
    // sample's, so a near miss is tried.
    if (guess <= room * kPNGGuessSlack) {
      Trial png = fitter_.trial(base, 0, {}, room);
      if (png.fits) return sent(base, 0, std::move(png.picture));
    }
    return jpeg(*profile);
  }

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

  FittedSnapshot tooLargeAtTheFloor(Size size, uint64_t bytes) const {
    return refused(refusal(body_, header_, limits_,
                           "even scaled down to " + sides(size.width, size.height) +
                               " pixels, the smallest it is sent at, it is " +
                               std::to_string(bytes) + " bytes"));
  }

  // The largest long side, from the floor to the edge, whose picture at JPEG
  // `quality` (0: PNG) fits, measuring `first` first. `failed` is the
  // smallest side measured not to fit, or one past the edge when none has
  // been (nothing above the edge is sent, so nothing there needs proof).
  FittedSnapshot largestSide(uint32_t first, uint32_t failed, int quality,
                             const std::string& profile) const {
    const Size base = fitter_.base();
    const uint32_t baseSide = std::max(base.width, base.height);
    const double power = quality ? kJPEGBytesPerPixelsPower : kBytesPerPixelsPower;
    // Within a step of the largest that fits: a side this large was
    // measured not to fit, or is the edge.
    const auto closeEnough = [](uint32_t side) {
      return side + std::max<uint32_t>(1, uint32_t(std::ceil(side * kSideStep)));
    };
    uint32_t fitted = 0;  // the largest side measured to fit
    std::string best;
    uint32_t side = first;
    for (int encodes = 1;; ++encodes) {
      const uint32_t low = std::max(fitted + 1, floor_), high = std::min(failed - 1, baseSide);
      side = std::clamp(side, low, high);
      // Once one fits, the next measured is at least a step larger: if it
      // does not fit either, it is the proof.
      if (fitted) side = std::max(side, std::min(closeEnough(fitted), high));
      const Size size = scaledTo(header_, side);
      const uint64_t room = roomFor(size, quality);
      // At the floor the whole picture is encoded: its size goes into the
      // refusal when even that does not fit.
      Trial trial = fitter_.trial(size, quality, profile, room, side == floor_);
      if (trial.fits) {
        fitted = side;
        best = std::move(trial.picture);
      } else {
        if (side == floor_) return tooLargeAtTheFloor(size, trial.bytes);
        failed = side;
      }
      if (fitted == baseSide || (fitted && failed <= baseSide && failed <= closeEnough(fitted))) {
        return sent(scaledTo(header_, fitted), quality, std::move(best));
      }
      // The next side: predicted from this one's bytes, or, once the
      // predictions have had their encodes, halfway between what is known.
      if (encodes < kGuidedEncodes) {
        side = predictedSide(side, trial.bytes, room, power);
      } else {
        const double below = std::max(fitted, floor_), above = std::min(failed, baseSide + 1);
        side = uint32_t(std::sqrt(below * above));
      }
    }
  }

  // JPEG at the edge, at the highest quality that fits, then smaller at the
  // floor quality when even that does not fit at the edge. The estimate
  // picks the quality to measure first; each encode corrects it for the
  // next, and the search ends when two neighbouring qualities were measured
  // on either side of the room.
  FittedSnapshot jpeg(const std::string& profile) const {
    const Size base = fitter_.base();
    JPEGSizeEstimate estimate(base.width, base.height, fitter_.channels(), false, profile.size());
    fitter_.baseRows([&](const uint8_t* row) { estimate.writeRow(row); });
    // Each quality's estimate is worked out once; the search asks again.
    std::array<uint64_t, kJPEGQualityCeiling + 1> estimated{};
    const auto estimateAt = [&](int quality) {
      if (!estimated[quality]) estimated[quality] = std::max<uint64_t>(estimate.bytes(quality), 1);
      return estimated[quality];
    };
    double correction = 1.0;  // the last encode's bytes over its estimate
    int fitted = kJPEGQualityFloor - 1, failed = kJPEGQualityCeiling + 1;
    std::string best;
    uint64_t floorBytes = 0;
    for (int encodes = 0; failed - fitted > 1; ++encodes) {
      int quality = (fitted + failed) / 2;
      if (encodes < kGuidedEncodes) {
        // The best quality the corrected estimate lets fit, or the lowest
        // one not yet measured when it lets none.
        quality = fitted + 1;
        for (int q = failed - 1; q > fitted; --q) {
          if (double(estimateAt(q)) * correction <= double(roomFor(base, q))) {
            quality = q;
            break;
          }
        }
      }
      Trial trial = fitter_.trial(base, quality, profile, roomFor(base, quality));
      correction = double(trial.bytes) / double(estimateAt(quality));
      if (trial.fits) {
        fitted = quality;
        best = std::move(trial.picture);
      } else {
        failed = quality;
        if (quality == kJPEGQualityFloor) floorBytes = trial.bytes;
      }
    }
    if (fitted >= kJPEGQualityFloor) return sent(base, fitted, std::move(best));

    // Smaller, at the floor quality, first where its bytes at the edge say.
    const uint32_t baseSide = std::max(base.width, base.height);
    const uint32_t first = predictedSide(baseSide, floorBytes, roomFor(base, kJPEGQualityFloor),
                                         kJPEGBytesPerPixelsPower);
    return largestSide(first, baseSide, kJPEGQualityFloor, profile);
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
  limits.maxBytes =
      decimal(environment, "QUILLON_SNAPSHOT_MAX_BYTES", std::numeric_limits<uint64_t>::max())
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
  if (!header)
    return refused(refusal(body, header, limits, "it is not a PNG that can be scaled down"));

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
