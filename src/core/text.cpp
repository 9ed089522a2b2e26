#include "text.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace quillon {

namespace {

// Length of the well-formed sequence starting at `p`, or 0 when the bytes there
// start an ill-formed one. `maximal` receives the length of the maximal
// ill-formed subsequence in that case (at least 1), so the caller replaces it
// with exactly one U+FFFD.
size_t sequenceLength(const unsigned char* p, const unsigned char* end, size_t* maximal) {
  const unsigned char lead = p[0];
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) lo = 0xA0;  // no overlongs
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) lo = 0x90;  // no overlongs
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *maximal = 1;
    return 0;
  }
  size_t i = 1;
  for (; i < need; ++i) {
    if (p + i >= end) break;
    const unsigned char c = p[i];
    const unsigned char min = i == 1 ? lo : 0x80;
    const unsigned char max = i == 1 ? hi : 0xBF;
    if (c < min || c > max) break;
  }
  if (i == need) return need;
  *maximal = i;
  return 0;
}

// Decodes one code point of valid UTF-8 ending just before `end`, moving `end`
// back to its first byte.
char32_t decodeBackwards(const unsigned char* begin, const unsigned char*& end) {
  const unsigned char* p = end - 1;
  while (p > begin && (*p & 0xC0) == 0x80) --p;
  char32_t cp = *p;
  const size_t len = static_cast<size_t>(end - p);
  if (len == 2) cp = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
  if (len == 3) cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
  if (len == 4)
    cp = ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  end = p;
  return cp;
}

char32_t decodeForwards(const unsigned char*& p) {
  char32_t cp = *p;
  size_t len = cp < 0x80 ? 1 : cp < 0xE0 ? 2 : cp < 0xF0 ? 3 : 4;
  if (len == 2) cp = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
  if (len == 3) cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
  if (len == 4)
    cp = ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  p += len;
  return cp;
}

bool isTrimmable(char32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Skips the ASCII prefix eight bytes at a time: most text is ASCII, and this
// keeps the validity check of a large body close to memory speed.
const unsigned char* skipASCII(const unsigned char* p, const unsigned char* end) {
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080ull) break;
    p += 8;
  }
  while (p < end && *p < 0x80) ++p;
  return p;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
  auto p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = p + bytes.size();
  for (;;) {
    p = skipASCII(p, end);
    if (p == end) return true;
    size_t maximal = 0;
    const size_t len = sequenceLength(p, end, &maximal);
    if (len == 0) return false;
    p += len;
  }
}

std::string repairUTF8(std::string bytes) {
  if (isValidUTF8(bytes)) return bytes;
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  auto p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = p + bytes.size();
  while (p < end) {
    const auto ascii = skipASCII(p, end);
    out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(ascii - p));
    p = ascii;
    if (p == end) break;
    size_t maximal = 0;
    const size_t len = sequenceLength(p, end, &maximal);
    if (len == 0) {
      out.append(kReplacement, 3);
      p += maximal;
    } else {
      out.append(reinterpret_cast<const char*>(p), len);
      p += len;
    }
  }
  return out;
}

std::string_view trimWhitespace(std::string_view text) {
  auto begin = reinterpret_cast<const unsigned char*>(text.data());
  auto end = begin + text.size();
  while (begin < end) {
    const unsigned char* next = begin;
    if (!isTrimmable(decodeForwards(next))) break;
    begin = next;
  }
  while (end > begin) {
    const unsigned char* previous = end;
    if (!isTrimmable(decodeBackwards(begin, previous))) break;
    end = previous;
  }
  return {reinterpret_cast<const char*>(begin), static_cast<size_t>(end - begin)};
}

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit value, so that a group of three bytes
// takes two lookups instead of four.
constexpr std::array<char, 2 * 4096> kBase64Pairs = [] {
  std::array<char, 2 * 4096> pairs{};
  for (size_t v = 0; v < 4096; ++v) {
    pairs[2 * v] = kBase64Alphabet[v >> 6];
    pairs[2 * v + 1] = kBase64Alphabet[v & 63];
  }
  return pairs;
}();

// Writes the four characters of the 24-bit group `v`.
inline void encodeGroup(uint32_t v, char* out) {
  std::memcpy(out, &kBase64Pairs[2 * (v >> 12)], 2);
  std::memcpy(out + 2, &kBase64Pairs[2 * (v & 4095)], 2);
}

// The eight bytes at `in` as a big-endian number, in one load: assembled a
// byte at a time they would cost about as much as the encoding itself.
// (Compilers turn the swap into one instruction.)
inline uint64_t loadBigEndian(const unsigned char* in) {
  uint64_t word;
  std::memcpy(&word, in, 8);
  if constexpr (std::endian::native == std::endian::little) {
    word = ((word & 0x00FF00FF00FF00FFull) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFull);
    word = ((word & 0x0000FFFF0000FFFFull) << 16) | ((word >> 16) & 0x0000FFFF0000FFFFull);
    word = (word << 32) | (word >> 32);
  }
  return word;
}

// The last one or two bytes, padded with "=".
void encodeTail(const unsigned char* in, size_t tail, char* out) {
  uint32_t v = uint32_t{in[0]} << 16;
  if (tail == 2) v |= uint32_t{in[1]} << 8;
  encodeGroup(v, out);
  out[3] = '=';
  if (tail == 1) out[2] = '=';
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
  const auto in = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  std::string encoded((n + 2) / 3 * 4, '=');
  char* out = encoded.data();
  size_t i = 0;
  // Two groups a step, from one eight-byte load of which six bytes are used.
  for (; i + 8 <= n; i += 6, out += 8) {
    const uint64_t v = loadBigEndian(in + i);
    encodeGroup(static_cast<uint32_t>(v >> 40), out);
    encodeGroup(static_cast<uint32_t>(v >> 16) & 0xFFFFFF, out + 4);
  }
  for (; i + 3 <= n; i += 3, out += 4) {
    encodeGroup((uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2], out);
  }
  if (i < n) encodeTail(in + i, n - i, out);
  return encoded;
}

void base64EncodeInPlace(std::string& bytes) {
  const size_t n = bytes.size();
  const size_t encoded = (n + 2) / 3 * 4;
  if (bytes.capacity() < encoded) {
    bytes = base64Encode(bytes);
    return;
  }
  bytes.resize(encoded);  // within the capacity: the storage stays where it is
  char* const out = bytes.data();
  const auto* const in = reinterpret_cast<const unsigned char*>(out);
  // Group g of three bytes at 3g becomes four characters at 4g >= 3g. Going
  // from the last group to the first, each write lands on bytes that are
  // either already encoded or its own group's, read before they are written.
  size_t groups = n / 3;
  if (const size_t tail = n % 3) encodeTail(in + 3 * groups, tail, out + 4 * groups);
  // Two groups a step, g - 2 and g - 1, from one eight-byte load at 3(g - 2):
  // it ends at 3g + 2, inside the string (g >= 2), and before 4g, where the
  // writes so far begin, so none of the six bytes it uses is overwritten yet.
  for (; groups >= 2; groups -= 2) {
    const uint64_t v = loadBigEndian(in + 3 * (groups - 2));
    encodeGroup(static_cast<uint32_t>(v >> 40), out + 4 * (groups - 2));
    encodeGroup(static_cast<uint32_t>(v >> 16) & 0xFFFFFF, out + 4 * (groups - 1));
  }
  if (groups == 1) encodeGroup((uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2], out);
}

}  // namespace quillon
