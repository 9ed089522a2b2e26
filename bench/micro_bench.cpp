// In-process costs of the server, with the viewer replaced by an in-memory
// Transport: what one request costs in handle(), and how fast the large-body
// paths (image shaping plus encode, UTF-8 repair, Base64) move bytes.

#include <benchmark/benchmark.h>

#include <string>
#include <utility>

#include "proxy.hpp"
#include "server.hpp"
#include "text.hpp"
#include "viewer_stub.hpp"

namespace quillon {
namespace {

constexpr size_t kSnapshotBytes = size_t{24} << 20;

APIResponse stateResponse() {
  APIResponse response;
  response.status = 200;
  response.data = bench::stateBody();
  response.contentType = "application/json; charset=utf-8";
  return response;
}

QuillonMCPServer inMemoryServer() {
  Transport transport = [](const std::string&, const std::string&, std::optional<std::string>,
                           StopSignal&) { return stateResponse(); };
  return QuillonMCPServer(std::move(transport), "http://127.0.0.1:17950", QUILLON_VERSION);
}

void handleLine(benchmark::State& state, const std::string& line) {
  QuillonMCPServer server = inMemoryServer();
  size_t bytes = 0;
  for (auto _ : state) {
    std::optional<std::string> answer = server.handle(line);
    bytes += answer ? answer->size() : 0;
    benchmark::DoNotOptimize(answer);
  }
  state.counters["answer_bytes"] = static_cast<double>(bytes) / state.iterations();
}

void BM_HandlePing(benchmark::State& state) {
  handleLine(state, R"({"jsonrpc":"2.0","id":7,"method":"ping"})");
}
BENCHMARK(BM_HandlePing);

void BM_HandleToolsList(benchmark::State& state) {
  handleLine(state, R"({"jsonrpc":"2.0","id":7,"method":"tools/list","params":{}})");
}
BENCHMARK(BM_HandleToolsList);

void BM_HandleToolsCallState(benchmark::State& state) {
  handleLine(state, R"({"jsonrpc":"2.0","id":7,"method":"tools/call",)"
                    R"("params":{"name":"quillon_state","arguments":{}}})");
}
BENCHMARK(BM_HandleToolsCallState);

void BM_HandleToolsCallCamera(benchmark::State& state) {
  handleLine(state,
             R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"quillon_camera",)"
             R"("arguments":{"position":[3.5,-2,1.7],"target":[0,0,1.2],"fov":42}}})");
}
BENCHMARK(BM_HandleToolsCallCamera);

// The snapshot path after the body has arrived: shaping (Base64) and
// serialising the answer. The body is refilled outside the timed region, into
// a string reserved the way the transport reserves it.
void BM_ImageResultAndEncode24MiB(benchmark::State& state) {
  const std::string body = bench::snapshotBody(kSnapshotBytes);
  size_t answerBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    APIResponse response;
    response.status = 200;
    response.contentType = "image/png";
    response.data.reserve(body.size() / 3 * 4 + 4);
    response.data.assign(body);
    state.ResumeTiming();
    JSON result = QuillonMCPServer::imageResult(std::move(response), "Snapshot");
    JSON answer = JSON::object();
    answer["jsonrpc"] = "2.0";
    answer["id"] = 7;
    answer["result"] = std::move(result);
    std::optional<std::string> text = QuillonMCPServer::encode(answer);
    answerBytes = text ? text->size() : 0;
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSnapshotBytes));
  state.counters["answer_bytes"] = static_cast<double>(answerBytes);
}
BENCHMARK(BM_ImageResultAndEncode24MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// A valid body, the common case: checked and passed through without a copy.
void BM_RepairUTF8Valid24MiB(benchmark::State& state) {
  std::string text;
  while (text.size() < kSnapshotBytes) text += bench::stateBody() + "caf\xC3\xA9 \xE2\x80\x94 ";
  text.resize(kSnapshotBytes);
  text = repairUTF8(std::move(text));  // the cut may have split a sequence
  for (auto _ : state) {
    text = repairUTF8(std::move(text));
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RepairUTF8Valid24MiB)->Unit(benchmark::kMillisecond);

// Binary noise, the worst case: about half the bytes start an ill-formed
// sequence and become U+FFFD.
void BM_RepairUTF8Binary24MiB(benchmark::State& state) {
  const std::string body = bench::snapshotBody(kSnapshotBytes);
  for (auto _ : state) {
    state.PauseTiming();
    std::string bytes = body;
    state.ResumeTiming();
    std::string repaired = repairUTF8(std::move(bytes));
    benchmark::DoNotOptimize(repaired.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSnapshotBytes));
}
BENCHMARK(BM_RepairUTF8Binary24MiB)->Unit(benchmark::kMillisecond);

void BM_Base64Encode24MiB(benchmark::State& state) {
  const std::string body = bench::snapshotBody(kSnapshotBytes);
  for (auto _ : state) {
    std::string encoded = base64Encode(body);
    benchmark::DoNotOptimize(encoded.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSnapshotBytes));
}
BENCHMARK(BM_Base64Encode24MiB)->Unit(benchmark::kMillisecond);

// The encoder alone: in place, in memory already touched, so that the figure
// is not the cost of the kernel handing out fresh pages (on this kind of
// virtual machine, most of the fresh-output figure above).
void BM_Base64EncodeInPlaceWarm24MiB(benchmark::State& state) {
  const std::string body = bench::snapshotBody(kSnapshotBytes);
  std::string bytes;
  bytes.reserve(body.size() / 3 * 4 + 4);
  for (auto _ : state) {
    state.PauseTiming();
    bytes.assign(body);
    state.ResumeTiming();
    base64EncodeInPlace(bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSnapshotBytes));
}
BENCHMARK(BM_Base64EncodeInPlaceWarm24MiB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillon

BENCHMARK_MAIN();
