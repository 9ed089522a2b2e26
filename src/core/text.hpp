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

// Replaces `bytes` with base64Encode(bytes). When the string's capacity
// already holds the encoded size, the encoding is written where the bytes lie,
// from the end backwards, so no second buffer is ever allocated; otherwise it
// falls back to base64Encode.
void base64EncodeInPlace(std::string& bytes);

}  // namespace quillon
