#include "viewer_stub.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>

namespace quillon::bench {

const std::string& stateBody() {
  static const std::string body =
      R"({"file":{"path":"/Users/ada/Projects/Harbour House/harbour-house-v7.skp","version":"SketchUp 2024","loaded":true},"model":{"dimensions":{"width":24.35,"depth":18.2,"height":11.875},"units":"m","faces":184233,"edges":402117,"components":1311,"groups":287,"materials":64},"camera":{"position":[31.2,-22.75,9.4],"target":[12.1,9.1,3.2],"yaw":-58.43,"pitch":-12.5,"distance":38.06,"fov":35,"focalLengthMM":57.9,"exposure":-0.62,"perspective":true,"orthoScale":10},"scenes":[{"index":0,"name":"Street view"},{"index":1,"name":"Garden"},{"index":2,"name":"Section A-A"},{"index":3,"name":"Roof plan"}],"activeScene":0,"layers":[{"index":0,"name":"Layer0","visible":true},{"index":1,"name":"Walls","visible":true},{"index":2,"name":"Glazing","visible":true},{"index":3,"name":"Furniture","visible":false},{"index":4,"name":"Landscape","visible":true}],"rendering":{"style":"textured","edges":true,"grid":false,"shadows":true,"ssao":0.8,"ambientIntensity":1.0,"backdropStyle":"architecturalSky"},"lighting":{"mode":"sun","sunAzimuth":135,"sunElevation":42,"sunIntensity":1.0},"ports":{"api":17950,"osc":9000,"oscQuery":9001}})";
  return body;
}

std::string snapshotBody(size_t bytes) {
  static constexpr char kSignature[] = "\x89PNG\r\n\x1a\n";
  std::string body(bytes, '\0');
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < bytes; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    for (size_t k = 0; k < 8 && i + k < bytes; ++k)
      body[i + k] = static_cast<char>(state >> (8 * k));
  }
  std::copy_n(kSignature, std::min<size_t>(8, bytes), body.begin());
  return body;
}

ViewerStub::ViewerStub(bool noDelay, const std::string& snapshot) {
  server_.set_tcp_nodelay(noDelay);
  server_.set_keep_alive_max_count(1u << 30);
  server_.Get("/v1/state", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(stateBody(), "application/json; charset=utf-8");
  });
  // Streamed from the caller's buffer, so that serving it costs no copy.
  server_.Get("/v1/snapshot.png", [&snapshot](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(snapshot.size(), "image/png",
                             [&snapshot](size_t offset, size_t length, httplib::DataSink& sink) {
                               return sink.write(snapshot.data() + offset,
                                                 std::min<size_t>(length, 1u << 20));
                             });
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // Requests made before the loop runs would still queue on the bound socket,
  // but waiting keeps the first measurement free of that start-up.
  for (int i = 0; i < 1000 && !server_.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

ViewerStub::~ViewerStub() {
  server_.stop();
  thread_.join();
}

}  // namespace quillon::bench
