// quillon-demo-viewer: a stand-in for the Quillon application's local HTTP
// API, so that quillon-mcp can be tried and tested where the real viewer is
// not installed.
//
// Usage: quillon-demo-viewer [--port N] [--viewport WIDTHxHEIGHT] [--open-delay SECONDS]
// Without --port it listens where quillon-mcp will look: the QUILLON_API_PORT
// environment variable, else 17950. --port 0 takes any free port. The
// viewport is 800x500 pixels unless --viewport says otherwise; 2880x1800 is
// a Retina Mac's full-screen window, whose PNG is larger than an assistant
// takes in one tool result. --open-delay holds back the answer to every
// model opened, as a large model keeps Quillon busy, so that a host can be
// seen hearing progress while it waits; a refused open answers at once. The
// first line on standard output is "listening on http://127.0.0.1:<port>";
// standard error gets one line per request. SIGINT or SIGTERM stops it, exit
// status 0.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "proxy.hpp"
#include "viewer.hpp"

extern char** environ;

namespace {

constexpr const char* kUsage =
    "usage: quillon-demo-viewer [--port N] [--viewport WIDTHxHEIGHT] [--open-delay SECONDS]\n"
    "  --port N       listen on 127.0.0.1:N (0 picks a free port); default: QUILLON_API_PORT, "
    "else 17950\n"
    "  --viewport WxH the snapshot's size in pixels, each side 16 to 8192; default 800x500\n"
    "  --open-delay S a model opened is answered S seconds late (0 to 60); default 0\n";

std::optional<int> parsePort(std::string_view text) {
  int port = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535) {
    return std::nullopt;
  }
  return port;
}

// "2880x1800" as its two sides, each 16 to 8192 pixels.
std::optional<std::pair<int, int>> parseViewport(std::string_view text) {
  const size_t cross = text.find('x');
  if (cross == std::string_view::npos) return std::nullopt;
  int sides[2] = {0, 0};
  const std::string_view parts[2] = {text.substr(0, cross), text.substr(cross + 1)};
  for (int i = 0; i < 2; ++i) {
    const char* end = parts[i].data() + parts[i].size();
    const auto [stop, error] = std::from_chars(parts[i].data(), end, sides[i]);
    if (error != std::errc() || stop != end || sides[i] < 16 || sides[i] > 8192) {
      return std::nullopt;
    }
  }
  return std::make_pair(sides[0], sides[1]);
}

// "4.5" as a delay of 0 to 60 seconds.
std::optional<std::chrono::milliseconds> parseDelay(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(seconds >= 0 && seconds <= 60)) return std::nullopt;
  return std::chrono::milliseconds(std::lround(seconds * 1000));
}

// The port quillon-mcp would call, by its own rules.
std::string portFromEnvironment() {
  quillon::Environment environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string variable(*entry);
    const size_t equals = variable.find('=');
    if (equals != std::string::npos) {
      environment.emplace(variable.substr(0, equals), variable.substr(equals + 1));
    }
  }
  const std::string base = quillon::apiBaseURL(environment);
  return base.substr(base.rfind(':') + 1);
}

thread_local std::chrono::steady_clock::time_point requestStart;

// httplib notices that it was stopped only between requests, so a client
// that keeps its connection open (quillon-mcp opens one per call, but curl or
// a browser may keep theirs) would hold the stop back for the whole
// keep-alive timeout. Shutting the read side of every accepted
// connection lets each idle worker see end-of-stream at once, while an
// answer being written still goes out. The descriptors are found by their
// local address, which needs nothing beyond POSIX.
void endIdleConnections(int port) {
  rlimit limit{};
  const int highest = getrlimit(RLIMIT_NOFILE, &limit) == 0
                          ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536))
                          : 1024;
  for (int fd = 3; fd < highest; ++fd) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != port) {
      continue;
    }
    int listening = 0;
    socklen_t flagSize = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagSize) == 0 && listening) {
      continue;
    }
    shutdown(fd, SHUT_RD);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string portText;
  bool fromOption = false;
  std::pair<int, int> viewport{800, 500};
  std::chrono::milliseconds openDelay{0};
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--viewport" && i + 1 < argc) {
      const auto sides = parseViewport(argv[++i]);
      if (!sides) {
        std::fprintf(stderr, "quillon-demo-viewer: %s is not a viewport size\n%s", argv[i], kUsage);
        return 2;
      }
      viewport = *sides;
    } else if (argument == "--open-delay" && i + 1 < argc) {
      const auto delay = parseDelay(argv[++i]);
      if (!delay) {
        std::fprintf(stderr, "quillon-demo-viewer: %s is not a delay in seconds\n%s", argv[i],
                     kUsage);
        return 2;
      }
      openDelay = *delay;
    } else if (argument == "--port" && i + 1 < argc) {
      portText = argv[++i];
      fromOption = true;
    } else if (argument.rfind("--port=", 0) == 0) {
      portText = argument.substr(7);
      fromOption = true;
    } else if (argument == "-h" || argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "quillon-demo-viewer: unknown argument %s\n%s", argument.c_str(),
                   kUsage);
      return 2;
    }
  }
  if (!fromOption) portText = portFromEnvironment();
  const std::optional<int> port = parsePort(portText);
  // Port 0 from the environment would leave quillon-mcp calling a port that
  // nobody listens on; only --port may ask for any free one.
  if (!port || (*port == 0 && !fromOption)) {
    std::fprintf(stderr, "quillon-demo-viewer: %s is not a port to listen on (1..65535)\n",
                 portText.c_str());
    return 2;
  }

  // Signals are taken by one waiting thread, not by a handler, so that the
  // server can be stopped with ordinary calls. They are blocked before any
  // thread starts, so every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  // A client that reuses its connection would otherwise wait ~40 ms for a
  // delayed ACK on every small answer (quillon-mcp opens one per call).
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(100000);
  server.set_keep_alive_timeout(60);
  server.set_payload_max_length(8u << 20);
  server.new_task_queue = [] { return new httplib::ThreadPool(8); };

  const int bound = *port == 0 ? server.bind_to_any_port("127.0.0.1")
                               : (server.bind_to_port("127.0.0.1", *port) ? *port : -1);
  if (bound <= 0) {
    std::fprintf(stderr, "quillon-demo-viewer: cannot listen on 127.0.0.1:%s (%s)\n",
                 portText.c_str(), std::strerror(errno));
    return 1;
  }

  quillon::demo::DemoViewer::Options options;
  options.apiPort = bound;
  options.snapshotWidth = viewport.first;
  options.snapshotHeight = viewport.second;
  quillon::demo::DemoViewer viewer(options);

  // Set when a stop signal came, so that a held-back answer goes at once.
  std::atomic<bool> stopping{false};
  auto serve = [&](const httplib::Request& request, httplib::Response& response) {
    quillon::demo::HttpReply reply = viewer.handle(request.method, request.path, request.body);
    if (request.path == "/v1/open" && reply.status == 200) {
      const auto due = std::chrono::steady_clock::now() + openDelay;
      while (!stopping && std::chrono::steady_clock::now() < due) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    response.status = reply.status;
    response.set_content(std::move(reply.body), reply.contentType.c_str());
  };
  // Every path and method reaches the viewer, which answers unknown ones
  // with a JSON error rather than the library's empty 404.
  server.Get(".*", serve);
  server.Post(".*", serve);
  server.Put(".*", serve);
  server.Patch(".*", serve);
  server.Delete(".*", serve);
  server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    requestStart = std::chrono::steady_clock::now();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
    const double micros =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - requestStart)
            .count();
    std::fprintf(stderr, "%s %s -> %d, %zu bytes, %.0f us\n", request.method.c_str(),
                 request.path.c_str(), response.status, response.body.size(), micros);
  });

  std::atomic<bool> finished{false};
  std::thread stopper([&] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    std::fprintf(stderr, "quillon-demo-viewer: %s, stopping\n", strsignal(signalNumber));
    stopping = true;
    // stop() does nothing before listening has begun, so keep asking.
    while (!finished) {
      server.stop();
      endIdleConnections(bound);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });

  std::printf("listening on http://127.0.0.1:%d\n", bound);
  std::fflush(stdout);
  const bool listened = server.listen_after_bind();
  finished = true;
  if (!listened) {
    std::fprintf(stderr, "quillon-demo-viewer: the server failed\n");
    stopper.detach();
    return 1;
  }
  stopper.join();
  return 0;
}
