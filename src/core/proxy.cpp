#include "proxy.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "answer_head.hpp"
#include "chunked_body.hpp"

namespace quillon {

ProxyError ProxyError::unreachable(const std::string& base) {
  return ProxyError("Quillon is not reachable at " + base +
                    " \xE2\x80\x94 launch /Applications/Quillon.app and retry.");
}

ProxyError ProxyError::badArguments(std::string message) {
  return ProxyError(std::move(message));
}

void StopSignal::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  if (wake_) wake_();
}

void StopSignal::setWake(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}

namespace {

constexpr int64_t kDefaultPort = 17950;

// Strict decimal: the whole value, one optional leading sign, then digits only,
// fitting in a signed 64-bit integer. Nothing is trimmed.
std::optional<int64_t> parsePort(std::string_view value) {
  std::string_view digits = value;
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    // from_chars would take the "-" of "+-1" as the number's own sign.
    if (!digits.empty() && digits.front() == '-') return std::nullopt;
  }
  int64_t port = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return port;
}

}  // namespace

std::string apiBaseURL(const Environment& environment) {
  int64_t port = kDefaultPort;
  if (auto found = environment.find("QUILLON_API_PORT"); found != environment.end()) {
    port = parsePort(found->second).value_or(kDefaultPort);
  }
  return "http://127.0.0.1:" + std::to_string(port);
}

namespace {

// Bodies announce their length; reserving it up front keeps a large snapshot
// from being copied on every growth step. The reservation has room for the
// body's Base64 as well, so that a snapshot can be encoded where it lies
// (room that is never written costs address space, not memory). A hostile
// announcement is capped.
constexpr curl_off_t kMaxReserve = curl_off_t{256} << 20;

// libcurl's receive buffer, which every body passes through on its way to
// onBody. Its default of 16 KiB takes 1,536 reads and callbacks for a 24 MiB
// snapshot; this takes 48, and saves a sixth of the snapshot's CPU time. It
// is the most that libcurl before 7.88 takes (macOS 12 and 13 have 7.77 to
// 7.84, which cut a larger value down to it). libcurl holds the buffer only
// during a transfer, and a small answer touches no more of it than it fills.
constexpr long kReceiveBufferBytes = 512 * 1024;

struct Exchange {
  CURL* handle = nullptr;
  APIResponse response;
  AnswerHead head;
  bool reserved = false;
  // Stall detection: bytes moved so far, and when they last moved.
  std::chrono::steady_clock::duration stallLimit{};
  curl_off_t moved = 0;
  std::chrono::steady_clock::time_point lastMoved = std::chrono::steady_clock::now();
};

// Ends an exchange in which no byte has moved, either way, for the stall
// limit. curl's own low-speed check averages over several seconds, so after a
// burst it would notice a stall only that much later.
int onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t,
               curl_off_t uploaded) noexcept {
  auto* exchange = static_cast<Exchange*>(context);
  const auto now = std::chrono::steady_clock::now();
  if (downloaded + uploaded != exchange->moved) {
    exchange->moved = downloaded + uploaded;
    exchange->lastMoved = now;
    return 0;
  }
  return now - exchange->lastMoved > exchange->stallLimit ? 1 : 0;
}

size_t onBody(char* data, size_t size, size_t count, void* context) noexcept {
  auto* exchange = static_cast<Exchange*>(context);
  const size_t bytes = size * count;
  try {
    if (!exchange->reserved) {
      exchange->reserved = true;
      curl_off_t announced = -1;
      if (curl_easy_getinfo(exchange->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
              CURLE_OK &&
          announced > 0) {
        const auto length = static_cast<size_t>(std::min(announced, kMaxReserve));
        exchange->response.data.reserve(length + length / 3 + 4);
      }
    }
    exchange->response.data.append(data, bytes);
  } catch (...) {
    return 0;  // out of memory: curl ends the exchange with a write error
  }
  return bytes;
}

// A broken head ends the exchange at once (libcurl answers a short count
// with a write error): the rest of the answer could only be misread, and the
// viewer may keep the connection open behind it.
size_t onHeader(char* data, size_t size, size_t count, void* context) noexcept {
  auto* exchange = static_cast<Exchange*>(context);
  const size_t bytes = size * count;
  try {
    return exchange->head.take(std::string_view(data, bytes)) ? bytes : 0;
  } catch (...) {
    return 0;
  }
}

struct CurlURLDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlURL = std::unique_ptr<CURLU, CurlURLDeleter>;
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// An origin-form request target (RFC 3986 path and query characters, every
// "%" starting an escape), judged here rather than by libcurl's URL parser,
// which accepts more in older versions (7.77 takes a space).
bool isRequestTarget(std::string_view path) {
  auto hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  if (!path.starts_with('/')) return false;
  for (size_t at = 0; at < path.size(); ++at) {
    const char c = path[at];
    if (c == '%') {
      if (at + 2 >= path.size() || !hex(path[at + 1]) || !hex(path[at + 2])) return false;
      at += 2;
    } else if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 std::string_view("-._~!$&'()*+,;=:@/?").find(c) != std::string_view::npos)) {
      return false;
    }
  }
  return true;
}

bool parses(CURLU* url, const std::string& text) {
  return curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
}

// A request libcurl cannot set up as asked is refused whole, in curl's own
// words: sent with an option missing, it could reach a proxy, wait without
// bound or carry an unlabelled body.
void check(CURLcode code) {
  if (code != CURLE_OK) {
    throw ProxyError::badArguments(std::string("libcurl cannot set up the request: ") +
                                   curl_easy_strerror(code));
  }
}

// The libcurl state of a Transport: one multi handle for its whole life,
// which holds the connection cache (so, under the reuse policy, the viewer
// connection from call to call), and a new easy handle for every call, so
// that nothing of one exchange can leak into the next. libcurl 7.88 (Debian
// 12's) is one reason: it keeps a pointer to the last header line of a
// transfer, frees the line when the handle's next transfer starts, and then
// appends an answer's folded first header line (" X: 1") to freed memory.
// An easy handle alone would make a multi handle of its own on every call,
// with a socket pair each; sharing one keeps a call as cheap as reusing the
// handle was. Neither handle is safe for concurrent use, hence the mutex; in
// the server only one thread ever calls.
class CurlSession {
 public:
  CurlSession(std::string base, double timeout, ConnectionPolicy policy)
      : base_(std::move(base)), timeout_(timeout), policy_(policy) {}
  ~CurlSession() {
    if (multi_) curl_multi_cleanup(multi_);
  }
  CurlSession(const CurlSession&) = delete;
  CurlSession& operator=(const CurlSession&) = delete;

  APIResponse perform(const std::string& method, const std::string& path,
                      const std::optional<std::string>& body, StopSignal& stop) {
    // Once per process, before any other libcurl call, and not thread-safe:
    // the static's guard serialises it.
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_ALL);
    check(initialised);
    CurlURL url(curl_url());
    if (!url) throw ProxyError::unreachable(base_);
    if (!isRequestTarget(path)) throw ProxyError::badArguments("bad path " + path);
    if (!parses(url.get(), base_ + path)) {
      // An address that can never be reached (QUILLON_API_PORT=99999, say)
      // is the viewer being unreachable, not a fault of the path.
      CurlURL probe(curl_url());
      if (probe && !parses(probe.get(), base_ + "/")) throw ProxyError::unreachable(base_);
      throw ProxyError::badArguments("bad path " + path);
    }

    std::lock_guard lock(mutex_);
    if (!multi_) multi_ = curl_multi_init();
    CurlEasy easy(curl_easy_init());
    if (!multi_ || !easy) throw ProxyError::unreachable(base_);
    CURL* const handle = easy.get();

    Exchange exchange;
    exchange.handle = handle;
    CurlList headers;
    configure(handle, url.get(), method, body, exchange, headers);
    if (transfer(handle, stop) != CURLE_OK || !exchange.head.complete()) {
      throw ProxyError::unreachable(base_);
    }

    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status == 0) throw ProxyError::unreachable(base_);
    // 204 and 304 carry no body, whatever their fields say, and libcurl
    // passes none on.
    if (exchange.head.chunked() && status != 204 && status != 304 &&
        !decodeChunkedBody(exchange.response.data)) {
      throw ProxyError::unreachable(base_);
    }
    exchange.response.status = status;
    exchange.response.contentType = exchange.head.contentType();
    exchange.response.headers = exchange.head.takeHeaders();
    return std::move(exchange.response);
  }

 private:
  // Runs one exchange on the shared multi handle, as curl_easy_perform would
  // on one of its own, and returns how it ended. A stop wakes the wait
  // (curl_multi_wakeup is the one multi call that is safe from another
  // thread) and ends the exchange; removing the handle mid-transfer closes
  // its connection, so the viewer sees the request abandoned.
  CURLcode transfer(CURL* handle, StopSignal& stop) {
    if (curl_multi_add_handle(multi_, handle) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLM* const multi = multi_;
    stop.setWake([multi] { curl_multi_wakeup(multi); });
    CURLcode result = CURLE_FAILED_INIT;
    for (int running = 1; running > 0;) {
      if (stop.stopped()) {
        result = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      if (curl_multi_perform(multi_, &running) != CURLM_OK) break;
      if (running == 0) {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
          if (message->msg == CURLMSG_DONE && message->easy_handle == handle) {
            result = message->data.result;
          }
        }
      } else if (curl_multi_poll(multi_, nullptr, 0, 1000, nullptr) != CURLM_OK) {
        break;
      }
    }
    stop.setWake(nullptr);
    curl_multi_remove_handle(multi_, handle);
    return result;
  }

  template <typename Value>
  static void setopt(CURL* handle, CURLoption option, Value value) {
    check(curl_easy_setopt(handle, option, value));
  }

  // Plain http only, however the address was written. libcurl 7.85 replaced
  // the protocol bit mask with a list of names, but what counts is the
  // library loaded at run time, not the headers: a Mac binary built with a
  // current SDK meets libcurl 7.77 to 7.84 on macOS 12 and 13, which refuse
  // the names as an unknown option. The mask is deprecated, not removed, so
  // it is the way for those.
  static void restrictToHTTP(CURL* handle) {
#if LIBCURL_VERSION_NUM >= 0x075500
    const CURLcode named = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http");
    if (named != CURLE_UNKNOWN_OPTION) return check(named);
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    setopt(handle, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP));
#pragma GCC diagnostic pop
  }

  void configure(CURL* h, CURLU* url, const std::string& method,
                 const std::optional<std::string>& body, Exchange& exchange, CurlList& headers) {
    setopt(h, CURLOPT_CURLU, url);
    restrictToHTTP(h);
    setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // The viewer is on loopback: a proxy from the environment (http_proxy,
    // ALL_PROXY) would carry the request off the machine and never reach it.
    setopt(h, CURLOPT_NOPROXY, "*");
    // No signals: the process ignores SIGPIPE itself, and curl's alarm-based
    // name resolution timeout is not needed for a numeric address.
    setopt(h, CURLOPT_NOSIGNAL, 1L);
    setopt(h, CURLOPT_TCP_NODELAY, 1L);
    if (policy_ == ConnectionPolicy::fresh) {
      setopt(h, CURLOPT_FRESH_CONNECT, 1L);
      setopt(h, CURLOPT_FORBID_REUSE, 1L);
    }

    // A stalled exchange ends with a failure: no connection within the
    // timeout, or no byte moving for that long (checked about once a second).
    // A large answer that keeps flowing is never cut off.
    const double seconds =
        std::isfinite(timeout_) && timeout_ > 0 ? std::min(timeout_, 2.0e6) : 30.0;
    setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(seconds * 1000.0));
    exchange.stallLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
    setopt(h, CURLOPT_NOPROGRESS, 0L);
    setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
    setopt(h, CURLOPT_XFERINFODATA, &exchange);

    // Speed only, so not checked: a libcurl that refused the size would read
    // in its default steps, and nothing else would change.
    static_cast<void>(curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes));
    setopt(h, CURLOPT_WRITEFUNCTION, &onBody);
    setopt(h, CURLOPT_WRITEDATA, &exchange);
    setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
    setopt(h, CURLOPT_HEADERDATA, &exchange);
    // A chunked body comes through as sent, and decodeChunkedBody reads it:
    // libcurl versions disagree on where one ends.
    setopt(h, CURLOPT_HTTP_TRANSFER_DECODING, 0L);

    if (body) {
      setopt(h, CURLOPT_POST, 1L);
      setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
      setopt(h, CURLOPT_POSTFIELDS, body->data());
      if (method != "POST") setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
      // curl would label the body as a form, and ask a large one to wait for
      // "100 Continue", which stalls a second on servers that never send it.
      headers.reset(curl_slist_append(nullptr, "Content-Type: application/json; charset=utf-8"));
      if (!headers || !curl_slist_append(headers.get(), "Expect:")) throw std::bad_alloc();
      setopt(h, CURLOPT_HTTPHEADER, headers.get());
    } else {
      setopt(h, CURLOPT_HTTPGET, 1L);
      if (method != "GET") setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
  }

  const std::string base_;
  const double timeout_;
  const ConnectionPolicy policy_;
  std::mutex mutex_;
  CURLM* multi_ = nullptr;
};

}  // namespace

Transport urlSessionTransport(std::string base, double timeout, ConnectionPolicy policy) {
  auto session = std::make_shared<CurlSession>(std::move(base), timeout, policy);
  return Transport(
      [session](const std::string& method, const std::string& path, std::optional<std::string> body,
                StopSignal& stop) { return session->perform(method, path, body, stop); });
}

}  // namespace quillon
