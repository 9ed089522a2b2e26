// Draws the bundle's icon once, with the demo viewer's own renderer: the
// sample house seen from above a corner, square, for packaging/mcpb/icon.png.
// Packaging copies the committed file and needs no renderer; this program
// exists so that the icon can be drawn again the same way.
// Usage: quillon-demo-icon OUTPUT.png [SIZE]   (default 512 pixels a side)
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "viewer.hpp"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: quillon-demo-icon OUTPUT.png [SIZE]\n";
    return 2;
  }
  const int size = argc == 3 ? std::atoi(argv[2]) : 512;
  if (size < 256 || size > 4096) {
    std::cerr << "quillon-demo-icon: SIZE must be 256 to 4096 pixels\n";
    return 2;
  }
  quillon::demo::DemoViewer::Options options;
  options.snapshotWidth = options.snapshotHeight = size;
  quillon::demo::DemoViewer viewer(options);
  // Any existing .skp file opens the sample house.
  const std::filesystem::path model = std::filesystem::temp_directory_path() / "quillon-icon.skp";
  std::ofstream(model).put('\n');
  const std::pair<std::string, std::string> steps[] = {
      {"/v1/open", nlohmann::json{{"path", model.string()}}.dump()},
      {"/v1/rendering", R"({"grid":false,"shadows":true})"},
      {"/v1/camera", R"({"position":[14,-17,9.5],"target":[0.2,0.6,1.5],"fov":40})"},
  };
  for (const auto& [path, body] : steps) {
    const quillon::demo::HttpReply reply = viewer.handle("POST", path, body);
    if (reply.status != 200) {
      std::cerr << "quillon-demo-icon: " << path << " answered " << reply.status << ": "
                << reply.body << "\n";
      std::filesystem::remove(model);
      return 1;
    }
  }
  std::filesystem::remove(model);
  const quillon::demo::HttpReply png = viewer.handle("GET", "/v1/snapshot.png", "");
  std::ofstream out(argv[1], std::ios::binary);
  out << png.body;
  if (png.status != 200 || !out.flush()) {
    std::cerr << "quillon-demo-icon: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
