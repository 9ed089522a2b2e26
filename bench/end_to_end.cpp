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
// Every child is started with the project's launcher (process/). The peak
// memory before a snapshot and --client-pipe need Linux (/proc, F_SETPIPE_SZ).
// Talks to 127.0.0.1 only; every loop is bounded in count and in time.

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "proxy.hpp"
#include "server.hpp"
#include "text.hpp"
#include "viewer_stub.hpp"

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

// --- child processes ----------------------------------------------------------

using process::ChildProcess;

ChildProcess::Options command(std::vector<std::string> arguments,
                              std::map<std::string, std::string> environment = {}) {
  ChildProcess::Options options;
  options.arguments = std::move(arguments);
  options.environment = std::move(environment);
  return options;
}

void send(ChildProcess& child, const std::string& framedLine) {
  if (!child.write(framedLine)) fail("a child closed its input: " + child.err());
}

// The next line into `line`, whose memory is used again, so that reading an
// answer costs the product's figure no more than the pipe itself.
void receive(ChildProcess& child, std::string& line) {
  if (!child.readLine(line, std::chrono::seconds(60))) {
    fail("no line within 60 s: " + child.err().substr(0, 300));
  }
}

// Touches `bytes` of `line`'s memory, so that no timed read pays for it.
void preTouch(std::string& line, size_t bytes) {
  line.assign(bytes, 'x');
  line.clear();
}

// Ends a child by closing its input, and fails unless it exits cleanly.
ChildProcess::Exit finish(ChildProcess& child) {
  child.closeInput();
  const ChildProcess::Exit exit = child.wait(std::chrono::seconds(10));
  if (exit.status != 0) fail("a child ended with status " + std::to_string(exit.status));
  return exit;
}

// A running child's peak resident memory, where the system tells it: Linux's
// VmHWM. wait4's figure is no substitute there: it includes what this process
// had resident when the child was spawned, shared with the child until exec.
std::optional<double> runningPeakMiB(const ChildProcess& child) {
#ifdef __linux__
  std::ifstream status("/proc/" + std::to_string(child.pid()) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      double kib = 0;
      status >> kib;
      return kib / 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  fail("no VmHWM in /proc/" + std::to_string(child.pid()) + "/status");
#else
  (void)child;
  return std::nullopt;
#endif
}

// Lets the pipe from the child hold `bytes`, as a client may choose to (1 MiB
// is the limit without privileges). The launcher keeps its descriptors to
// itself, so the pipe is reached through the child's stdout: any descriptor
// of a pipe resizes it.
void enlargeOutputPipe(const ChildProcess& child, int bytes) {
  if (bytes <= 0) return;
#ifdef __linux__
  const std::string path = "/proc/" + std::to_string(child.pid()) + "/fd/1";
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const bool enlarged = fd >= 0 && fcntl(fd, F_SETPIPE_SZ, bytes) >= bytes;
  if (fd >= 0) close(fd);
  if (!enlarged) fail("cannot enlarge the pipe to " + std::to_string(bytes) + " bytes");
#else
  (void)child;
  fail("--client-pipe: Linux only (F_SETPIPE_SZ)");
#endif
}

// --- the viewer -------------------------------------------------------------

// quillon_viewer_stub, next to this program.
std::string viewerProgram;

// The viewer stand-in in a process of its own, so that the floor's requests
// cross between processes just as the product's do (and as they would to the
// real viewer).
class ViewerProcess {
 public:
  explicit ViewerProcess(bool noDelay)
      : child_(command({viewerProgram, noDelay ? "nodelay" : "nagle"})) {
    std::string line;
    receive(child_, line);
    port_ = std::stoi(line);
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  ChildProcess child_;
  int port_ = 0;
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
// As written to a child: framed once, not on every call.
const std::string kInitializeLine = kInitialize + "\n";
const std::string kStateLine = kStateCall + "\n";
const std::string kSnapshotLine = kSnapshotCall + "\n";

// The stand-in's snapshot is 24 MiB of noise, measured whole as it travels:
// fitting is off (the fitting itself is quillon_snapshot_fit's to measure).
ChildProcess::Options product(const std::string& exe, int port) {
  return command({exe},
                 {{"QUILLON_API_PORT", std::to_string(port)}, {"QUILLON_SNAPSHOT_MAX_BYTES", "0"}});
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
  ChildProcess server(product(exe, viewer.port()));
  std::string line;
  send(server, kInitializeLine);
  receive(server, line);
  QuillonMCPServer inProcess(urlSessionTransport(viewer.base(), 30.0), viewer.base(),
                             QUILLON_VERSION);
  ChildProcess echo(command({"/bin/cat"}));
  CurlClient kept(viewer.base() + "/v1/state", /*fresh=*/false);
  CurlClient fresh(viewer.base() + "/v1/state", /*fresh=*/true);
  for (int i = 0; i < 20; ++i) {  // libraries loaded, caches warm
    send(server, kStateLine);
    receive(server, line);
    expectState(line);
    expectState(*inProcess.handle(kStateCall));
    send(echo, kStateLine);
    receive(echo, line);
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
      send(echo, kStateLine);
      receive(echo, line);
      if (line.size() != kStateCall.size()) fail("cat changed the line");
    });
    sample(p, [&] {
      send(server, kStateLine);
      receive(server, line);
      if (line.size() < stateBody().size()) fail("bad answer from quillon-mcp");
    });
    figures.p50.add(percentile(p, 50), percentile(k, 50));
    figures.p99.add(percentile(p, 99), percentile(k, 99));
    figures.p50Fresh.add(percentile(p, 50), percentile(f, 50));
    figures.p99Fresh.add(percentile(p, 99), percentile(f, 99));
    figures.p50InProcess.add(percentile(h, 50), percentile(k, 50));
    figures.p50Hop.add(percentile(e, 50), percentile(k, 50));
  }
  finish(echo);
  finish(server);
  return figures;
}

Figure measureStartup(const std::string& exe, const std::string& trivial, int rounds) {
  Figure figure;
  std::string line;
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> p, f;
    for (int i = 0; i < kStartups; ++i) {
      {
        const auto t0 = Clock::now();
        ChildProcess child(command({trivial}));
        receive(child, line);
        f.push_back(micros(Clock::now() - t0));
        finish(child);
      }
      {
        const auto t0 = Clock::now();
        // Port 1: nothing listens there, and initialize does not ask.
        ChildProcess child(product(exe, 1));
        send(child, kInitializeLine);
        receive(child, line);
        p.push_back(micros(Clock::now() - t0));
        if (line.find("\"serverInfo\"") == std::string::npos) fail("bad initialize answer");
        finish(child);
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
  // A line of the answer's size, which cat sends once for a warm-up and
  // then once per snapshot.
  char linePath[] = "/tmp/quillon_bench_line_XXXXXX";
  const int lineFd = mkstemp(linePath);
  const std::string catLine = std::string(expected.size() + 200, 'A') + "\n";
  if (lineFd < 0 ||
      write(lineFd, catLine.data(), catLine.size()) != static_cast<ssize_t>(catLine.size())) {
    fail("cannot write a temporary file");
  }
  close(lineFd);
  std::vector<std::string> catArguments = {"/bin/cat"};
  catArguments.insert(catArguments.end(), kSnapshots + 1, linePath);
  // The reader's memory, touched before any timing. readLine trades the
  // launcher's buffer for this one on every line, so a child's first line,
  // untimed, grows the launcher's, and from then on both buffers are warm.
  std::string answer;
  preTouch(answer, catLine.size() + (1 << 20));
  SnapshotFigures figures;
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> p, f, b, t, c;
    {
      // cat sends its lines back to back, so each after the first is timed
      // from the end of the one before: the pipe's pace alone.
      ChildProcess cat(command(catArguments));
      enlargeOutputPipe(cat, pipeBytes);
      for (int i = 0; i <= kSnapshots; ++i) {
        if (!cat.waitForOutput(std::chrono::seconds(60))) fail("cat sent too few lines");
        const auto t0 = Clock::now();
        receive(cat, answer);
        if (i > 0) c.push_back(micros(Clock::now() - t0));
      }
      finish(cat);
    }
    // A fresh process each round, so that its peak belongs to the snapshots.
    ChildProcess server(product(exe, viewer.port()));
    enlargeOutputPipe(server, pipeBytes);
    send(server, kInitializeLine);
    receive(server, answer);
    send(server, kStateLine);
    receive(server, answer);
    const std::optional<double> idle = runningPeakMiB(server);
    CurlClient floor(viewer.base() + "/v1/snapshot.png", /*fresh=*/false);
    for (int i = 0; i <= kSnapshots; ++i) {  // the first one warms the reader
      {
        const auto t0 = Clock::now();
        std::string encoded = base64Encode(floor.get());
        if (i > 0) f.push_back(micros(Clock::now() - t0));
        if (encoded.size() != expected.size()) fail("the floor client read a wrong snapshot");
      }
      {
        const auto t0 = Clock::now();
        send(server, kSnapshotLine);
        if (!server.waitForOutput(std::chrono::seconds(60))) fail("no snapshot answer");
        const auto first = Clock::now();
        receive(server, answer);
        const auto end = Clock::now();
        if (i > 0) {
          p.push_back(micros(end - t0));
          b.push_back(micros(first - t0));
          t.push_back(micros(end - first));
        }
        if (answer.size() < expected.size() ||
            (round == 0 && i == 0 && answer.find(expected) == std::string::npos)) {
          fail("the snapshot answer does not carry the image");
        }
      }
    }
    figures.time.add(median(p), median(f));
    figures.firstByte.add(median(b), median(f));
    figures.transfer.add(median(t), median(c));
    const std::optional<double> peak = runningPeakMiB(server);
    const ChildProcess::Exit exit = finish(server);
    figures.peakMiB.push_back(peak ? *peak : static_cast<double>(exit.peakRSSKiB) / 1024);
    if (idle) figures.idlePeakMiB.push_back(*idle);
  }
  std::remove(linePath);
  return figures;
}

struct PolicyCell {
  double p50 = 0, p99 = 0, max = 0;
  int calls = 0;
};

PolicyCell measurePolicy(bool noDelay, ConnectionPolicy policy) {
  ViewerProcess viewer(noDelay);
  QuillonMCPServer server(urlSessionTransport(viewer.base(), 30.0, policy), viewer.base(),
                          QUILLON_VERSION);
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

void row(const char* what, const Figure& figure, const char* unit) {
  std::printf("%-52s %11.1f %11.1f %-4s %7.2fx\n", what, median(figure.product),
              median(figure.floor), unit, median(figure.ratio));
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
  std::printf("%-52s %11s %11s %-4s %8s\n", "figure", "quillon-mcp", "floor", "unit", "ratio");
  row("per-call p50, floor: kept-alive libcurl", latency.p50, "us");
  row("per-call p99, floor: kept-alive libcurl", latency.p99, "us");
  row("per-call p50, floor: libcurl, new connection", latency.p50Fresh, "us");
  row("per-call p99, floor: libcurl, new connection", latency.p99Fresh, "us");
  row("  p50 of handle() in this process, floor: kept-alive", latency.p50InProcess, "us");
  row("  p50 of a line through cat and back, same floor", latency.p50Hop, "us");
  row("start-up to initialize (median of 20)", startup, "us");
  row("24 MiB snapshot (median of 5)", snapshot.time, "us");
  row("  until its first byte, same floor", snapshot.firstByte, "us");
  row("  from first byte to end, floor: same size from cat", snapshot.transfer, "us");
  const double bodyMiB = static_cast<double>(kSnapshotBytes) / (1 << 20);
  Figure peak;
  for (double mib : snapshot.peakMiB) peak.add(mib, bodyMiB);
  row("peak RSS during snapshot, floor: body", peak, "MiB");
  if (!snapshot.idlePeakMiB.empty()) {
    std::printf("%-52s %11.1f %11s %-4s\n", "peak RSS before snapshot",
                median(snapshot.idlePeakMiB), "", "MiB");
  }

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
