// The viewer's side: arbitrary bytes served on a loopback socket as the
// viewer's answer, through the real libcurl transport, result shaping and the
// answer writer the product's loop uses (a snapshot's Base64 written as it
// is, unscanned), checked against an independent reading of those bytes as
// HTTP/1.1.
//
// Input: one byte that picks the tool call, then the bytes the viewer sends on
// the connection before it closes it:
//   byte % 4 == 0  quillon_state                  GET, text result
//               1  quillon_snapshot               GET, image (or text) result
//               2  quillon_open                   POST, text result
//               3  quillon_snapshot, format pdf   POST, text result
//
// One listener and one serving thread live for the whole run; the transport
// opens a fresh connection for every call, so each call sees exactly the
// current input and then the end of the stream, and never waits for a timeout.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <curl/curl.h>

#include <nlohmann/json.hpp>

#include "check.hpp"
#include "proxy.hpp"
#include "server.hpp"
#include "text.hpp"

namespace {

using Reference = nlohmann::json;  // std::map objects: another reading than the server's

const std::string kCaption = "Snapshot of the Quillon 3D viewport.";

struct ToolCall {
  const char* name;
  const char* arguments;
  bool image;  // answered through the image result
};
constexpr ToolCall kCalls[] = {
    {"quillon_state", "{}", false},
    {"quillon_snapshot", "{}", true},
    {"quillon_open", R"({"path":"/tmp/house.skp"})", false},
    {"quillon_snapshot", R"({"format":"pdf"})", false},
};

// The viewer: a loopback listener whose thread answers every connection with
// the current input, once the request has arrived whole, and then closes it.
class Viewer {
 public:
  Viewer() {
    // The transport may hang up while the answer is still being sent.
    std::signal(SIGPIPE, SIG_IGN);
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    FUZZ_CHECK(listener_ >= 0 &&
               ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(listener_, 16) == 0 &&
               ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    base_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    std::thread([this] { serve(); }).detach();
  }

  const std::string& base() const { return base_; }
  int accepted() const { return accepted_; }

  void answerWith(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    answer_.assign(bytes);
  }

 private:
  void serve() {
    for (;;) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;  // interrupted, or a connection given up before it was taken
      ++accepted_;
      // Bounds on a harness fault, not on the code under test: the transport
      // always sends its request at once and reads until the connection ends.
      const timeval limit{10, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      std::string answer;
      {
        std::lock_guard lock(mutex_);
        answer = answer_;
      }
      readRequest(fd);
      std::string_view rest = answer;
      while (!rest.empty()) {
        const ssize_t sent = ::send(fd, rest.data(), rest.size(), 0);
        if (sent <= 0) break;  // the transport hung up, having read enough
        rest.remove_prefix(static_cast<size_t>(sent));
      }
      ::close(fd);
    }
  }

  // Reads the whole request, head and body, so that closing the connection
  // sends an orderly end of stream: unread bytes would make it a reset, which
  // can discard answer bytes the transport has not read yet.
  static void readRequest(int fd) {
    std::string request;
    char buffer[4096];
    for (;;) {
      const size_t head = request.find("\r\n\r\n");
      if (head != std::string::npos) {
        std::string lower = request.substr(0, head);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const size_t field = lower.find("\r\ncontent-length:");
        const size_t length =
            field == std::string::npos ? 0 : std::stoul(lower.substr(field + 17, 20));
        if (request.size() >= head + 4 + length) return;
      }
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      request.append(buffer, static_cast<size_t>(got));
    }
  }

  int listener_ = -1;
  std::string base_;
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::string answer_;
};

// What the served bytes are, read as HTTP/1.1 without the code under test.
struct Reading {
  enum class Verdict {
    complete,  // a whole answer: status, content type and body are known
    cut,       // a correct answer cut short: no reading can make it whole
    broken,    // framing that libcurl versions read differently: refused on all
    unknown,   // outside this reading (lenient line ends, obsolete forms, ...)
  } verdict = Verdict::unknown;
  int status = 0;
  std::string contentType;
  std::string body;
  // A head with a folded line, which newer libcurl (8.21) joins to the line
  // before it ahead of any callback, so that no transport sees the fold.
  bool folded = false;
};

// Field names: tokens.
bool isNameChar(unsigned char c) {
  return std::isalnum(c) ||
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// Field values and reason phrases: tab, space, visible ASCII and any byte
// above it; never a control character, so never CR or LF.
bool isTextChar(unsigned char c) {
  return c == '\t' || (c >= 0x20 && c != 0x7F);
}

bool allOf(std::string_view text, bool (*accepted)(unsigned char)) {
  return std::all_of(text.begin(), text.end(),
                     [accepted](char c) { return accepted(static_cast<unsigned char>(c)); });
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return lower;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Every reading of HTTP/1.x ends a header section with an empty line, which
// starts right after a LF: without a LF followed by CR or LF, no header
// section, and so no answer, is whole.
bool headerSectionMayEnd(std::string_view bytes) {
  for (size_t at = bytes.find('\n'); at != std::string_view::npos && at + 1 < bytes.size();
       at = bytes.find('\n', at + 1)) {
    if (bytes[at + 1] == '\n' || bytes[at + 1] == '\r') return true;
  }
  return false;
}

class AnswerReader {
 public:
  explicit AnswerReader(std::string_view bytes) : rest_(bytes) {}

  Reading read() {
    for (;;) {
      // Status line: HTTP/1.1 or 1.0, three digits, and a reason phrase or
      // nothing. Anything else is no answer of this exchange.
      const std::optional<std::string_view> status = line();
      if (!status) return cut();
      const bool version10 = status->starts_with("HTTP/1.0 ");
      if (!(version10 || status->starts_with("HTTP/1.1 ")) || status->size() < 12 ||
          (status->size() > 12 && (*status)[12] != ' ') || !allOf(*status, isTextChar)) {
        return broken();
      }
      const std::string_view digits = status->substr(9, 3);
      if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return broken();
      reading_.status = std::stoi(std::string(digits));
      if (reading_.status < 100 || reading_.status > 599) return broken();

      std::string encodings, types;
      std::optional<uint64_t> length;
      int encodingCount = 0, typeCount = 0;
      for (bool first = true;; first = false) {
        const std::optional<std::string_view> field = line();
        if (!field) return cut();
        if (field->empty()) break;
        // A folded first field continues nothing; a later one continues a
        // value, a reading of its own, which this one leaves alone.
        if (field->starts_with(' ') || field->starts_with('\t')) {
          if (first) return broken();
          reading_.folded = true;
          return unknown();
        }
        if (rest_.starts_with(' ') || rest_.starts_with('\t')) {
          reading_.folded = true;
          return unknown();
        }
        std::string name;
        std::string_view value;
        if (!fieldLine(*field, name, value)) return broken();
        if (name == "content-length") {
          // A length no body can have, or one that contradicts another, on
          // any status, interim ones included.
          const std::optional<uint64_t> parsed = lengthValue(value);
          if (!parsed || (length && *length != *parsed)) return broken();
          length = parsed;
        } else if (!allOf(value, isTextChar)) {
          return broken();
        } else if (name == "transfer-encoding") {
          encodings = value;
          ++encodingCount;
        } else if (name == "content-type") {
          types = value;
          ++typeCount;
        }
      }
      // One coding, chunked, and no length beside it: anything else is read
      // one way by some and another way by others.
      if (encodingCount > 1 ||
          (encodingCount == 1 && (length || lowercase(encodings) != "chunked")))
        return broken();

      // Interim answers carry no body; the final one follows. 101 switches
      // protocols, which is no interim answer of this exchange.
      if (reading_.status < 200) {
        if (reading_.status == 101 || reading_.status > 103) return unknown();
        continue;
      }
      // Repeated type fields are a choice between readings, outside this one.
      if (typeCount > 1) return unknown();
      reading_.contentType = types;
      if (encodingCount == 1) {
        if (version10) return unknown();
        if (reading_.status == 204 || reading_.status == 304) return unknown();
        return chunkedBody();
      }
      // No body, whatever a valid length says.
      if (reading_.status == 204 || reading_.status == 304) return complete();
      if (length) return sizedBody(*length);
      // Neither: the body runs to the end of the connection.
      reading_.body = rest_;
      return complete();
    }
  }

 private:
  // The next line without its terminator, CRLF or a lone LF (which a
  // recipient may take for one); nothing when no LF follows, since then no
  // reading has a line there.
  std::optional<std::string_view> line() {
    const size_t end = rest_.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view text = rest_.substr(0, end);
    if (text.ends_with('\r')) text.remove_suffix(1);
    rest_.remove_prefix(end + 1);
    return text;
  }

  // A line terminator, when `rest_` must start with one: consumed, or the
  // bytes end before it could (a cut), or something else is there.
  std::optional<Reading> lineEnd() {
    for (std::string_view end : {"\r\n", "\n"}) {
      if (rest_.starts_with(end)) {
        rest_.remove_prefix(end.size());
        return std::nullopt;
      }
    }
    return rest_.empty() || rest_ == "\r" ? cut() : broken();
  }

  // "name: value", the value with its outer blanks trimmed but any other
  // byte kept; false for anything else.
  static bool fieldLine(std::string_view line, std::string& name, std::string_view& value) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !allOf(line.substr(0, colon), isNameChar)) {
      return false;
    }
    name = lowercase(line.substr(0, colon));
    value = trimBlanks(line.substr(colon + 1));
    return true;
  }

  // A Content-Length value as a number a body can have: decimal digits
  // only, at most 2^63 - 1 (the most libcurl counts).
  static std::optional<uint64_t> lengthValue(std::string_view value) {
    if (value.empty() ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    value.remove_prefix(std::min(value.find_first_not_of('0'), value.size()));
    if (value.size() > 19) return std::nullopt;
    const uint64_t length = value.empty() ? 0 : std::stoull(std::string(value));
    if (length > uint64_t{INT64_MAX}) return std::nullopt;
    return length;
  }

  Reading sizedBody(uint64_t size) {
    if (rest_.size() < size) return cut();
    reading_.body = rest_.substr(0, size);  // bytes past it belong to no answer
    return complete();
  }

  Reading chunkedBody() {
    for (;;) {
      const std::optional<std::string_view> sizeLine = line();
      if (!sizeLine) return cut();
      // Hex digits, then perhaps an extension, which says nothing of the size.
      const size_t digits =
          std::min(sizeLine->find_first_not_of("0123456789abcdefABCDEF"), sizeLine->size());
      const std::string_view extension = trimBlanks(sizeLine->substr(digits));
      // The transport decodes chunked bodies itself, by these rules alone,
      // since libcurl versions end one differently: anything else is refused.
      if (digits == 0 || digits > 12 || !(extension.empty() || extension.starts_with(';')) ||
          !allOf(extension, isTextChar)) {
        return broken();
      }
      const size_t size = std::stoull(std::string(sizeLine->substr(0, digits)), nullptr, 16);
      if (size == 0) break;
      if (rest_.size() < size) return cut();
      reading_.body.append(rest_.substr(0, size));
      rest_.remove_prefix(size);
      if (const std::optional<Reading> bad = lineEnd()) return *bad;
    }
    // Trailer fields up to an empty line. They are no part of the header
    // section: the content type stays the one it gave.
    for (;;) {
      const std::optional<std::string_view> field = line();
      // Cut, the last line end after its CR too: libcurl 7.77 to 8.4 take
      // that for whole, 8.6 on do not.
      if (!field) return cut();
      if (field->empty()) return complete();
      // A folded line (which libcurl 8.21 fails on) is no field line either.
      std::string name;
      std::string_view value;
      if (!fieldLine(*field, name, value) || !allOf(value, isTextChar)) return broken();
    }
  }

  Reading complete() {
    reading_.verdict = Reading::Verdict::complete;
    return reading_;
  }
  Reading cut() {
    reading_.verdict = Reading::Verdict::cut;
    return reading_;
  }
  Reading broken() {
    reading_.verdict = Reading::Verdict::broken;
    return reading_;
  }
  Reading unknown() {
    Reading reading;
    reading.folded = reading_.folded;
    return reading;
  }

  std::string_view rest_;
  Reading reading_;
};

// The tool result a complete answer must give.
Reference expectedResult(const ToolCall& call, const Reading& reading) {
  const std::string type = lowercase(reading.contentType);
  if (call.image && reading.status == 200 && type.find("json") == std::string::npos) {
    const std::string mimeType = type.starts_with("image/")
                                     ? reading.contentType.substr(0, reading.contentType.find(';'))
                                     : "image/png";
    return {{"content",
             {{{"type", "image"},
               {"data", quillon::base64Encode(reading.body)},
               {"mimeType", quillon::repairUTF8(mimeType)}},
              {{"type", "text"}, {"text", kCaption}}}}};
  }
  return {{"content", {{{"type", "text"}, {"text", quillon::repairUTF8(reading.body)}}}},
          {"isError", reading.status > 399}};
}

// The member `key` of `value`; null when `value` is no object or has none.
Reference member(const Reference& value, const char* key) {
  return value.is_object() && value.contains(key) ? value.at(key) : Reference();
}

// A tool result of either shape, whatever it holds.
bool isToolResult(const ToolCall& call, const Reference& result) {
  const Reference content = member(result, "content");
  if (!content.is_array()) return false;
  if (result.size() == 2 && member(result, "isError").is_boolean() && content.size() == 1) {
    return content[0].size() == 2 && member(content[0], "type") == "text" &&
           member(content[0], "text").is_string();
  }
  return call.image && result.size() == 1 && content.size() == 2 && content[0].size() == 3 &&
         member(content[0], "type") == "image" && member(content[0], "data").is_string() &&
         member(content[0], "mimeType").is_string() &&
         content[1] == Reference{{"type", "text"}, {"text", kCaption}};
}

// With QUILLON_FUZZ_ANSWERS naming a file, every input's outcome is appended
// to it, one line each: the input in Base64, a space, the result (or "-" for
// an input that makes no call), and " folded" when the answer's head has a
// folded line. scripts/curl-matrix replays one corpus on every libcurl and
// compares these lines, so the viewer's address, whose port changes from run
// to run, is written as BASE.
void recordOutcome(std::string_view input, std::string outcome, const std::string& base,
                   bool folded = false) {
  static FILE* const file = [] {
    const char* path = std::getenv("QUILLON_FUZZ_ANSWERS");
    return path ? std::fopen(path, "a") : nullptr;
  }();
  if (!file) return;
  for (size_t at = outcome.find(base); at != std::string::npos; at = outcome.find(base, at)) {
    outcome.replace(at, base.size(), "BASE");
  }
  std::fprintf(file, "%s %s%s\n", quillon::base64Encode(input).c_str(), outcome.c_str(),
               folded ? " folded" : "");
  std::fflush(file);
}

// The answer line as the product's loop writes it: run() over a pipe that
// holds the one call line, into a file. handle() would give the same text
// through another writer, the one that scans every string.
std::optional<std::string> answerAsWritten(quillon::QuillonMCPServer& server,
                                           const std::string& line) {
  static FILE* const output = std::tmpfile();
  FUZZ_CHECK(output != nullptr);
  const int outputFd = fileno(output);
  FUZZ_CHECK(ftruncate(outputFd, 0) == 0 && lseek(outputFd, 0, SEEK_SET) == 0);
  int input[2];
  FUZZ_CHECK(pipe(input) == 0);
  // A call line is a few hundred bytes: far below a pipe's buffer.
  const std::string framed = line + "\n";
  FUZZ_CHECK(write(input[1], framed.data(), framed.size()) == static_cast<ssize_t>(framed.size()));
  close(input[1]);
  server.run(input[0], outputFd);
  close(input[0]);
  const off_t size = lseek(outputFd, 0, SEEK_END);
  FUZZ_CHECK(size >= 0);
  if (size == 0) return std::nullopt;
  std::string written(static_cast<size_t>(size), '\0');
  FUZZ_CHECK(pread(outputFd, written.data(), written.size(), 0) == size);
  FUZZ_CHECK(written.back() == '\n');
  written.pop_back();
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    recordOutcome({}, "-", "-");
    return 0;
  }
  // One viewer and one server for the run, as one session of the product
  // talks to one viewer; the server keeps no state between calls.
  static Viewer* const viewer = new Viewer();
  // The production timeout, doubled: a call that waits for it is a hang, and
  // libFuzzer reports it as one long before.
  static quillon::QuillonMCPServer* const server = new quillon::QuillonMCPServer(
      quillon::urlSessionTransport(viewer->base(), 60.0), viewer->base(), QUILLON_VERSION);
  static uint64_t calls = 0;

  const ToolCall& call = kCalls[data[0] % 4];
  const std::string_view served(reinterpret_cast<const char*>(data) + 1, size - 1);
  viewer->answerWith(served);
  // Numbers and strings alike come back as they were sent.
  ++calls;
  const Reference id = calls % 2 ? Reference(calls) : Reference("call-" + std::to_string(calls));
  const std::string line = R"({"jsonrpc":"2.0","id":)" + id.dump() +
                           R"(,"method":"tools/call","params":{"name":")" + call.name +
                           R"(","arguments":)" + call.arguments + "}}";

  const int acceptedBefore = viewer->accepted();
  const std::optional<std::string> answer = answerAsWritten(*server, line);
  const Reading reading = AnswerReader(served).read();
  {
    const Reference parsed = answer ? Reference::parse(*answer, nullptr, false) : Reference();
    recordOutcome({reinterpret_cast<const char*>(data), size},
                  parsed.is_object() ? member(parsed, "result").dump() : "no answer line",
                  viewer->base(), reading.folded);
  }
  // One fresh connection per call, and the call is over only once the viewer
  // has taken it.
  FUZZ_CHECK(viewer->accepted() == acceptedBefore + 1);

  // One line of JSON, valid UTF-8 (the parser checks every string), echoing
  // the id in a result envelope.
  FUZZ_CHECK(answer.has_value());
  FUZZ_CHECK(answer->find('\n') == std::string::npos && answer->find('\r') == std::string::npos);
  const Reference reply = Reference::parse(*answer, nullptr, false);
  FUZZ_CHECK(reply.is_object() && reply.size() == 3);
  FUZZ_CHECK(member(reply, "jsonrpc") == "2.0" && member(reply, "id") == id);
  const Reference result = member(reply, "result");
  const Reference unreachable = {
      {"content",
       {{{"type", "text"},
         {"text", "Quillon is not reachable at " + viewer->base() +
                      " \xE2\x80\x94 launch /Applications/Quillon.app and retry."}}}},
      {"isError", true}};
  FUZZ_CHECK(result == unreachable || isToolResult(call, result));

  if (reading.verdict == Reading::Verdict::complete) {
    // A whole, plain answer arrives, as exactly the result its status, type
    // and body call for.
    FUZZ_CHECK(result == expectedResult(call, reading));
    return 0;
  }
  if (result == unreachable) return 0;
  // A success is never made of bytes cut short, nor of framing that another
  // libcurl would read otherwise.
  FUZZ_CHECK(headerSectionMayEnd(served));
  FUZZ_CHECK(reading.verdict != Reading::Verdict::cut);
  FUZZ_CHECK(reading.verdict != Reading::Verdict::broken);
  return 0;
}

// Which libcurl this run loaded, by its own account: scripts/curl-matrix runs
// this target against every version macOS ships and checks the line.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::fprintf(stderr, "viewer_fuzz: libcurl %s loaded\n",
               curl_version_info(CURLVERSION_NOW)->version);
  return 0;
}
