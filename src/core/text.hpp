// Byte-level text helpers shared by the protocol layer and result shaping.
//
// Everything that reaches the client must be valid UTF-8, but neither the
// client's lines nor the viewer's bodies are guaranteed to be. These functions
// are pure, allocation-light and safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
bool isValidUTF8(std::string_view bytes);

// Returns `bytes` as well-formed UTF-8: each maximal ill-formed subsequence
// becomes one U+FFFD, as Unicode recommends. Valid input is returned as is,
// without a copy when passed as an rvalue.
std::string repairUTF8(std::string bytes);

// Removes leading and trailing white space and line breaks: general category
// Z, U+0009, U+000A..U+000D and U+0085. `text` must be valid UTF-8.
std::string_view trimWhitespace(std::string_view text);

// Standard Base64 (RFC 4648 alphabet, "=" padding), on one line.
std::string base64Encode(std::string_view bytes);

// The number of characters in the Base64 of `bytes` bytes.
constexpr size_t base64Length(size_t bytes) {
  return (bytes + 2) / 3 * 4;
}

// Writes the Base64 of `bytes` at `out`, which has room for
// base64Length(bytes.size()) characters, and returns the end of what it wrote.
// Bytes taken in slices, each but the last a multiple of three bytes long,
// give the same text slice by slice: a large body can be encoded a piece at a
// time into a small buffer.
char* base64EncodeTo(std::string_view bytes, char* out);

}  // namespace quillon
