// The head of one viewer answer (status line and header fields), read line by
// line as libcurl hands the lines over, and judged the same way whichever
// libcurl is loaded.
//
// A Mac user's quillon-mcp runs with the libcurl of their macOS release,
// 7.77 to 8.7 today, and those versions read malformed framing differently:
// one takes a Content-Length it cannot parse for no length at all and passes
// a body cut short as whole, another refuses the same answer. Where they
// differ, this reader decides, with the strictest reading that a sound HTTP
// server never trips over (the grammar of HTTP/1.1, a lone LF allowed as a
// line end), and the transport refuses what it refuses.
// docs/libcurl.md lists the answers concerned.
//
// One AnswerHead lives for one exchange, on the thread that runs it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

class AnswerHead {
 public:
  // Takes the next line of the answer's head, line end included, as
  // libcurl's header callback delivers it: status lines (a new one, after an
  // interim 1xx answer, starts the head afresh), field lines, the empty line
  // that ends a block, and the trailer fields of a chunked body. Returns false
  // when the answer is broken and must be refused whole: it is no HTTP/1.1
  // answer that a sound server sends, and libcurl versions read it apart.
  bool take(std::string_view line);

  // The empty line that ends the final block has arrived. libcurl reports
  // success for an answer cut off inside its head, so this is what tells.
  bool complete() const { return complete_; }

  // The fields of the final block; names lower-cased, values with outer
  // blanks trimmed and folded lines joined by a space. A later field of the
  // same name replaces an earlier.
  std::map<std::string, std::string>&& takeHeaders() { return std::move(headers_); }
  // Content-Type as sent, "" when absent.
  const std::string& contentType() const { return contentType_; }
  // The final block announced a chunked body.
  bool chunked() const { return chunked_; }

 private:
  bool takeField(std::string_view line);

  enum class State { status, fields, trailers } state_ = State::status;
  std::map<std::string, std::string> headers_;
  std::string contentType_;
  std::string lastField_;  // the name a folded line continues
  std::optional<uint64_t> contentLength_;
  bool chunked_ = false;
  bool interim_ = false;  // the block is a 1xx answer's
  bool complete_ = false;
  size_t headBytes_ = 0;
};

// Text a field value or reason phrase may hold: tab, space, visible ASCII
// and any byte above it; never a control character.
bool isFieldText(std::string_view text);

// "name: value" with a token name and a value of visible characters, spaces
// and tabs; `line` holds no line end. A folded line is none.
bool isFieldLine(std::string_view line);

// The length a Content-Length value announces, or nothing when no body can
// have it: anything but decimal digits once spaces and tabs are trimmed, or
// more than 2^63 - 1, the most that libcurl counts. `value` holds no line end.
std::optional<uint64_t> parseContentLength(std::string_view value);

}  // namespace quillon
