#include "chunked_body.hpp"

#include <cstring>
#include <optional>
#include <string_view>

#include "answer_head.hpp"

namespace quillon {

namespace {

// The trailer section counts toward the same bound as a head.
constexpr size_t kMaxTrailerBytes = 64 * 1024;

// More hex digits than any body this transport could hold; and libcurl's own
// limits differ beyond them.
constexpr size_t kMaxSizeDigits = 12;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  // The next line without its LF or CRLF; nothing when no LF ends it, since
  // then the body was cut inside it (a trailing CR included).
  std::optional<std::string_view> line() {
    const size_t end = bytes_.find('\n', at_);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view text = bytes_.substr(at_, end - at_);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    at_ = end + 1;
    return text;
  }

  // A line end that must follow chunk data.
  bool lineEnd() {
    for (std::string_view end : {"\r\n", "\n"}) {
      if (bytes_.substr(at_).starts_with(end)) {
        at_ += end.size();
        return true;
      }
    }
    return false;
  }

  size_t at() const { return at_; }
  size_t left() const { return bytes_.size() - at_; }
  void skip(size_t count) { at_ += count; }

 private:
  std::string_view bytes_;
  size_t at_ = 0;
};

// "1a" or "1a;name=value": the size, or nothing for any other form.
std::optional<size_t> chunkSize(std::string_view line) {
  size_t digits = 0, size = 0;
  while (digits < line.size() && hexValue(line[digits]) >= 0) {
    if (++digits > kMaxSizeDigits) return std::nullopt;
    size = size * 16 + static_cast<size_t>(hexValue(line[digits - 1]));
  }
  if (digits == 0) return std::nullopt;
  // Blanks may stand before the ";", and are field text like the rest.
  const std::string_view extension = line.substr(digits);
  const size_t start = extension.find_first_not_of(" \t");
  if (start != std::string_view::npos && extension[start] != ';') return std::nullopt;
  if (!isFieldText(extension)) return std::nullopt;
  return size;
}

}  // namespace

bool decodeChunkedBody(std::string& data) {
  Reader reader(data);
  size_t written = 0;
  for (;;) {
    const std::optional<std::string_view> sizeLine = reader.line();
    if (!sizeLine) return false;
    const std::optional<size_t> size = chunkSize(*sizeLine);
    if (!size) return false;
    if (*size == 0) break;
    if (reader.left() < *size) return false;
    // The decoded bytes never overtake the ones still to be read.
    std::memmove(data.data() + written, data.data() + reader.at(), *size);
    written += *size;
    reader.skip(*size);
    if (!reader.lineEnd()) return false;
  }
  const size_t trailers = reader.at();
  for (;;) {
    const std::optional<std::string_view> field = reader.line();
    if (!field || reader.at() - trailers > kMaxTrailerBytes) return false;
    if (field->empty()) break;
    // libcurl 8.21 fails a transfer on a folded trailer line, where the
    // versions before it take one: none is taken.
    if (!isFieldLine(*field)) return false;
  }
  data.resize(written);
  return true;
}

}  // namespace quillon
