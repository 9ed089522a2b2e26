// The viewer API client: what one viewer answer looks like, the error the
// client throws, where the viewer lives, and the blocking HTTP transport.
//
// The transport is a plain function value so that the server can be driven by
// a recording fake in tests and never open a socket there.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace quillon {

// One answer of the viewer's HTTP API, as the transport hands it back.
struct APIResponse {
  int64_t status = 0;
  std::string data;         // the body exactly as received (bytes, maybe not UTF-8)
  std::string contentType;  // Content-Type as sent, "" when absent
  std::map<std::string, std::string> headers;  // names lower-cased
};

// The client side's only error. Its description is the text the user reads,
// so it is built once, at construction, and never changes.
class ProxyError : public std::exception {
 public:
  // The viewer did not answer; `base` is the address the transport was built
  // with, never the full request address.
  static ProxyError unreachable(const std::string& base);
  // A request cannot be formed; `message` is the complete text.
  static ProxyError badArguments(std::string message);

  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  explicit ProxyError(std::string description) : description_(std::move(description)) {}

  std::string description_;
};

// Tells a viewer request, from another thread, to be abandoned: the
// client that asked for it cancelled it. Stopped once, for good.
class StopSignal {
 public:
  // Sets the signal and wakes the wait of the request under way, if any.
  void stop();
  bool stopped() const noexcept { return stopped_.load(); }
  // What stop() calls to interrupt a wait; the transport sets it while it
  // waits and clears it (nullptr) before it returns. Not called when the
  // signal was stopped already: the transport checks stopped() after
  // setting it, before it waits.
  void setWake(std::function<void()> wake);

 private:
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::function<void()> wake_;
};

// Performs one HTTP exchange with the viewer: method ("GET", "POST"), a path
// beginning with "/", and an optional JSON body (absent, not empty, for a GET).
// Returns the answer whatever its status; throws ProxyError when there is none,
// and when `stop` is stopped before the answer is in (the exchange is then
// abandoned and its connection closed). A function value, so that tests can
// pass a recording fake; a fake that may be cancelled honours `stop` too.
class Transport {
 public:
  using Call = std::function<APIResponse(const std::string& method, const std::string& path,
                                         std::optional<std::string> body, StopSignal& stop)>;

  // From any function of the Call's shape, as a function value is made.
  template <typename Function>
  requires std::is_invocable_r_v<APIResponse, Function&, const std::string&, const std::string&,
                                 std::optional<std::string>, StopSignal&>
  Transport(Function call) : call_(std::move(call)) {}  // NOLINT(google-explicit-constructor)

  APIResponse operator()(const std::string& method, const std::string& path,
                         std::optional<std::string> body, StopSignal& stop) const {
    return call_(method, path, std::move(body), stop);
  }
  // A call that nobody stops.
  APIResponse operator()(const std::string& method, const std::string& path,
                         std::optional<std::string> body) const {
    StopSignal never;
    return call_(method, path, std::move(body), never);
  }

 private:
  Call call_;
};

using Environment = std::map<std::string, std::string>;

// "http://127.0.0.1:<port>", the port taken from QUILLON_API_PORT when it is a
// strict decimal that fits in 64 bits, else 17950. Never fails.
std::string apiBaseURL(const Environment& environment);

// How a Transport treats its connection to the viewer between calls.
//
// A new connection per call is the default because its worst case is far
// better. Reusing a kept-alive connection saves about 0.1 ms a call, but only
// while the viewer's HTTP server disables Nagle's algorithm; against one that
// does not (a common default), every call on a reused connection waits for a
// delayed acknowledgement, some 40 ms, while a new connection still answers in
// under 0.2 ms. The viewer's server is not ours to choose; docs/performance.md
// has the measurements.
enum class ConnectionPolicy {
  reuse,  // keep one connection alive and send every call over it
  fresh,  // open a new connection for every call and close it afterwards
};
inline constexpr ConnectionPolicy kDefaultConnectionPolicy = ConnectionPolicy::fresh;

// A Transport to `base` over libcurl, blocking the calling thread for the
// whole exchange. `timeout` (seconds) bounds a stalled exchange: no connection
// within it, or no bytes moving for that long. A large answer that keeps
// flowing is not cut off.
//
// The returned function may be copied freely; copies share one libcurl
// connection cache (and, under `reuse`, the connection in it), and calls
// through them are serialised, so it is safe to call from several threads. The product always
// uses the default policy; the other one exists so that both can be measured.
Transport urlSessionTransport(std::string base, double timeout,
                              ConnectionPolicy policy = kDefaultConnectionPolicy);

}  // namespace quillon
