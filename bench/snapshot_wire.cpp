// One 24 MiB quillon_snapshot as a user's shell sees it, beside what the
// wire and the encoding cost by themselves:
//
//   product  quillon-mcp started with the call on stdin and its stdout on
//            /dev/null, timed from the spawn to its exit (it answers, reads
//            the end of its input and exits), with fitting turned off so that
//            the picture travels whole;
//   floor    `curl -s -o /dev/null` fetching the same body from the same
//            viewer, plus `base64 -w0` of the same bytes to /dev/null, each
//            timed from spawn to exit the same way.
//
// The floor is what any client must pay to have the body and its Base64; the
// product must also keep the whole answer in memory until the body has
// arrived, so that a cut-off body can still become an error result. Runs are
// interleaved (one of each per round, in alternating order), and the ratio is
// taken within each round. --compare runs a second quillon-mcp in the same
// rounds, for before-and-after figures from one run.
//
// The viewer is quillon_viewer_stub (next to this program) in a process of its
// own, serving 24 MiB with a Content-Length. Peak memory is wait4's
// ru_maxrss: the driver holds no large buffer before the last round, so the
// figure is the child's. Afterwards one answer is captured and compared byte
// for byte with the answer the body must give.
//
// Usage: quillon_snapshot_wire QUILLON_MCP [--rounds N] [--compare QUILLON_MCP]
// Every child is started by the project's launcher (process/), which sees an
// exit the moment it happens on Linux. Linux (/proc/loadavg, base64 -w0);
// talks to 127.0.0.1 only.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "child_process.hpp"

namespace {

using quillon::process::ChildProcess;

constexpr size_t kSnapshotBytes = size_t{24} << 20;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "quillon_snapshot_wire: %s\n", what.c_str());
  std::exit(1);
}

struct Run {
  double ms = 0;
  long peakKiB = 0;
};

// Runs `arguments` (a name is found on PATH) with stdin from `input` and
// stdout to `output`, stderr discarded, and waits for it: the time from spawn
// to exit, as the shared launcher measures it. Bounded: a child that hangs is
// killed after a minute and fails the run.
Run spawnAndWait(const std::vector<std::string>& arguments, const std::string& input,
                 const std::string& output,
                 const std::map<std::string, std::string>& environment = {}) {
  ChildProcess::Options options;
  options.arguments = arguments;
  options.environment = environment;
  options.inputFile = input;
  options.outputFile = output;
  options.errorFile = "/dev/null";
  ChildProcess::Exit exit;
  try {
    ChildProcess child(options);
    exit = child.wait(std::chrono::seconds(60));
  } catch (const std::system_error&) {
    fail("cannot start " + arguments[0]);
  }
  if (!exit.ended) fail(arguments[0] + " did not end within a minute");
  if (exit.status != 0) fail(arguments[0] + " did not exit with status 0");
  return Run{exit.elapsed.count(), exit.peakRSSKiB};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

struct Series {
  std::vector<double> ms, ratio;
  std::vector<long> peakKiB;
};

void summary(const char* what, const std::vector<double>& values, const char* unit) {
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  std::printf("%-34s median %8.2f %-3s  range %8.2f - %-8.2f\n", what, median(values), unit, *low,
              *high);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s QUILLON_MCP [--rounds N] [--compare QUILLON_MCP]\n", argv[0]);
    return 2;
  }
  std::vector<std::string> products = {argv[1]};
  int rounds = 7;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--rounds") {
      rounds = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--compare") {
      products.push_back(argv[i + 1]);
    } else {
      fail("unknown option " + option);
    }
  }
  const std::string self = argv[0];
  const std::string stub = self.substr(0, self.rfind('/') + 1) + "quillon_viewer_stub";

  ChildProcess::Options viewerOptions;
  viewerOptions.arguments = {stub, "nodelay"};
  ChildProcess viewer(viewerOptions);
  const std::optional<std::string> portLine = viewer.readLine(std::chrono::seconds(30));
  if (!portLine) fail("the viewer stub did not start");
  const std::string port = *portLine;
  const std::string url = "http://127.0.0.1:" + port + "/v1/snapshot.png";

  char directory[] = "/tmp/quillon_wire_XXXXXX";
  if (!mkdtemp(directory)) fail("cannot make a temporary directory");
  const std::string body = std::string(directory) + "/body.png";
  const std::string call = std::string(directory) + "/call.jsonl";
  const std::string captured = std::string(directory) + "/answer.jsonl";
  std::ofstream(call) << R"({"jsonrpc":"2.0","id":2,"method":"tools/call",)"
                      << R"("params":{"name":"quillon_snapshot","arguments":{}}})"
                      << "\n";
  spawnAndWait({"curl", "-s", "-o", body, url}, "/dev/null", "/dev/null");
  {
    std::ifstream file(body, std::ios::binary | std::ios::ate);
    if (static_cast<size_t>(file.tellg()) != kSnapshotBytes) fail("the body is not 24 MiB");
  }
  // The whole picture, as before fitting: this measures the wire and the
  // Base64, which every snapshot goes through.
  const std::map<std::string, std::string> environment = {{"QUILLON_API_PORT", port},
                                                           {"QUILLON_SNAPSHOT_MAX_BYTES", "0"}};

  std::printf(
      "24 MiB snapshot, process start to exit, stdout on /dev/null; %d rounds after one "
      "untimed; load %s\n",
      rounds, loadAverage().c_str());
  std::printf("%-6s", "round");
  for (size_t p = 0; p < products.size(); ++p) std::printf("  product%zu ms  ratio", p + 1);
  std::printf("  curl ms  base64 ms  floor ms\n");

  std::vector<Series> series(products.size());
  std::vector<double> fetches, encodes, floors;
  for (int round = 0; round <= rounds; ++round) {
    std::vector<Run> product(products.size());
    Run fetch, encode;
    auto runFloor = [&] {
      fetch = spawnAndWait({"curl", "-s", "-o", "/dev/null", url}, "/dev/null", "/dev/null");
      encode = spawnAndWait({"base64", "-w0", body}, "/dev/null", "/dev/null");
    };
    auto runProducts = [&] {
      for (size_t p = 0; p < products.size(); ++p) {
        // Alternate the order of the products too, so that neither always
        // runs right after the floor.
        const size_t k = round % 2 ? products.size() - 1 - p : p;
        product[k] = spawnAndWait({products[k]}, call, "/dev/null", environment);
      }
    };
    if (round % 2) {
      runFloor();
      runProducts();
    } else {
      runProducts();
      runFloor();
    }
    if (round == 0) continue;  // libraries and the viewer's pages warm
    const double floor = fetch.ms + encode.ms;
    std::printf("%-6d", round);
    for (size_t p = 0; p < products.size(); ++p) {
      series[p].ms.push_back(product[p].ms);
      series[p].ratio.push_back(product[p].ms / floor);
      series[p].peakKiB.push_back(product[p].peakKiB);
      std::printf("  %10.2f  %5.2fx", product[p].ms, product[p].ms / floor);
    }
    std::printf("  %7.2f  %9.2f  %8.2f\n", fetch.ms, encode.ms, floor);
    fetches.push_back(fetch.ms);
    encodes.push_back(encode.ms);
    floors.push_back(floor);
  }

  std::printf("\n");
  for (size_t p = 0; p < products.size(); ++p) {
    std::printf("product%zu: %s\n", p + 1, products[p].c_str());
    summary("  quillon_snapshot, start to exit", series[p].ms, "ms");
    summary("  ratio to the floor (per round)", series[p].ratio, "x");
    std::vector<double> peakMiB;
    for (long kib : series[p].peakKiB) peakMiB.push_back(static_cast<double>(kib) / 1024);
    summary("  peak RSS (ru_maxrss)", peakMiB, "MiB");
  }
  summary("floor: curl + base64 -w0", floors, "ms");
  summary("  curl -s -o /dev/null", fetches, "ms");
  summary("  base64 -w0", encodes, "ms");
  std::printf("load after: %s\n", loadAverage().c_str());

  // The answer each product gave, against the one the body must give.
  spawnAndWait({"base64", "-w0", body}, "/dev/null", captured);
  const std::string expected =
      R"({"jsonrpc":"2.0","id":2,"result":{"content":[{"type":"image","data":")" +
      readFile(captured) +
      R"(","mimeType":"image/png"},{"type":"text","text":"Snapshot of the Quillon 3D viewport."}]}})"
      "\n";
  for (const std::string& product : products) {
    spawnAndWait({product}, call, captured, environment);
    if (readFile(captured) != expected) fail(product + " answered other bytes than expected");
  }
  std::printf("every answer checked byte for byte\n");
  for (const std::string& file : {body, call, captured}) std::remove(file.c_str());
  rmdir(directory);
  viewer.closeInput();
  viewer.wait(std::chrono::seconds(10));
  return 0;
}
