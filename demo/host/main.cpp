// quillon-demo-host: plays the part of an MCP host (the assistant's app) for
// scripts/demo. It starts quillon-mcp, talks MCP to it over stdio, calls
// every tool against a running demo viewer, stops that viewer to show what
// the assistant reads then, and prints a short transcript. With
// --snapshot-only it opens the model, takes one snapshot and shows how the
// viewer's picture was fitted to the assistant's limits (the defaults),
// saving both pictures in DIR. Given the --open-delay the viewer was started
// with, it opens the model with a progressToken and prints each progress
// notification that comes while the viewer keeps the call waiting.
//
// Usage: quillon-demo-host --mcp PATH --port N --viewer-pid PID --skp FILE --out DIR
//                          [--open-delay SECONDS]
//        quillon-demo-host --snapshot-only --mcp PATH --port N --skp FILE --out DIR
// Exit status 0 when every step answered as expected, else 1 (2 for usage).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "jpeg_writer.hpp"
#include "mcp_client.hpp"
#include "png_reader.hpp"
#include "proxy.hpp"
#include "snapshot_fit.hpp"

namespace {

using quillon::demo::JSON;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Settings {
  std::string mcp, skp, out;
  std::string openDelay;  // seconds, as the viewer was told; empty: none
  int port = 0;
  pid_t viewerPid = 0;
  bool snapshotOnly = false;
};

bool portAnswers(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// One line of what came back, short enough to read: long JSON is cut, multi-
// line text shows its first line and how much more there is.
std::string summary(const std::string& text) {
  constexpr size_t kWidth = 150;
  const size_t newline = text.find('\n');
  const bool multiLine = newline != std::string::npos && newline + 1 < text.size();
  std::string first = text.substr(0, newline);
  std::string shown = first.size() > kWidth ? first.substr(0, kWidth) + "..." : first;
  if (multiLine) {
    const auto lines = std::count(text.begin(), text.end(), '\n');
    shown += "  [" + std::to_string(lines) + " lines, " + std::to_string(text.size()) + " chars]";
  } else if (first.size() > kWidth) {
    shown += "  [" + std::to_string(text.size()) + " chars]";
  }
  return shown;
}

std::string sides(const quillon::PNGHeader& size, const char* by = "\u00d7") {
  return std::to_string(size.width) + by + std::to_string(size.height);
}

void save(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class Tour {
 public:
  explicit Tour(quillon::demo::McpClient& client) : client_(client) {}

  enum class Expect { ok, refusal };

  // Calls a tool, prints the exchange, and checks the outcome. With a
  // progress token it also prints each notification heard while waiting and
  // when it came, and checks that at least two came, for this call, each
  // further on; a late one would break the next call, which takes none.
  JSON call(const std::string& tool, const JSON& arguments, Expect expect,
            const char* remark = nullptr, const JSON& progressToken = JSON()) {
    std::cout << "> " << tool << " " << arguments.dump();
    if (remark) std::cout << "    (" << remark << ")";
    std::cout << "\n";
    const auto start = std::chrono::steady_clock::now();
    const auto since = [&start] {
      char text[32];
      std::snprintf(
          text, sizeof text, "%.1f s",
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      return std::string(text);
    };
    std::vector<double> heard;
    const auto onProgress = [&](const JSON& note) {
      const JSON params = note.value("params", JSON::object());
      std::cout << "  ~ " << since() << ": " << note.value("method", "?") << " " << params.dump()
                << "\n";
      const JSON progress = params.value("progress", JSON());
      check(note.value("method", "") == "notifications/progress" &&
                params.value("progressToken", JSON()) == progressToken && progress.is_number() &&
                (heard.empty() || progress.get<double>() > heard.back()),
            "not a progress notification for this call, further on than the last");
      heard.push_back(progress.is_number() ? progress.get<double>() : 0.0);
    };
    JSON result = progressToken.is_null()
                      ? client_.callTool(tool, arguments)
                      : client_.callTool(tool, arguments, progressToken, onProgress);
    const bool isError = quillon::demo::isErrorResult(result);
    std::string shown;
    for (const JSON& item : result.value("content", JSON::array())) {
      if (item.value("type", "") == "image") {
        const std::string bytes = quillon::demo::decodeBase64(item.value("data", ""));
        shown += item.value("mimeType", "?") + ", " + std::to_string(bytes.size()) + " bytes; ";
      } else {
        shown += summary(item.value("text", ""));
      }
    }
    std::cout << "< " << (isError ? "isError: " : "") << shown;
    if (!progressToken.is_null()) std::cout << "    (after " << since() << ")";
    std::cout << "\n";
    if (!progressToken.is_null()) {
      check(heard.size() >= 2,
            "heard " + std::to_string(heard.size()) + " progress notification(s), fewer than 2");
    }
    if ((expect == Expect::refusal) != isError) {
      complain(tool + (isError ? " failed, but should have worked"
                               : " worked, but should have been refused"));
    }
    return result;
  }

  void complain(const std::string& what) {
    ++failures_;
    std::cout << "  !! UNEXPECTED: " << what << "\n";
  }
  void check(bool ok, const std::string& what) {
    if (!ok) complain(what);
  }
  int failures() const { return failures_; }

 private:
  quillon::demo::McpClient& client_;
  int failures_ = 0;
};

quillon::process::ChildProcess::Options serverOptions(const Settings& settings) {
  quillon::process::ChildProcess::Options options;
  options.arguments = {settings.mcp};
  options.environment["QUILLON_API_PORT"] = std::to_string(settings.port);
  options.errorFile = (fs::path(settings.out) / "quillon-mcp.stderr").string();
  return options;
}

// Ends quillon-mcp's input, as a host that quits does; it should exit 0.
void finish(quillon::process::ChildProcess& server, Tour& tour) {
  server.closeInput();
  const quillon::process::ChildProcess::Exit exit = server.wait(10s);
  std::cout << "\n-- closed quillon-mcp's input; it exited with status "
            << (exit.ended ? std::to_string(exit.status) : std::string("(still running)")) << "\n";
  tour.check(exit.ended && exit.status == 0, "quillon-mcp should exit 0 at the end of its input");
}

// One snapshot of a viewport too large to send whole, within the default
// limits whatever this environment sets.
int fitOneSnapshot(const Settings& settings) {
  const std::string base = "http://127.0.0.1:" + std::to_string(settings.port);
  std::cout << "MCP host -> quillon-mcp (stdio) -> demo viewer at " << base << "\n\n";
  auto options = serverOptions(settings);
  options.environment["QUILLON_SNAPSHOT_MAX_BYTES"] =
      std::to_string(quillon::kDefaultSnapshotMaxBytes);
  options.environment["QUILLON_SNAPSHOT_MAX_EDGE"] =
      std::to_string(quillon::kDefaultSnapshotMaxEdge);
  options.environment["QUILLON_SNAPSHOT_FORMAT"] = "auto";
  quillon::process::ChildProcess server(options);
  quillon::demo::McpClient client(server, 60s);
  Tour tour(client);
  client.request("initialize",
                 {{"protocolVersion", "2024-11-05"},
                  {"capabilities", JSON::object()},
                  {"clientInfo", {{"name", "quillon-demo-host"}, {"version", "1.0"}}}});
  client.notify("notifications/initialized");
  tour.call("quillon_open", {{"path", settings.skp}}, Tour::Expect::ok);

  // The viewer's own picture, fetched past quillon-mcp, to compare with.
  const quillon::APIResponse own =
      quillon::urlSessionTransport(base, 30.0)("GET", "/v1/snapshot.png", std::nullopt);
  const auto ownSides = quillon::readPNGHeader(own.data);
  tour.check(own.status == 200 && ownSides, "the viewer's snapshot is not a PNG");
  if (!ownSides) return 1;
  tour.check(std::max(ownSides->width, ownSides->height) > quillon::kDefaultSnapshotMaxEdge,
             "the viewer's snapshot fits as it is: there is nothing to scale down");
  save(fs::path(settings.out) / ("viewport-" + sides(*ownSides, "x") + ".png"), own.data);

  const JSON result = tour.call("quillon_snapshot", JSON::object(), Tour::Expect::ok);
  std::string picture, mimeType;
  for (const JSON& item : result.value("content", JSON::array())) {
    if (item.value("type", "") != "image") continue;
    picture = quillon::demo::decodeBase64(item.value("data", ""));
    mimeType = item.value("mimeType", "");
  }
  const std::string caption = quillon::demo::resultText(result);
  const size_t resultBytes = result.dump().size();
  // The sides of what was sent, read by the server's own header readers.
  std::optional<quillon::PNGHeader> sent;
  std::string format = "PNG";
  if (mimeType == "image/jpeg") {
    if (const auto jpeg = quillon::readJPEGHeader(picture)) {
      sent = quillon::PNGHeader{jpeg->width, jpeg->height};
    }
    const size_t quality = caption.find("JPEG (quality ");
    format = quality == std::string::npos
                 ? "JPEG"
                 : caption.substr(quality, caption.find(')', quality) - quality + 1);
  } else if (mimeType == "image/png") {
    sent = quillon::readPNGHeader(picture);
  }
  tour.check(sent.has_value(), "the snapshot sent is no PNG or JPEG image (" + mimeType + ")");
  if (sent) {
    tour.check(std::max(sent->width, sent->height) <= quillon::kDefaultSnapshotMaxEdge,
               "the snapshot sent is " + sides(*sent) + ", over the longest side allowed");
    tour.check(
        caption.find("from " + sides(*ownSides) + " to " + sides(*sent)) != std::string::npos,
        "the caption does not give the two sizes: " + caption);
    std::cout << "  viewer " << sides(*ownSides) << ", " << own.data.size() << " bytes -> sent "
              << sides(*sent) << " as " << format << ", " << picture.size()
              << " bytes, in a result of " << resultBytes << " bytes\n";
  }
  tour.check(resultBytes <= quillon::kDefaultSnapshotMaxBytes,
             "the result is " + std::to_string(resultBytes) + " bytes, over the limit");
  save(fs::path(settings.out) /
           (mimeType == "image/jpeg" ? "snapshot-fitted.jpg" : "snapshot-fitted.png"),
       picture);
  finish(server, tour);
  if (tour.failures() > 0) return 1;
  std::cout << "The snapshot was fitted as expected.\n";
  return 0;
}

int run(const Settings& settings) {
  const std::string base = "http://127.0.0.1:" + std::to_string(settings.port);
  std::cout << "MCP host -> quillon-mcp (stdio) -> demo viewer at " << base << "\n\n";

  quillon::process::ChildProcess server(serverOptions(settings));
  quillon::demo::McpClient client(server, 60s);
  Tour tour(client);

  std::cout << "> initialize\n";
  const JSON init = client.request(
      "initialize", {{"protocolVersion", "2024-11-05"},
                     {"capabilities", JSON::object()},
                     {"clientInfo", {{"name", "quillon-demo-host"}, {"version", "1.0"}}}});
  const JSON info = init.value("result", JSON::object());
  std::cout << "< " << info.value("serverInfo", JSON::object()).value("name", "?") << " "
            << info.value("serverInfo", JSON::object()).value("version", "?") << ", protocol "
            << info.value("protocolVersion", "?") << "\n";
  tour.check(info.contains("serverInfo"), "initialize did not answer with serverInfo");

  std::cout << "> notifications/initialized\n";
  client.notify("notifications/initialized");

  std::cout << "> tools/list\n";
  const JSON tools =
      client.request("tools/list", JSON::object())["result"].value("tools", JSON::array());
  std::string names;
  for (const JSON& tool : tools) names += (names.empty() ? "" : ", ") + tool.value("name", "?");
  std::cout << "< " << tools.size() << " tools: " << names << "\n\n";
  tour.check(tools.size() == 8, "tools/list should list eight tools");

  using Expect = Tour::Expect;
  tour.call("quillon_state", JSON::object(), Expect::ok, "nothing open yet");
  tour.call("quillon_help", JSON::object(), Expect::ok);
  if (settings.openDelay.empty()) {
    tour.call("quillon_open", {{"path", settings.skp}}, Expect::ok);
  } else {
    const std::string remark = "the viewer takes " + settings.openDelay +
                               " s to open a model; the call carries a progressToken";
    tour.call("quillon_open", {{"path", settings.skp}}, Expect::ok, remark.c_str(), "open-house");
  }
  const JSON state = tour.call("quillon_state", JSON::object(), Expect::ok);
  tour.check(quillon::demo::resultText(state).find(settings.skp) != std::string::npos,
             "the state does not name the opened file");
  tour.call("quillon_camera", JSON::object(), Expect::ok, "no arguments: read the camera");
  tour.call("quillon_scene", {{"name", "aerial"}}, Expect::ok);
  tour.call("quillon_camera",
            {{"target", {0, 0, 1.5}}, {"distance", 22}, {"focalLengthMM", 35}, {"exposure", -0.3}},
            Expect::ok);
  tour.call("quillon_layers", {{"name", "Roof"}, {"visible", false}}, Expect::ok);
  tour.call("quillon_rendering",
            {{"style", "textured"},
             {"shadows", true},
             {"sunAzimuth", -120},
             {"sunElevation", 38},
             {"backdropStyle", "architecturalSky"}},
            Expect::ok);

  const fs::path pngPath = fs::path(settings.out) / "snapshot.png";
  const JSON snapshot = tour.call("quillon_snapshot", JSON::object(), Expect::ok);
  std::string png;
  for (const JSON& item : snapshot.value("content", JSON::array())) {
    if (item.value("type", "") == "image")
      png = quillon::demo::decodeBase64(item.value("data", ""));
  }
  tour.check(png.rfind("\x89PNG\r\n\x1a\n", 0) == 0, "the snapshot is not a PNG image");
  save(pngPath, png);
  std::cout << "  saved " << pngPath.string() << "\n";

  const fs::path pdfPath = fs::absolute(fs::path(settings.out) / "viewport.pdf");
  fs::remove(pdfPath);
  tour.call("quillon_snapshot", {{"format", "pdf"}, {"path", pdfPath.string()}}, Expect::ok);
  std::string head(5, '\0');
  std::ifstream(pdfPath, std::ios::binary).read(head.data(), 5);
  tour.check(head == "%PDF-", "no PDF was written to " + pdfPath.string());
  std::cout << "  saved " << pdfPath.string() << "\n\n";

  tour.call("quillon_camera", {{"fov", 170}}, Expect::refusal, "the viewer refuses this");
  tour.call("quillon_open", {{"path", "/nowhere/missing.skp"}}, Expect::refusal, "and this");

  std::cout << "\n-- stopping the demo viewer (SIGTERM)\n";
  kill(settings.viewerPid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (portAnswers(settings.port) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  tour.check(!portAnswers(settings.port), "the viewer still answers after SIGTERM");
  const JSON gone = tour.call("quillon_state", JSON::object(), Expect::refusal, "viewer stopped");
  tour.check(quillon::demo::resultText(gone).rfind("Quillon is not reachable at " + base, 0) == 0,
             "the unreachable message does not name " + base);

  finish(server, tour);
  if (tour.failures() > 0) {
    std::cout << tour.failures() << " step(s) did not go as expected.\n";
    return 1;
  }
  std::cout << "Every tool answered as expected.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; i += 2) {
    if (argv[i] == std::string("--snapshot-only")) {
      settings.snapshotOnly = true;
      --i;
      continue;
    }
    if (i + 1 == argc) break;
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--mcp")
      settings.mcp = value;
    else if (name == "--skp")
      settings.skp = value;
    else if (name == "--out")
      settings.out = value;
    else if (name == "--port")
      settings.port = std::atoi(value.c_str());
    else if (name == "--open-delay")
      settings.openDelay = value;
    else if (name == "--viewer-pid")
      settings.viewerPid = static_cast<pid_t>(std::atol(value.c_str()));
  }
  if (settings.mcp.empty() || settings.skp.empty() || settings.out.empty() || settings.port <= 0 ||
      (settings.viewerPid <= 0 && !settings.snapshotOnly)) {
    std::cerr
        << "usage: quillon-demo-host --mcp PATH --port N --viewer-pid PID --skp FILE --out DIR\n"
           "                         [--open-delay SECONDS]\n"
           "       quillon-demo-host --snapshot-only --mcp PATH --port N --skp FILE --out DIR\n";
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  try {
    fs::create_directories(settings.out);
    return settings.snapshotOnly ? fitOneSnapshot(settings) : run(settings);
  } catch (const std::exception& failure) {
    std::cout << "  !! " << failure.what() << "\n";
    return 1;
  }
}
