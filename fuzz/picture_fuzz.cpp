// The picture path on arbitrary bytes: the PNG reader on its own, reading
// every row, then the fitter with a budget and an edge small enough that the
// seeds (tests/data/png: every colour type and depth, interlaced or not) are
// scaled down. Whatever the bytes, nothing crashes, leaks or overruns, and
// the outcome keeps its promise: a picture sent as it is fits, a scaled one
// fits and reads back at the scaled size, a refusal says what to do.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "png_reader.hpp"
#include "snapshot_fit.hpp"
#include "text.hpp"

namespace {

constexpr quillon::SnapshotLimits kLimits{1200, 16};
constexpr quillon::ResultFrame kFrame{150, 140};

uint64_t resultBytes(size_t png, uint64_t frame) {
  return (png + 2) / 3 * 4 + frame;
}

// Reads every row; the sides when it could, nothing when it could not.
bool readsWhole(std::string_view file, quillon::PNGHeader* header = nullptr, int* channels = nullptr) {
  try {
    quillon::PNGReader reader(file);
    std::vector<uint8_t> row(size_t(reader.header().width) * reader.channels());
    for (uint32_t y = 0; y < reader.header().height; ++y) reader.readRow(row.data());
    if (header) *header = reader.header();
    if (channels) *channels = reader.channels();
    return true;
  } catch (const quillon::PNGError&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  quillon::PNGHeader source;
  int channels = 0;
  const bool readable = readsWhole(body, &source, &channels);

  const quillon::FittedSnapshot fitted = quillon::fitSnapshot(body, kLimits, kFrame);
  const std::optional<quillon::PNGHeader> header = quillon::readPNGHeader(body);
  switch (fitted.outcome) {
    case quillon::FittedSnapshot::Outcome::asSent:
      FUZZ_CHECK(resultBytes(size, kFrame.asSent) <= kLimits.maxBytes);
      FUZZ_CHECK(!header || std::max(header->width, header->height) <= kLimits.maxEdge);
      FUZZ_CHECK(fitted.png.empty());
      break;
    case quillon::FittedSnapshot::Outcome::scaled: {
      // Only a picture that reads whole can be scaled, and what comes out
      // reads whole too, within both limits, never larger than it was.
      FUZZ_CHECK(readable);
      quillon::PNGHeader sent;
      int sentChannels = 0;
      FUZZ_CHECK(readsWhole(fitted.png, &sent, &sentChannels));
      FUZZ_CHECK(sentChannels == channels && sent.bitDepth == 8 && !sent.interlaced);
      FUZZ_CHECK(std::max(sent.width, sent.height) <= kLimits.maxEdge);
      FUZZ_CHECK(sent.width <= source.width && sent.height <= source.height);
      FUZZ_CHECK(resultBytes(fitted.png.size(), kFrame.asPNG + 1 + fitted.note.size()) <=
                 kLimits.maxBytes);
      FUZZ_CHECK(quillon::isValidUTF8(fitted.note));
      break;
    }
    case quillon::FittedSnapshot::Outcome::refused:
      FUZZ_CHECK(fitted.png.empty() && quillon::isValidUTF8(fitted.note));
      FUZZ_CHECK(fitted.note.find("QUILLON_SNAPSHOT_MAX_BYTES") != std::string::npos);
      break;
  }
  return 0;
}
