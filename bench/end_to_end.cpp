// End-to-end figures of the real quillon-mcp executable against a fast local
// viewer stand-in, each next to its floor measured in the same run:
//
//   latency   2,000 sequential tools/call quillon_state through quillon-mcp,
//             against the same requests sent straight over one kept-alive
//             libcurl connection, and over a new connection each; with the
//             product's code called in this process and a line through cat
//             to show where the difference goes;
//   start-up  spawn to the initialize answer, against spawning a trivial C++
//             program that prints one line;
//   snapshot  a 24 MiB quillon_snapshot, against fetching the same body with
//             libcurl and Base64-encoding it in one process, split at the
//             answer's first byte; plus the peak resident memory of
//             quillon-mcp during it;
//   policy    the product's transport (in this process, through handle())
//             keeping its connection or opening one per call, against a
//             viewer that disables Nagle's algorithm and one that does not.
//
// The viewer is quillon_viewer_stub (next to this program), a process of its
// own. Every figure is repeated and reported as the median over the repeats;
// every ratio is taken within one repeat, then the median of those ratios is
// shown.
//
// Usage: quillon_end_to_end QUILLON_MCP TRIVIAL_PROGRAM [--rounds N] [--client-pipe BYTES]
// (--client-pipe enlarges the pipes the snapshot answers are read from.)
// Linux only (posix_spawn, /proc). Talks to 127.0.0.1 only; every loop is
// bounded in count and in time.

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "proxy.hpp"
#include "server.hpp"
#include "text.hpp"
#include "viewer_stub.hpp"

extern char** environ;

namespace quillon::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSnapshotBytes = size_t{24} << 20;
constexpr int kLatencyCalls = 2000;
constexpr int kStartups = 20;
constexpr int kSnapshots = 5;
// A reused connection to a server that leaves Nagle on waits for delayed
// acknowledgements on every call; that cell of the policy table gets a time
// budget instead of the full count.
constexpr double kPolicyBudgetSeconds = 4.0;

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index =
      static_cast<size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}
double median(std::vector<double> values) {
  return percentile(std::move(values), 50);
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "quillon_end_to_end: %s\n", what.c_str());
  std::exit(1);
}

// --- child processes over pipes ---------------------------------------------

class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& extraEnvironment,
        std::string argument = std::string()) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> environment = extraEnvironment;
    for (char** e = environ; *e; ++e) environment.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = program;
    char* argv[] = {path.data(), argument.empty() ? nullptr : argument.data(), nullptr};
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
      fail("cannot start " + program);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
  }
  ~Child() {
    closeInput();
    if (out_ >= 0) close(out_);
    if (pid_ > 0) {
      int status = 0;
      // Bounded: quillon-mcp ends at end of input; a stuck child is killed.
      for (int i = 0; i < 2000 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(1000);
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void send(const std::string& line) {
    const std::string framed = line + "\n";
    size_t done = 0;
    while (done < framed.size()) {
      const ssize_t n = write(in_, framed.data() + done, framed.size() - done);
      if (n <= 0) fail("child closed its input");
      done += static_cast<size_t>(n);
    }
  }

  // The next line of output, without its terminator, valid until the next
  // call; waits at most 60 s. Reads go straight into the buffer, which keeps
  // its size from answer to answer, so reading costs the product nothing but
  // the pipe itself.
  std::string_view receive() {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    size_t scanned = 0;
    for (;;) {
      if (const void* nl = std::memchr(buffer_.data() + scanned, '\n', end_ - scanned)) {
        const size_t end = static_cast<size_t>(static_cast<const char*>(nl) - buffer_.data());
        begin_ = end + 1;
        return std::string_view(buffer_.data(), end);
      }
      scanned = end_;
      if (end_ == buffer_.size()) buffer_.resize(2 * buffer_.size());
      // Non-blocking: a large answer streams in with one read per pipeful,
      // and only an empty pipe costs a poll.
      ssize_t n = read(out_, buffer_.data() + end_, buffer_.size() - end_);
      if (n < 0 && errno == EAGAIN) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 60000) != 1) fail("no answer within 60 s");
        n = read(out_, buffer_.data() + end_, buffer_.size() - end_);
      }
      if (n <= 0) fail("child closed its output before answering");
      if (end_ == 0) firstByte_ = Clock::now();
      end_ += static_cast<size_t>(n);
    }
  }

  // Sizes (and touches) the read buffer for lines of up to `bytes`, so that a
  // first large answer is not slowed by the reader's own growth.
  void expectLinesUpTo(size_t bytes) {
    if (buffer_.size() < bytes) buffer_.resize(bytes);
  }

  // Lets the pipe from the child hold `bytes`, as a client may choose to
  // (Linux: F_SETPIPE_SZ; 1 MiB is the limit without privileges).
  void enlargeOutputPipe(int bytes) {
    if (bytes > 0 && fcntl(out_, F_SETPIPE_SZ, bytes) < bytes) fail("cannot enlarge the pipe");
  }

  // When the first byte of the last line read arrived.
  Clock::time_point firstByte() const { return firstByte_; }

  void closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }

  // Peak resident set size so far, in bytes (VmHWM).
  size_t peakResident() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (status >> key) {
      if (key == "VmHWM:") {
        size_t kb = 0;
        status >> kb;
        return kb * 1024;
      }
      status.ignore(1 << 16, '\n');
    }
    return 0;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  size_t begin_ = 0, end_ = 0;  // unread bytes of buffer_
  Clock::time_point firstByte_;
};

// --- the viewer -------------------------------------------------------------

// quillon_viewer_stub, next to this program.
std::string viewerProgram;

// The viewer stand-in in a process of its own, so that the floor's requests
// cross between processes just as the product's do (and as they would to the
// real viewer).
class ViewerProcess {
 public:
  explicit ViewerProcess(bool noDelay)
      : child_(viewerProgram, {}, noDelay ? "nodelay" : "nagle"),
        port_(std::stoi(std::string(child_.receive()))) {}
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  Child child_;
  int port_;
};

// --- the libcurl floor --------------------------------------------------------

size_t collect(char* data, size_t size, size_t count, void* context) {
  auto* client = static_cast<std::pair<CURL*, std::string>*>(context);
  if (client->second.empty()) {
    curl_off_t length = -1;
    curl_easy_getinfo(client->first, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length > 0) client->second.reserve(static_cast<size_t>(length));
  }
  client->second.append(data, size * count);
  return size * count;
}

// The least a client can do: one easy handle, options set once, the body
// collected into a string sized from Content-Length.
class CurlClient {
 public:
  CurlClient(const std::string& url, bool fresh) : url_(url) {
    exchange_.first = curl_easy_init();
    CURL* h = exchange_.first;
    curl_easy_setopt(h, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &exchange_);
    if (fresh) {
      curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
      curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    }
  }
  ~CurlClient() { curl_easy_cleanup(exchange_.first); }

  std::string get() {
    exchange_.second.clear();
    exchange_.second.shrink_to_fit();
    if (curl_easy_perform(exchange_.first) != CURLE_OK) fail("libcurl cannot reach " + url_);
    return std::move(exchange_.second);
  }

 private:
  std::string url_;
  std::pair<CURL*, std::string> exchange_;
};

// --- measurements -------------------------------------------------------------

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2024-11-05",)"
    R"("capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})";
const std::string kStateCall =
    R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"quillon_state","arguments":{}}})";
const std::string kSnapshotCall =
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"quillon_snapshot","arguments":{}}})";

std::vector<std::string> productEnvironment(const ViewerProcess& viewer) {
  return {"QUILLON_API_PORT=" + std::to_string(viewer.port())};
}

void expectState(std::string_view answer) {
  if (answer.find("Harbour House") == std::string::npos ||
      answer.find("isError\":false") == std::string::npos) {
    fail("unexpected answer to quillon_state: " + std::string(answer.substr(0, 300)));
  }
}

struct Figure {
  std::vector<double> product, floor, ratio;
  void add(double p, double f) {
    product.push_back(p);
    floor.push_back(f);
    ratio.push_back(p / f);
  }
};

struct LatencyFigures {
  // quillon-mcp against the kept-alive floor, and against the floor that
  // opens a new connection per request like the product's default policy.
  Figure p50, p99, p50Fresh, p99Fresh;
  // The product's own code without the stdio hop: handle() in this process.
  Figure p50InProcess;
  // The hop alone: a request line to cat and back, the least any process
  // between the client and the viewer can add.
  Figure p50Hop;
};

LatencyFigures measureLatency(const std::string& exe, int rounds) {
  ViewerProcess viewer(/*noDelay=*/true);
  Child product(exe, productEnvironment(viewer));
  product.send(kInitialize);
  product.receive();
  QuillonMCPServer inProcess(urlSessionTransport(viewer.base(), 30.0), viewer.base(), QUILLON_VERSION);
  Child echo("/bin/cat", {});
  CurlClient kept(viewer.base() + "/v1/state", /*fresh=*/false);
  CurlClient fresh(viewer.base() + "/v1/state", /*fresh=*/true);
  for (int i = 0; i < 20; ++i) {  // libraries loaded, caches warm
    product.send(kStateCall);
    expectState(product.receive());
    expectState(*inProcess.handle(kStateCall));
    echo.send(kStateCall);
    echo.receive();
    if (kept.get() != stateBody() || fresh.get() != stateBody())
      fail("the floor read a wrong state");
  }
  auto sample = [](std::vector<double>& into, auto&& call) {
    for (double& t : into) {
      const auto t0 = Clock::now();
      call();
      t = micros(Clock::now() - t0);
    }
  };
  LatencyFigures figures;
  std::vector<double> p(kLatencyCalls), k(kLatencyCalls), f(kLatencyCalls), h(kLatencyCalls),
      e(kLatencyCalls);
  for (int round = 0; round < rounds; ++round) {
    sample(k, [&] {
      if (kept.get().size() != stateBody().size()) fail("the floor read a wrong state");
    });
    sample(f, [&] {
      if (fresh.get().size() != stateBody().size()) fail("the floor read a wrong state");
    });
    sample(h, [&] {
      if (inProcess.handle(kStateCall)->size() < stateBody().size()) fail("bad answer");
    });
    sample(e, [&] {
      echo.send(kStateCall);
      if (echo.receive().size() != kStateCall.size()) fail("cat changed the line");
    });
    sample(p, [&] {
      product.send(kStateCall);
      if (product.receive().size() < stateBody().size()) fail("bad answer from quillon-mcp");
    });
    figures.p50.add(percentile(p, 50), percentile(k, 50));
    figures.p99.add(percentile(p, 99), percentile(k, 99));
    figures.p50Fresh.add(percentile(p, 50), percentile(f, 50));
    figures.p99Fresh.add(percentile(p, 99), percentile(f, 99));
    figures.p50InProcess.add(percentile(h, 50), percentile(k, 50));
    figures.p50Hop.add(percentile(e, 50), percentile(k, 50));
  }
  return figures;
}

Figure measureStartup(const std::string& exe, const std::string& trivial, int rounds) {
  Figure figure;
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> p, f;
    for (int i = 0; i < kStartups; ++i) {
      {
        const auto t0 = Clock::now();
        Child child(trivial, {});
        child.receive();
        f.push_back(micros(Clock::now() - t0));
      }
      {
        const auto t0 = Clock::now();
        Child child(exe, {"QUILLON_API_PORT=1"});
        child.send(kInitialize);
        const std::string_view answer = child.receive();
        p.push_back(micros(Clock::now() - t0));
        if (answer.find("\"serverInfo\"") == std::string::npos) fail("bad initialize answer");
      }
    }
    figure.add(median(p), median(f));
  }
  return figure;
}

struct SnapshotFigures {
  // Request to the whole answer; request to its first byte (the work before
  // the answer is written), both against the floor's whole time.
  Figure time, firstByte;
  // From the first byte of the answer to its end, against the same bytes
  // read from cat: what the pipe to the client costs by itself.
  Figure transfer;
  std::vector<double> peakMiB, idlePeakMiB;
};

SnapshotFigures measureSnapshot(const std::string& exe, int rounds, int pipeBytes) {
  const std::string body = snapshotBody(kSnapshotBytes);
  const std::string expected = base64Encode(body);
  ViewerProcess viewer(/*noDelay=*/true);
  // The answer's size in one line, for cat to pipe back.
  char pipeLine[] = "/tmp/quillon_bench_line_XXXXXX";
  const int lineFd = mkstemp(pipeLine);
  const std::string line = std::string(expected.size() + 200, 'A') + "\n";
  if (lineFd < 0 || write(lineFd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    fail("cannot write a temporary file");
  }
  close(lineFd);
  SnapshotFigures figures;
  for (int round = 0; round < rounds; ++round) {
    // A fresh process each round, so that its peak belongs to the snapshots.
    Child product(exe, productEnvironment(viewer));
    product.enlargeOutputPipe(pipeBytes);
    product.expectLinesUpTo(line.size() + 1);
    product.send(kInitialize);
    product.receive();
    product.send(kStateCall);
    product.receive();
    const double idle = static_cast<double>(product.peakResident()) / (1 << 20);
    CurlClient floor(viewer.base() + "/v1/snapshot.png", /*fresh=*/false);
    std::vector<double> p, f, b, t, c;
    for (int i = 0; i < kSnapshots; ++i) {
      {
        Child cat("/bin/cat", {}, pipeLine);
        cat.enlargeOutputPipe(pipeBytes);
        cat.expectLinesUpTo(line.size() + 1);
        cat.receive();
        c.push_back(micros(Clock::now() - cat.firstByte()));
      }
      {
        const auto t0 = Clock::now();
        std::string encoded = base64Encode(floor.get());
        f.push_back(micros(Clock::now() - t0));
        if (encoded.size() != expected.size()) fail("the floor client read a wrong snapshot");
      }
      {
        const auto t0 = Clock::now();
        product.send(kSnapshotCall);
        const std::string_view answer = product.receive();
        p.push_back(micros(Clock::now() - t0));
        b.push_back(micros(product.firstByte() - t0));
        t.push_back(micros(Clock::now() - product.firstByte()));
        if (answer.size() < expected.size() ||
            (round == 0 && i == 0 && answer.find(expected) == std::string::npos)) {
          fail("the snapshot answer does not carry the image");
        }
      }
    }
    figures.time.add(median(p), median(f));
    figures.firstByte.add(median(b), median(f));
    figures.transfer.add(median(t), median(c));
    figures.peakMiB.push_back(static_cast<double>(product.peakResident()) / (1 << 20));
    figures.idlePeakMiB.push_back(idle);
  }
  std::remove(pipeLine);
  return figures;
}

struct PolicyCell {
  double p50 = 0, p99 = 0, max = 0;
  int calls = 0;
};

PolicyCell measurePolicy(bool noDelay, ConnectionPolicy policy) {
  ViewerProcess viewer(noDelay);
  QuillonMCPServer server(urlSessionTransport(viewer.base(), 30.0, policy), viewer.base(), QUILLON_VERSION);
  for (int i = 0; i < 5; ++i) server.handle(kStateCall);
  std::vector<double> samples;
  const auto start = Clock::now();
  while (static_cast<int>(samples.size()) < kLatencyCalls &&
         Clock::now() - start < std::chrono::duration<double>(kPolicyBudgetSeconds)) {
    const auto t0 = Clock::now();
    std::optional<std::string> answer = server.handle(kStateCall);
    samples.push_back(micros(Clock::now() - t0));
    if (!answer) fail("no answer");
    if (samples.size() == 1) expectState(*answer);
  }
  PolicyCell cell;
  cell.calls = static_cast<int>(samples.size());
  cell.p50 = percentile(samples, 50);
  cell.p99 = percentile(samples, 99);
  cell.max = percentile(samples, 100);
  return cell;
}

// --- report -------------------------------------------------------------------

// One line of the ratio table; a target of 0 means the figure has none.
void row(const char* what, const Figure& figure, const char* unit, double target) {
  const double ratio = median(figure.ratio);
  std::printf("%-52s %11.1f %11.1f %-4s %7.2fx", what, median(figure.product), median(figure.floor),
              unit, ratio);
  if (target > 0) std::printf("   <= %.2fx %s", target, ratio <= target ? "met" : "MISSED");
  std::printf("\n");
}

}  // namespace
}  // namespace quillon::bench

int main(int argc, char** argv) {
  using namespace quillon;
  using namespace quillon::bench;
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: %s QUILLON_MCP TRIVIAL_PROGRAM [--rounds N] [--client-pipe BYTES]\n",
                 argv[0]);
    return 2;
  }
  const std::string exe = argv[1], trivial = argv[2];
  const std::string self = argv[0];
  viewerProgram = self.substr(0, self.rfind('/') + 1) + "quillon_viewer_stub";
  int rounds = 5, pipeBytes = 0;
  for (int i = 3; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (std::string(argv[i]) == "--client-pipe") pipeBytes = std::atoi(argv[i + 1]);
  }
  signal(SIGPIPE, SIG_IGN);
  curl_global_init(CURL_GLOBAL_ALL);

  const LatencyFigures latency = measureLatency(exe, rounds);
  const Figure startup = measureStartup(exe, trivial, rounds);
  const SnapshotFigures snapshot = measureSnapshot(exe, rounds, pipeBytes);

  std::printf("Medians of %d rounds; each ratio is taken within a round, then its median shown.\n",
              rounds);
  std::printf("%-52s %11s %11s %-4s %8s   %s\n", "figure", "quillon-mcp", "floor", "unit", "ratio",
              "target");
  row("per-call p50, floor: kept-alive libcurl", latency.p50, "us", 1.25);
  row("per-call p99, floor: kept-alive libcurl", latency.p99, "us", 0);
  row("per-call p50, floor: libcurl, new connection", latency.p50Fresh, "us", 0);
  row("per-call p99, floor: libcurl, new connection", latency.p99Fresh, "us", 0);
  row("  p50 of handle() in this process, floor: kept-alive", latency.p50InProcess, "us", 0);
  row("  p50 of a line through cat and back, same floor", latency.p50Hop, "us", 0);
  row("start-up to initialize (median of 20)", startup, "us", 3.0);
  row("24 MiB snapshot (median of 5)", snapshot.time, "us", 1.5);
  row("  until its first byte, same floor", snapshot.firstByte, "us", 0);
  row("  from first byte to end, floor: same size from cat", snapshot.transfer, "us", 0);
  const double bodyMiB = static_cast<double>(kSnapshotBytes) / (1 << 20);
  Figure peak;
  for (double mib : snapshot.peakMiB) peak.add(mib, bodyMiB);
  row("peak RSS during snapshot (VmHWM), floor: body", peak, "MiB", 3.0);
  std::printf("%-52s %11.1f %11s %-4s\n", "peak RSS before snapshot (VmHWM)",
              median(snapshot.idlePeakMiB), "", "MiB");

  std::printf("\nConnection policy: tools/call quillon_state through handle() in this process\n");
  std::printf("%-22s %-26s %10s %10s %10s %7s\n", "viewer's server", "transport policy", "p50 us",
              "p99 us", "max us", "calls");
  double worst[2] = {0, 0};
  for (const bool noDelay : {true, false}) {
    for (const ConnectionPolicy policy : {ConnectionPolicy::reuse, ConnectionPolicy::fresh}) {
      const PolicyCell cell = measurePolicy(noDelay, policy);
      const int index = policy == ConnectionPolicy::reuse ? 0 : 1;
      worst[index] = std::max(worst[index], cell.p50);
      const bool isDefault = policy == kDefaultConnectionPolicy;
      std::printf("%-22s %-26s %10.1f %10.1f %10.1f %7d\n",
                  noDelay ? "TCP_NODELAY" : "Nagle on (default)",
                  index == 0 ? (isDefault ? "reuse (default)" : "reuse")
                             : (isDefault ? "new per call (default)" : "new per call"),
                  cell.p50, cell.p99, cell.max, cell.calls);
    }
  }
  std::printf("worst p50: reuse %.1f us, new connection per call %.1f us\n", worst[0], worst[1]);
  return 0;
}
