// Fitting a viewport snapshot to what the assistant's host takes, between
// the viewer's answer and the image result.
//
// Hosts refuse a tool result over about 1 MB (Claude Desktop), the model's
// API an image side over 2000 px in a long conversation, and hosts on the
// official TypeScript SDK close the session on a line over 10 MiB, while a
// Retina viewport's PNG is 2.5 MB or more. So a picture that fits is sent as
// it is, byte for byte. One that does not is sent again at the largest size
// and quality that fit, spending the bytes on pixels the model can read: a
// lossless PNG at the edge when that fits (line art, flat shading), else a
// JPEG at the edge at the best quality from kJPEGQualityCeiling down to
// kJPEGQualityFloor, and only then a smaller JPEG at the floor quality. A
// picture JPEG cannot carry (transparency, a colour space it would lose)
// stays PNG and is scaled down until it fits. Anything that still does not
// fit is refused with a text that says what to do, and never reaches the
// host.
//
// Whether a picture fits is read from its size and its PNG header alone, so
// a snapshot that fits costs nothing. Sending one again decodes and resamples
// row by row: its memory grows with the picture sent, not the viewport. What
// is sent is chosen by measurement: the quality sent was encoded and fits,
// and the next one up was encoded and does not; a picture is made smaller
// only once the floor quality was encoded at the edge and does not fit, and
// then a side about 5 % larger was encoded and does not fit either. Guesses
// from a sample of the rows only choose where to measure first, and an
// encode that only proves a picture too large stops where it passes its
// room. Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "proxy.hpp"

namespace quillon {

// What a picture that must be sent again may become.
enum class SnapshotFormat {
  automatic,  // a lossless PNG where it fits, else a JPEG
  png,        // never a lossy picture
};

struct SnapshotLimits {
  // The tool result as written in the answer (image item with its Base64,
  // and caption), in bytes; 0 turns fitting off, the edge included.
  uint64_t maxBytes = 0;
  // The longest side in pixels; 0: any side.
  uint32_t maxEdge = 0;
  SnapshotFormat format = SnapshotFormat::automatic;
};

// Under Claude Desktop's 1 MB however it is counted.
inline constexpr uint64_t kDefaultSnapshotMaxBytes = 1000000;
// The largest long side that every Claude host takes through a whole
// conversation: past 20 images in a request the model's API refuses a side
// over 2000 px, and Claude Code scales every image to 2000 px itself. The
// newest models read more (2576 px), but a session of snapshots would then
// fail at its 21st.
inline constexpr uint32_t kDefaultSnapshotMaxEdge = 2000;
// Below this long side (or the edge, when that is lower) a picture shows too
// little to be worth sending.
inline constexpr uint32_t kSnapshotFloorEdge = 256;
// The JPEG qualities tried, best first (libjpeg's scale: quality 90 means
// what it means in ImageMagick or Photoshop's export). docs/performance.md
// has the measurements behind both numbers.
inline constexpr int kJPEGQualityCeiling = 92;
inline constexpr int kJPEGQualityFloor = 80;

// QUILLON_SNAPSHOT_MAX_BYTES and QUILLON_SNAPSHOT_MAX_EDGE, each taken when
// it is decimal digits only (and fits), else its default; and
// QUILLON_SNAPSHOT_FORMAT, "auto" or "png", else automatic.
SnapshotLimits snapshotLimits(const Environment& environment);

// The bytes of the tool result that are not the picture's Base64: the result
// as written with empty image data, with the answer's own media type and
// caption (for a picture sent as it is), and with "image/png" and
// "image/jpeg" and the same caption (for one sent again, whose caption grows
// by its note and a blank).
struct ResultFrame {
  uint64_t asSent = 0;
  uint64_t asPNG = 0;
  uint64_t asJPEG = 0;
};

struct FittedSnapshot {
  enum class Outcome {
    asSent,   // the body fits: send it unchanged
    encoded,  // `picture` (of `mimeType`) fits, with `note` added to the caption after a blank
    refused,  // nothing fits: `note` is the whole error text
  };
  Outcome outcome = Outcome::asSent;
  std::string picture;
  std::string mimeType;  // "image/png" or "image/jpeg"
  std::string note;
  // Pictures encoded, whole or in part, to find it: what a search cost.
  int encodes = 0;
};

// What to send for the viewer's picture `body` within `limits`.
FittedSnapshot fitSnapshot(std::string_view body, const SnapshotLimits& limits,
                           const ResultFrame& frame);

}  // namespace quillon
