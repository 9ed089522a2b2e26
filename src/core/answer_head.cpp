#include "answer_head.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

namespace quillon {

namespace {

// No head of a sound viewer comes near this; every libcurl refuses heads from
// 100 KiB up, each at its own limit, so the transport refuses first.
constexpr size_t kMaxHeadBytes = 64 * 1024;

std::string_view trim(std::string_view text, std::string_view blanks) {
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  });
  return lower;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// A token character, which field names are made of.
bool isTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Field values and reason phrases: tab, space, visible ASCII and any byte
// above it; never a control character.
bool isTextChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == '\t' || (byte >= 0x20 && byte != 0x7F);
}

// "HTTP/1.1 200 OK" or "HTTP/1.0 200", giving the status; nothing for any
// other form (HTTP/2 in an HTTP/1.1 exchange, four digits, no space, ...).
std::optional<int> statusOf(std::string_view line) {
  if (!(line.starts_with("HTTP/1.1 ") || line.starts_with("HTTP/1.0 ")) || line.size() < 12 ||
      !std::all_of(line.begin() + 9, line.begin() + 12, isDigit) ||
      (line.size() > 12 && line[12] != ' ') || !isFieldText(line.substr(12))) {
    return std::nullopt;
  }
  const int status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  if (status < 100 || status > 599) return std::nullopt;
  return status;
}

// A field line, "name: value" with a token name and a value of text: the
// name as sent and the value with its outer blanks trimmed.
std::optional<std::pair<std::string_view, std::string_view>> fieldOf(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 ||
      !std::all_of(line.begin(), line.begin() + colon, isTokenChar) ||
      !isFieldText(line.substr(colon + 1))) {
    return std::nullopt;
  }
  return std::pair{line.substr(0, colon), trim(line.substr(colon + 1), " \t")};
}

bool isFolded(std::string_view line) {
  return line.starts_with(' ') || line.starts_with('\t');
}

// Trailer fields of a chunked body are no headers of the answer: a trailing
// Content-Type must not turn a snapshot into text. The transport has libcurl
// pass a chunked body through undecoded, trailers included, and judges them
// there; any that a libcurl hands over here anyway are judged the same way.
bool isTrailer(std::string_view line) {
  return !isFolded(line) && fieldOf(line).has_value();
}

}  // namespace

bool isFieldText(std::string_view text) {
  return std::all_of(text.begin(), text.end(), isTextChar);
}

bool isFieldLine(std::string_view line) {
  return fieldOf(line).has_value();
}

std::optional<uint64_t> parseContentLength(std::string_view value) {
  value = trim(value, " \t");
  // from_chars alone would take a sign, and libcurl 7.77 to 7.85 skip any
  // white space (vertical tab and form feed too) before the digits.
  if (value.empty() || !std::all_of(value.begin(), value.end(), isDigit)) return std::nullopt;
  uint64_t length = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (error != std::errc() || end != value.data() + value.size() ||
      length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::nullopt;
  }
  return length;
}

bool AnswerHead::take(std::string_view line) {
  headBytes_ += line.size();
  if (headBytes_ > kMaxHeadBytes) return false;
  // libcurl 8.21 hands over what arrived of a last line before the
  // connection closed, without its end: the head was cut there.
  if (!line.ends_with('\n')) return false;
  line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  // A CR anywhere else ends a line for some versions and not for others.
  if (line.find('\r') != std::string_view::npos) return false;

  if (state_ == State::status) {
    const std::optional<int> status = statusOf(line);
    // 101 switches to another protocol, which was never asked for.
    if (!status || *status == 101) return false;
    interim_ = *status < 200;
    headers_.clear();
    contentType_.clear();
    contentLength_.reset();
    chunked_ = false;
    lastField_.clear();
    state_ = State::fields;
    return true;
  }
  if (line.empty()) {
    // The end of a block: of an interim answer, whose final answer follows,
    // of the final answer's head, or of the trailer fields after its body.
    if (state_ == State::fields) {
      state_ = interim_ ? State::status : State::trailers;
      complete_ = !interim_;
    }
    return true;
  }
  return state_ == State::fields ? takeField(line) : isTrailer(line);
}

bool AnswerHead::takeField(std::string_view line) {
  if (isFolded(line)) {
    // A folded line continues the field before it, joined by a space, as
    // newer libcurl (8.21) joins it before any callback sees it. A folded
    // first field continues nothing (some versions refuse it, others took
    // it, and 7.88 appended it to freed memory).
    if (lastField_.empty() || !isFieldText(line)) return false;
    const std::string_view more = trim(line, " \t");
    if (more.empty()) return true;
    // Older versions frame the body by a length or coding's first line
    // alone, newer ones by the joined value.
    if (lastField_ == "content-length" || lastField_ == "transfer-encoding") return false;
    std::string& value = headers_[lastField_];
    value.append(value.empty() ? "" : " ").append(more);
    if (lastField_ == "content-type") contentType_ = value;
    return true;
  }
  const auto field = fieldOf(line);
  if (!field) return false;
  std::string name = lowercase(field->first);
  const std::string_view value = field->second;
  if (name == "content-length") {
    // A length that cannot be the body's is broken on every status, 204 and
    // 304 included, where a valid one is legal and ignored; so is a second
    // length that contradicts the first.
    const std::optional<uint64_t> length = parseContentLength(value);
    if (!length || (contentLength_ && *contentLength_ != *length)) return false;
    contentLength_ = length;
  } else if (name == "transfer-encoding") {
    // Only chunked was ever asked for, and only once.
    if (chunked_ || lowercase(value) != "chunked") return false;
    chunked_ = true;
  } else if (name == "content-type") {
    contentType_ = value;
  }
  // A length beside a coding is how one answer is read as two.
  if (chunked_ && contentLength_) return false;
  lastField_ = name;
  headers_[std::move(name)] = value;
  return true;
}

}  // namespace quillon
