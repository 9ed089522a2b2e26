#include "json_text.hpp"

#include <cstdint>
#include <cstring>

#include "text.hpp"

namespace quillon {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// True when a byte of `word` is zero.
constexpr uint64_t hasZeroByte(uint64_t word) {
  return (word - kOnes) & ~word & kHighBits;
}

// Bytes that must be escaped: controls, '"' and '\'. Bytes of 0x80 and above
// are never flagged here.
inline uint64_t escapeBytes(uint64_t word) {
  return ((word - 0x20 * kOnes) & ~word & kHighBits) | hasZeroByte(word ^ (0x22 * kOnes)) |
         hasZeroByte(word ^ (0x5C * kOnes));
}

inline bool mustEscape(unsigned char c) {
  return c < 0x20 || c == '"' || c == '\\';
}

// The first byte at or after `p` that must be escaped, or, unless
// `allowHigh`, that is not ASCII (and so needs its UTF-8 checked). Eight bytes
// at a time: strings are mostly long runs of plain text.
const char* findSpecial(const char* p, const char* end, bool allowHigh) {
  const uint64_t high = allowHigh ? 0 : kHighBits;
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (escapeBytes(word) | (word & high)) break;
    p += 8;
  }
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (mustEscape(c) || (!allowHigh && c >= 0x80)) return p;
  }
  return p;
}

// Appends `text` as the inside of a JSON string. False when it is not valid
// UTF-8.
bool appendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char* p = text.data();
  const char* const end = p + text.size();
  bool checked = false;  // the rest of the text is known to be valid UTF-8
  while (p < end) {
    const char* run = findSpecial(p, end, checked);
    out.append(p, static_cast<size_t>(run - p));
    p = run;
    if (p == end) break;
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x80) {
      if (!isValidUTF8(std::string_view(p, static_cast<size_t>(end - p)))) return false;
      checked = true;
      continue;
    }
    out.push_back('\\');
    switch (c) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '\b':
        out.push_back('b');
        break;
      case '\t':
        out.push_back('t');
        break;
      case '\n':
        out.push_back('n');
        break;
      case '\f':
        out.push_back('f');
        break;
      case '\r':
        out.push_back('r');
        break;
      default: {
        const char code[] = {'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(code, sizeof code);
      }
    }
    ++p;
  }
  return true;
}

// Whether `text` can stand in JSON between quotes as it is.
bool needsNoEscape(std::string_view text) {
  const char* const end = text.data() + text.size();
  const char* p = findSpecial(text.data(), end, false);
  if (p == end) return true;
  if (mustEscape(static_cast<unsigned char>(*p))) return false;
  return findSpecial(p, end, true) == end &&
         isValidUTF8(std::string_view(p, static_cast<size_t>(end - p)));
}

// Bytes of the text that are not strings' contents or references, roughly:
// enough to write a small answer without growing, and a large one with few
// growth steps.
size_t estimateSize(const JSON& value) {
  switch (value.type()) {
    case JSON::value_t::object: {
      size_t size = 2;
      for (const auto& [key, member] : value.items()) size += key.size() + 4 + estimateSize(member);
      return size;
    }
    case JSON::value_t::array: {
      size_t size = 2;
      for (const JSON& element : value) size += 1 + estimateSize(element);
      return size;
    }
    case JSON::value_t::string: {
      const size_t size = value.get_ref<const std::string&>().size();
      return size >= JSONText::kReferenceThreshold ? 2 : size + 2;
    }
    default:
      return 8;
  }
}

}  // namespace

bool JSONText::write(const JSON& value) {
  text_.reserve(text_.size() + estimateSize(value) + 16);
  writeValue(value);
  return valid_;
}

void JSONText::writeValue(const JSON& value) {
  switch (value.type()) {
    case JSON::value_t::object: {
      text_.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) text_.push_back(',');
        first = false;
        writeString(key, false);
        text_.push_back(':');
        writeValue(member);
      }
      text_.push_back('}');
      return;
    }
    case JSON::value_t::array: {
      text_.push_back('[');
      bool first = true;
      for (const JSON& element : value) {
        if (!first) text_.push_back(',');
        first = false;
        writeValue(element);
      }
      text_.push_back(']');
      return;
    }
    case JSON::value_t::string:
      writeString(value.get_ref<const std::string&>(), &value == asIs_);
      return;
    case JSON::value_t::boolean:
      text_ += value.get<bool>() ? "true" : "false";
      return;
    case JSON::value_t::null:
      text_ += "null";
      return;
    default:
      // Numbers (and values parsing never yields): their spelling is the
      // library's own, so the library writes them.
      try {
        text_ += value.dump();
      } catch (const std::exception&) {
        valid_ = false;
      }
      return;
  }
}

void JSONText::writeString(const std::string& text, bool asIs) {
  text_.push_back('"');
  if (text.size() >= kReferenceThreshold && (asIs || needsNoEscape(text))) {
    references_.push_back({text_.size(), text});
  } else if (asIs) {
    text_ += text;
  } else if (!appendEscaped(text_, text)) {
    valid_ = false;
  }
  text_.push_back('"');
}

std::vector<std::string_view> JSONText::pieces() const {
  std::vector<std::string_view> pieces;
  pieces.reserve(2 * references_.size() + 1);
  size_t from = 0;
  for (const Reference& reference : references_) {
    pieces.emplace_back(text_.data() + from, reference.at - from);
    pieces.push_back(reference.text);
    from = reference.at;
  }
  pieces.emplace_back(text_.data() + from, text_.size() - from);
  return pieces;
}

std::string JSONText::join() && {
  if (references_.empty()) return std::move(text_);
  size_t size = text_.size();
  for (const Reference& reference : references_) size += reference.text.size();
  std::string joined;
  joined.reserve(size);
  for (std::string_view piece : pieces()) joined.append(piece);
  return joined;
}

}  // namespace quillon
