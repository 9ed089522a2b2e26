// The picture path on arbitrary bytes: the PNG reader on its own, reading
// every row, then the fitter, as PNG only and as it chooses, with a budget
// and an edge small enough that the seeds (tests/data/png: every colour type
// and depth, interlaced or not) are sent again. Whatever the bytes, nothing
// crashes, leaks or overruns, and the outcome keeps its promise: a picture
// sent as it is fits; one sent again fits and reads back at its size, a JPEG
// only of an opaque picture (and through libjpeg too, where it is linked in);
// a refusal says what to do.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "jpeg_writer.hpp"
#include "png_reader.hpp"
#include "snapshot_fit.hpp"
#include "text.hpp"
#ifdef QUILLON_HAVE_LIBJPEG
#include "support/pictures.hpp"
#endif

namespace {

constexpr quillon::ResultFrame kFrame{150, 140, 141};

uint64_t resultBytes(size_t png, uint64_t frame) {
  return (png + 2) / 3 * 4 + frame;
}

// Reads every row; the sides when it could, nothing when it could not.
bool readsWhole(std::string_view file, quillon::PNGHeader* header = nullptr, int* channels = nullptr,
                bool* opaque = nullptr) {
  try {
    quillon::PNGReader reader(file);
    const int samples = reader.channels();
    std::vector<uint8_t> row(size_t(reader.header().width) * samples);
    bool allOpaque = true;
    for (uint32_t y = 0; y < reader.header().height; ++y) {
      reader.readRow(row.data());
      for (size_t i = samples - 1; samples % 2 == 0 && i < row.size(); i += samples) {
        allOpaque = allOpaque && row[i] == 255;
      }
    }
    if (header) *header = reader.header();
    if (channels) *channels = samples;
    if (opaque) *opaque = allOpaque;
    return true;
  } catch (const quillon::PNGError&) {
    return false;
  }
}

void checkFitted(std::string_view body, const quillon::SnapshotLimits& limits) {
  quillon::PNGHeader source;
  int channels = 0;
  bool opaque = false;
  const bool readable = readsWhole(body, &source, &channels, &opaque);

  const quillon::FittedSnapshot fitted = quillon::fitSnapshot(body, limits, kFrame);
  const std::optional<quillon::PNGHeader> header = quillon::readPNGHeader(body);
  switch (fitted.outcome) {
    case quillon::FittedSnapshot::Outcome::asSent:
      FUZZ_CHECK(resultBytes(body.size(), kFrame.asSent) <= limits.maxBytes);
      FUZZ_CHECK(!header || std::max(header->width, header->height) <= limits.maxEdge);
      FUZZ_CHECK(fitted.picture.empty());
      break;
    case quillon::FittedSnapshot::Outcome::encoded: {
      // Only a picture that reads whole can be sent again, and what comes
      // out reads whole too, within both limits, never larger than it was.
      FUZZ_CHECK(readable);
      uint32_t width = 0, height = 0;
      if (fitted.mimeType == "image/png") {
        quillon::PNGHeader sent;
        int sentChannels = 0;
        FUZZ_CHECK(readsWhole(fitted.picture, &sent, &sentChannels));
        FUZZ_CHECK(sentChannels == channels && sent.bitDepth == 8 && !sent.interlaced);
        width = sent.width, height = sent.height;
      } else {
        FUZZ_CHECK(fitted.mimeType == "image/jpeg");
        FUZZ_CHECK(limits.format == quillon::SnapshotFormat::automatic && opaque);
        const std::optional<quillon::JPEGHeader> sent = quillon::readJPEGHeader(fitted.picture);
        FUZZ_CHECK(sent && sent->components == (channels < 3 ? 1 : 3));
        width = sent->width, height = sent->height;
#ifdef QUILLON_HAVE_LIBJPEG
        const quillon::test::Picture decoded = quillon::test::readJPEG(fitted.picture);
        FUZZ_CHECK(decoded.width == width && decoded.height == height &&
                   decoded.channels == sent->components);
#endif
      }
      FUZZ_CHECK(std::max(width, height) <= limits.maxEdge);
      FUZZ_CHECK(width <= source.width && height <= source.height);
      const uint64_t frame = fitted.mimeType == "image/png" ? kFrame.asPNG : kFrame.asJPEG;
      FUZZ_CHECK(resultBytes(fitted.picture.size(), frame + 1 + fitted.note.size()) <=
                 limits.maxBytes);
      FUZZ_CHECK(quillon::isValidUTF8(fitted.note));
      break;
    }
    case quillon::FittedSnapshot::Outcome::refused:
      FUZZ_CHECK(fitted.picture.empty() && quillon::isValidUTF8(fitted.note));
      FUZZ_CHECK(fitted.note.find("QUILLON_SNAPSHOT_MAX_BYTES") != std::string::npos);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  checkFitted(body, {1200, 16, quillon::SnapshotFormat::png});
  // A JPEG's headers and tables alone take some 800 bytes of result: this
  // budget sends the render-like seeds as JPEG, and their PNGs would not fit.
  checkFitted(body, {3000, 48, quillon::SnapshotFormat::automatic});
  return 0;
}
