// The viewer address, the client's error texts, and the libcurl transport
// against real loopback servers.
#include "proxy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>
#include <cstdlib>
#include <thread>

namespace quillon {
namespace {

std::string baseWithPort(const std::string& port) {
  return apiBaseURL({{"QUILLON_API_PORT", port}});
}

TEST(APIBaseURL, DefaultsToPort17950) {
  EXPECT_EQ(apiBaseURL({}), "http://127.0.0.1:17950");
  EXPECT_EQ(apiBaseURL({{"quillon_api_port", "80"}, {"PATH", "/bin"}}), "http://127.0.0.1:17950");
}

TEST(APIBaseURL, AcceptsStrictDecimalsWithoutRangeCheck) {
  EXPECT_EQ(baseWithPort("80"), "http://127.0.0.1:80");
  EXPECT_EQ(baseWithPort("+80"), "http://127.0.0.1:80");
  EXPECT_EQ(baseWithPort("0080"), "http://127.0.0.1:80");
  EXPECT_EQ(baseWithPort("-0"), "http://127.0.0.1:0");
  EXPECT_EQ(baseWithPort("-1"), "http://127.0.0.1:-1");
  EXPECT_EQ(baseWithPort("70000"), "http://127.0.0.1:70000");
  EXPECT_EQ(baseWithPort("9223372036854775807"), "http://127.0.0.1:9223372036854775807");
  EXPECT_EQ(baseWithPort("-9223372036854775808"), "http://127.0.0.1:-9223372036854775808");
}

TEST(APIBaseURL, FallsBackOnAnythingElse) {
  for (const char* value :
       {"", "+", "-", " 80", "80 ", "80\n", "80a", "0x50", "80.0", "8_0", "+-80", "-+80", "++80",
        "9223372036854775808", "-9223372036854775809", "\xD9\xA8\xD9\xA0"}) {
    EXPECT_EQ(baseWithPort(value), "http://127.0.0.1:17950") << "value: " << value;
  }
}

TEST(ProxyError, DescriptionsAreWhatTheUserReads) {
  EXPECT_EQ(ProxyError::unreachable("http://127.0.0.1:17950").description(),
            "Quillon is not reachable at http://127.0.0.1:17950 \xE2\x80\x94 launch "
            "/Applications/Quillon.app and retry.");
  EXPECT_EQ(
      ProxyError::unreachable("").description(),
      "Quillon is not reachable at  \xE2\x80\x94 launch /Applications/Quillon.app and retry.");
  EXPECT_STREQ(ProxyError::unreachable("b").what(),
               ProxyError::unreachable("b").description().c_str());
  EXPECT_EQ(ProxyError::badArguments("").description(), "");
  EXPECT_EQ(ProxyError::badArguments("caf\xC3\xA9 \xE2\x9C\x93").description(),
            "caf\xC3\xA9 \xE2\x9C\x93");
  EXPECT_EQ(ProxyError::unreachable("x").kind(), ProxyError::Kind::unreachable);
  EXPECT_EQ(ProxyError::unreachable("x").payload(), "x");
}

// What the viewer saw of one request.
struct Seen {
  std::string method, path, body;
  httplib::Headers headers;
  int remotePort = 0;
};

// A cpp-httplib viewer on an ephemeral loopback port, recording requests.
class LoopbackViewer {
 public:
  LoopbackViewer() {
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(1000);
    auto record = [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(mutex_);
        seen_.push_back(
            {request.method, request.path, request.body, request.headers, request.remote_port});
      }
      if (handler) handler(request, response);
    };
    server_.Get(".*", record);
    server_.Post(".*", record);
    server_.Put(".*", record);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LoopbackViewer() {
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Seen> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

  std::function<void(const httplib::Request&, httplib::Response&)> handler;

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

class TransportTest : public ::testing::Test {
 protected:
  LoopbackViewer viewer;
  Transport transport = urlSessionTransport(viewer.base(), 5.0);
};

TEST_F(TransportTest, GetSendsNoBodyAndNoContentType) {
  viewer.handler = [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"camera":1})", "application/json");
  };
  const APIResponse answer = transport("GET", "/v1/camera", std::nullopt);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.data, R"({"camera":1})");
  EXPECT_EQ(answer.contentType, "application/json");
  EXPECT_EQ(answer.headers.at("content-type"), "application/json");
  const Seen seen = viewer.seen().at(0);
  EXPECT_EQ(seen.method, "GET");
  EXPECT_EQ(seen.path, "/v1/camera");
  EXPECT_EQ(seen.body, "");
  EXPECT_EQ(seen.headers.count("Content-Type"), 0u);
  EXPECT_EQ(seen.headers.count("Content-Length"), 0u);
}

TEST_F(TransportTest, PostLabelsTheBodyAsJSONEvenWhenEmpty) {
  transport("POST", "/v1/open", std::string(R"({"path":"/a/b.skp"})"));
  transport("POST", "/v1/open", std::string());
  const auto seen = viewer.seen();
  ASSERT_EQ(seen.size(), 2u);
  for (const Seen& s : seen) {
    EXPECT_EQ(s.method, "POST");
    EXPECT_EQ(s.headers.find("Content-Type")->second, "application/json; charset=utf-8");
    EXPECT_EQ(s.headers.count("Expect"), 0u);
  }
  EXPECT_EQ(seen[0].body, R"({"path":"/a/b.skp"})");
  EXPECT_EQ(seen[1].body, "");
  EXPECT_EQ(seen[1].headers.find("Content-Length")->second, "0");
}

TEST_F(TransportTest, LargeBodyIsSentWhole) {
  // Above 1 MiB curl would otherwise announce "Expect: 100-continue".
  const std::string body = "\"" + std::string(3 << 20, 'x') + "\"";
  transport("POST", "/v1/rendering", body);
  const Seen seen = viewer.seen().at(0);
  EXPECT_EQ(seen.body, body);
  EXPECT_EQ(seen.headers.count("Expect"), 0u);
}

TEST_F(TransportTest, ErrorStatusesAreAnswersNotFailures) {
  for (const int status : {201, 404, 500, 503}) {
    viewer.handler = [status](const httplib::Request&, httplib::Response& response) {
      response.status = status;
      response.set_content(R"({"error":"no"})", "application/json");
    };
    const APIResponse answer = transport("POST", "/v1/scene", std::string("{}"));
    EXPECT_EQ(answer.status, status);
    EXPECT_EQ(answer.data, R"({"error":"no"})");
  }
}

TEST_F(TransportTest, HeaderNamesAreLowerCasedAndContentTypeFoundInAnyCase) {
  viewer.handler = [](const httplib::Request&, httplib::Response& response) {
    response.set_header("CoNtEnT-TyPe", "Image/PNG; X=Y");
    response.set_header("X-Viewer-Build", "42");
    response.body = "png";
  };
  const APIResponse answer = transport("GET", "/v1/snapshot.png", std::nullopt);
  EXPECT_EQ(answer.contentType, "Image/PNG; X=Y");
  EXPECT_EQ(answer.headers.at("content-type"), "Image/PNG; X=Y");
  EXPECT_EQ(answer.headers.at("x-viewer-build"), "42");
  for (const auto& [name, value] : answer.headers) {
    EXPECT_TRUE(std::none_of(name.begin(), name.end(), ::isupper)) << name;
  }
}

// Reusing the connection stalls ~40 ms a call against servers that leave
// Nagle on, so the product opens one per call; the bench still measures reuse.
TEST(TransportPolicy, EachPolicyUsesTheConnectionsItShould) {
  for (const ConnectionPolicy policy : {ConnectionPolicy::reuse, ConnectionPolicy::fresh}) {
    LoopbackViewer viewer;
    const Transport transport = urlSessionTransport(viewer.base(), 5.0, policy);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(transport("GET", "/v1/state", std::nullopt).status, 200);
    EXPECT_EQ(transport("POST", "/v1/open", std::string("{}")).status, 200);
    std::set<int> ports;
    for (const Seen& seen : viewer.seen()) ports.insert(seen.remotePort);
    // The kernel may hand a closed connection's port out again, so new
    // connections are not counted one by one.
    if (policy == ConnectionPolicy::reuse) {
      EXPECT_EQ(ports.size(), 1u);
    } else {
      EXPECT_GT(ports.size(), 1u);
    }
  }
}

TEST_F(TransportTest, ProxyVariablesAreIgnoredForTheViewer) {
  // Nothing listens on the proxy port: a request sent there would fail.
  for (const char* name : {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"}) {
    ::setenv(name, "http://127.0.0.1:9", 1);
  }
  const APIResponse answer = transport("GET", "/v1/state", std::nullopt);
  for (const char* name : {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"}) ::unsetenv(name);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(viewer.seen().size(), 1u);
}

TEST_F(TransportTest, PathsTheURLParserRejectsAreNeverSent) {
  for (const std::string path : {"/v1/a b", "x/v1/state", "/v1/\n"}) {
    try {
      transport("GET", path, std::nullopt);
      ADD_FAILURE() << "accepted " << path;
    } catch (const ProxyError& error) {
      EXPECT_EQ(error.kind(), ProxyError::Kind::badArguments);
      EXPECT_EQ(error.description(), "bad path " + path);
    }
  }
  EXPECT_TRUE(viewer.seen().empty());
}

// The error a call throws, or nullopt when it succeeded.
std::optional<ProxyError> failureOf(const Transport& transport) {
  try {
    transport("GET", "/v1/state", std::nullopt);
  } catch (const ProxyError& error) {
    return error;
  }
  return std::nullopt;
}

// A loopback socket that listens but never answers; `serve` may answer with
// raw bytes.
class RawListener {
 public:
  RawListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RawListener() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  // Answers the first connection with `bytes`, then closes it.
  void answerOnceWith(std::string bytes) {
    thread_ = std::thread([this, bytes] {
      const int client = ::accept(fd_, nullptr, nullptr);
      char request[4096];
      (void)::recv(client, request, sizeof request, 0);
      (void)::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      ::close(client);
    });
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(TransportRaw, MissingContentTypeIsEmpty) {
  RawListener viewer;  // cpp-httplib would add a default Content-Type
  viewer.answerOnceWith("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nplain");
  const APIResponse answer =
      urlSessionTransport(viewer.base(), 5.0)("GET", "/v1/help", std::nullopt);
  EXPECT_EQ(answer.contentType, "");
  EXPECT_EQ(answer.headers.count("content-type"), 0u);
  EXPECT_EQ(answer.headers.at("content-length"), "5");
  EXPECT_EQ(answer.data, "plain");
}

TEST(TransportFailure, UnusablePortIsUnreachableRatherThanABadPath) {
  for (const std::string port : {"70000", "-1"}) {
    const std::string base = baseWithPort(port);
    const auto error = failureOf(urlSessionTransport(base, 1.0));
    ASSERT_TRUE(error) << port;
    EXPECT_EQ(error->kind(), ProxyError::Kind::unreachable) << port;
    EXPECT_EQ(error->payload(), base);
  }
}

}  // namespace
}  // namespace quillon
