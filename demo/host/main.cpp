// quillon-demo-host: plays the part of an MCP host (the assistant's app) for
// scripts/demo. It starts quillon-mcp, talks MCP to it over stdio, calls
// every tool against a running demo viewer, stops that viewer to show what
// the assistant reads then, and prints a short transcript.
//
// Usage: quillon-demo-host --mcp PATH --port N --viewer-pid PID --skp FILE --out DIR
// Exit status 0 when every step answered as expected, else 1 (2 for usage).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "mcp_client.hpp"

namespace {

using quillon::demo::JSON;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Settings {
  std::string mcp, skp, out;
  int port = 0;
  pid_t viewerPid = 0;
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

class Tour {
 public:
  explicit Tour(quillon::demo::McpClient& client) : client_(client) {}

  enum class Expect { ok, refusal };

  // Calls a tool, prints the exchange, and checks the outcome.
  JSON call(const std::string& tool, const JSON& arguments, Expect expect,
            const char* remark = nullptr) {
    std::cout << "> " << tool << " " << arguments.dump();
    if (remark) std::cout << "    (" << remark << ")";
    std::cout << "\n";
    JSON result = client_.callTool(tool, arguments);
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
    std::cout << "< " << (isError ? "isError: " : "") << shown << "\n";
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

int run(const Settings& settings) {
  const std::string base = "http://127.0.0.1:" + std::to_string(settings.port);
  std::cout << "MCP host -> quillon-mcp (stdio) -> demo viewer at " << base << "\n\n";

  quillon::process::ChildProcess::Options options;
  options.arguments = {settings.mcp};
  options.environment["QUILLON_API_PORT"] = std::to_string(settings.port);
  options.errorFile = (fs::path(settings.out) / "quillon-mcp.stderr").string();
  quillon::process::ChildProcess server(options);
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
  tour.call("quillon_open", {{"path", settings.skp}}, Expect::ok);
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
  std::ofstream(pngPath, std::ios::binary)
      .write(png.data(), static_cast<std::streamsize>(png.size()));
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

  server.closeInput();
  const quillon::process::ChildProcess::Exit exit = server.wait(10s);
  std::cout << "\n-- closed quillon-mcp's input; it exited with status "
            << (exit.ended ? std::to_string(exit.status) : std::string("(still running)")) << "\n";
  tour.check(exit.ended && exit.status == 0, "quillon-mcp should exit 0 at the end of its input");

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
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--mcp")
      settings.mcp = value;
    else if (name == "--skp")
      settings.skp = value;
    else if (name == "--out")
      settings.out = value;
    else if (name == "--port")
      settings.port = std::atoi(value.c_str());
    else if (name == "--viewer-pid")
      settings.viewerPid = static_cast<pid_t>(std::atol(value.c_str()));
  }
  if (settings.mcp.empty() || settings.skp.empty() || settings.out.empty() || settings.port <= 0 ||
      settings.viewerPid <= 0) {
    std::cerr
        << "usage: quillon-demo-host --mcp PATH --port N --viewer-pid PID --skp FILE --out DIR\n";
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  try {
    fs::create_directories(settings.out);
    return run(settings);
  } catch (const std::exception& failure) {
    std::cout << "  !! " << failure.what() << "\n";
    return 1;
  }
}
