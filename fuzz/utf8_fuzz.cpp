// UTF-8 repair, trimming and Base64, against reference readings written
// straight from the Unicode tables and RFC 4648.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "text.hpp"

namespace {

// Unicode's table of well-formed byte sequences: for each row, the allowed
// range of each byte.
struct Range {
  unsigned char low, high;
};
struct Row {
  size_t length;
  std::array<Range, 4> bytes;
};
constexpr Row kWellFormed[] = {
    {1, {{{0x00, 0x7F}}}},
    {2, {{{0xC2, 0xDF}, {0x80, 0xBF}}}},
    {3, {{{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}}},
    {3, {{{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}}},
    {3, {{{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}}},
    {3, {{{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}}},
    {4, {{{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}}},
    {4, {{{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}}},
    {4, {{{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}}},
};

// Length of the well-formed sequence at `at` (positive), or minus the length
// of its maximal ill-formed subpart: the longest prefix of some row, at least
// one byte.
long sequenceAt(std::string_view bytes, size_t at) {
  size_t longest = 0;
  for (const Row& row : kWellFormed) {
    size_t matched = 0;
    while (matched < row.length && at + matched < bytes.size()) {
      const auto byte = static_cast<unsigned char>(bytes[at + matched]);
      if (byte < row.bytes[matched].low || byte > row.bytes[matched].high) break;
      ++matched;
    }
    if (matched == row.length) return static_cast<long>(matched);
    longest = std::max(longest, matched);
  }
  return -static_cast<long>(std::max<size_t>(longest, 1));
}

bool referenceValid(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const long length = sequenceAt(bytes, at);
    if (length < 0) return false;
    at += static_cast<size_t>(length);
  }
  return true;
}

std::string referenceRepair(std::string_view bytes) {
  std::string out;
  for (size_t at = 0; at < bytes.size();) {
    const long length = sequenceAt(bytes, at);
    if (length > 0) {
      out.append(bytes.substr(at, static_cast<size_t>(length)));
      at += static_cast<size_t>(length);
    } else {
      out += "\xEF\xBF\xBD";
      at += static_cast<size_t>(-length);
    }
  }
  return out;
}

// Code points of valid UTF-8, each with its byte offset.
char32_t decodeAt(std::string_view text, size_t at, size_t* length) {
  const auto lead = static_cast<unsigned char>(text[at]);
  *length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t point = *length == 1 ? lead : lead & (0xFF >> (*length + 1));
  for (size_t i = 1; i < *length; ++i)
    point = point << 6 | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  return point;
}

bool isWhiteSpaceOrBreak(char32_t c) {
  // Category Z (Zs, Zl, Zp), tab, U+000A..U+000D and U+0085.
  return c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string referenceBase64Decode(std::string_view text) {
  const std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int held = 0;
  for (const char c : text) {
    if (c == '=') break;
    const size_t value = alphabet.find(c);
    FUZZ_CHECK(value != std::string_view::npos);
    bits = bits << 6 | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const bool valid = referenceValid(bytes);
  FUZZ_CHECK(quillon::isValidUTF8(bytes) == valid);
  const std::string repaired = quillon::repairUTF8(bytes);
  FUZZ_CHECK(referenceValid(repaired));
  FUZZ_CHECK(repaired == referenceRepair(bytes));
  if (valid) FUZZ_CHECK(repaired == bytes);

  // Trimming cuts only white space and line breaks, at code-point
  // boundaries, and leaves none at either end.
  const std::string_view trimmed = quillon::trimWhitespace(repaired);
  const size_t begin = static_cast<size_t>(trimmed.data() - repaired.data());
  FUZZ_CHECK(begin <= repaired.size() && begin + trimmed.size() <= repaired.size());
  size_t length = 0;
  for (size_t at = 0; at < repaired.size(); at += length) {
    const char32_t point = decodeAt(repaired, at, &length);
    const bool inside = at >= begin && at < begin + trimmed.size();
    if (!inside) FUZZ_CHECK(isWhiteSpaceOrBreak(point));
    if (at == begin && !trimmed.empty()) FUZZ_CHECK(!isWhiteSpaceOrBreak(point));
    if (inside && at + length == begin + trimmed.size()) FUZZ_CHECK(!isWhiteSpaceOrBreak(point));
    if (inside) FUZZ_CHECK(at + length <= begin + trimmed.size());
  }

  const std::string encoded = quillon::base64Encode(bytes);
  FUZZ_CHECK(encoded.size() == (bytes.size() + 2) / 3 * 4);
  FUZZ_CHECK(referenceBase64Decode(encoded) == bytes);
  return 0;
}
