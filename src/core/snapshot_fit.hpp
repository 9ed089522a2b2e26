// Fitting a viewport snapshot to what the assistant's host takes, between
// the viewer's answer and the image result.
//
// Hosts refuse a tool result over about 1 MB (Claude Desktop), the model's
// API an image side over 2000 px in a long conversation, and hosts on the
// official TypeScript SDK close the session on a line over 10 MiB, while a
// Retina viewport's PNG is 2.5 MB or more. So a picture that fits is sent as
// it is, byte for byte; a PNG that does not is scaled down by area averaging
// until it fits; anything else that does not fit is refused with a text that
// says what to do, and never reaches the host.
//
// Whether a picture fits is read from its size and its PNG header alone, so
// a snapshot that fits costs nothing. Scaling decodes and resamples row by
// row: its memory grows with the scaled picture, not the viewport. Pure
// functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "proxy.hpp"

namespace quillon {

struct SnapshotLimits {
  // The tool result as written in the answer (image item with its Base64,
  // and caption), in bytes; 0 turns fitting off, the edge included.
  uint64_t maxBytes = 0;
  // The longest side in pixels; 0: any side.
  uint32_t maxEdge = 0;
};

// Under Claude Desktop's 1 MB however it is counted, and the longest side the
// model sees without scaling the picture down itself.
inline constexpr uint64_t kDefaultSnapshotMaxBytes = 1000000;
inline constexpr uint32_t kDefaultSnapshotMaxEdge = 1568;
// Below this long side (or the edge, when that is lower) a picture shows too
// little to be worth sending.
inline constexpr uint32_t kSnapshotFloorEdge = 256;

// QUILLON_SNAPSHOT_MAX_BYTES and QUILLON_SNAPSHOT_MAX_EDGE, each taken when
// it is decimal digits only (and fits), else its default.
SnapshotLimits snapshotLimits(const Environment& environment);

// The bytes of the tool result that are not the picture's Base64: the result
// as written with empty image data, once with the answer's own media type
// and caption (for a picture sent as it is) and once with "image/png" and
// the same caption (for a scaled one, whose caption grows by its note).
struct ResultFrame {
  uint64_t asSent = 0;
  uint64_t asPNG = 0;
};

struct FittedSnapshot {
  enum class Outcome {
    asSent,   // the body fits: send it unchanged
    scaled,   // `png` fits, with `note` added to the caption after a blank
    refused,  // nothing fits: `note` is the whole error text
  };
  Outcome outcome = Outcome::asSent;
  std::string png;
  std::string note;
};

// What to send for the viewer's picture `body` within `limits`.
FittedSnapshot fitSnapshot(std::string_view body, const SnapshotLimits& limits,
                           const ResultFrame& frame);

}  // namespace quillon
