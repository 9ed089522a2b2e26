// The body of a chunked viewer answer, decoded here from the bytes as they
// came rather than by libcurl.
//
// libcurl versions end a chunked body differently: 7.77 to 8.4 take an
// answer whose last line end is cut after its CR for whole, 8.6 and later
// refuse it, and 8.21 fails on a folded trailer line that the others hand
// over. So the transport has libcurl pass the body through undecoded (it
// still finds the body's end, so a viewer that keeps the connection open is
// never waited on), and this reading, stricter than every version's, decides
// what the body is. It is the one libcurl versions agree on wherever they
// accept: chunk sizes of 1 to 12 hex digits, an extension after ";", CRLF or
// a lone LF as line ends, and trailer fields that are field lines.
//
// A pure function; safe from any thread.
#pragma once

#include <string>

namespace quillon {

// Replaces `data`, a chunked body as sent (sizes, chunks, last chunk and
// trailer section), by the bytes its chunks carry, decoded in place. Bytes
// after the trailer section's empty line belong to no answer and are
// dropped. Returns false, leaving `data` unspecified, when the body is cut
// short or its framing is broken.
bool decodeChunkedBody(std::string& data);

}  // namespace quillon
