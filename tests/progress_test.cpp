// Progress notifications while Quillon works: through run() on pipes with a
// fast schedule and a fake viewer that stalls or is slow, then once on the
// built executable at the real timing.
#include "progress.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "server.hpp"
#include "support/fake_viewer.hpp"
#include "support/harness.hpp"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// A line the server wrote, and when it was read.
struct Line {
  Json message;
  std::chrono::milliseconds at;  // since the session started
};

// One session of run() on pipes, a fake viewer behind it: quillon_open
// stalls until cancelled, quillon_help answers after 450 ms, everything else
// at once.
class Session {
 public:
  explicit Session(ProgressSchedule schedule)
      : server_(
            [](const std::string&, const std::string& path, std::optional<std::string>,
               StopSignal& stop) {
              const auto start = Clock::now();
              const auto wait = path == "/v1/open" ? 1h : path == "/v1/help" ? 450ms : 0ms;
              while (Clock::now() - start < wait) {
                if (stop.stopped()) throw ProxyError::unreachable("http://127.0.0.1:9");
                std::this_thread::sleep_for(2ms);
              }
              return APIResponse{200, "{\"ok\":1}", "application/json", {}};
            },
            "http://127.0.0.1:9", QUILLON_VERSION, SnapshotLimits{}, SnapshotFolder{}, schedule) {
    if (::pipe(input_) != 0 || ::pipe(output_) != 0) throw std::runtime_error("no pipes");
    running_ = std::thread([this] { server_.run(input_[0], output_[1]); });
    reading_ = std::thread([this] {
      std::string text;
      char chunk[4096];
      for (ssize_t n; (n = ::read(output_[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, size_t(n));
        for (size_t end; (end = text.find('\n')) != std::string::npos; text.erase(0, end + 1)) {
          std::lock_guard lock(mutex_);
          lines_.push_back({Json::parse(text.substr(0, end)), elapsed()});
        }
      }
    });
  }

  ~Session() {
    end();
    ::close(output_[0]);
  }

  void send(const std::string& line) {
    ASSERT_EQ(::write(input_[1], line.data(), line.size()), ssize_t(line.size()));
  }
  std::chrono::milliseconds elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_);
  }
  // Ends the input, waits for the last answers, and gives every line.
  std::vector<Line> end() {
    if (running_.joinable()) {
      ::close(input_[1]);
      running_.join();
      ::close(output_[1]);
      reading_.join();
      ::close(input_[0]);
    }
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  QuillonMCPServer server_;
  int input_[2] = {-1, -1}, output_[2] = {-1, -1};
  const Clock::time_point start_ = Clock::now();
  std::mutex mutex_;
  std::vector<Line> lines_;
  std::thread running_, reading_;
};

std::string call(int id, const std::string& tool, const std::string& meta) {
  return callLine(id, tool, "{}", meta) + "\n";
}

// Calls whose client gave a string or integer token hear of them on the
// schedule while they wait, queued or in flight, with the token as sent and
// rising progress; never after their answer or cancellation, and never for
// a call answered within the first interval, one without a token or one
// whose token is of another type.
TEST(Progress, ComesOnScheduleForWaitingCallsWithATokenAndNeverAfterThem) {
  const ProgressSchedule schedule{100ms, 200ms};
  const std::string modern = R"("io.modelcontextprotocol/protocolVersion":"2026-07-28")";
  const struct {
    const char* name;
    std::string lines;    // sent at once; call 1 carries the token
    int cancelAt;         // ms, 0: no cancellation; cancels calls 1 and 2
    const char* token;    // as echoed; nullptr: no notification at all
    size_t count;         // notifications expected
    const char* message;  // the start of each one's message
  } rows[] = {
      {"a string token, cancelled", call(1, "quillon_open", R"({"progressToken":"t-1"})"), 760,
       R"("t-1")", 4, "Waiting for Quillon: opening the model ("},
      {"an integer token, answered",
       call(1, "quillon_help", R"({"progressToken":9007199254740993})"), 0, "9007199254740993", 2,
       "Waiting for Quillon: reading its API reference ("},
      {"queued behind a stalled call",
       call(2, "quillon_open", "") + call(1, "quillon_state", R"({"progressToken":-4})"), 460, "-4",
       2, "Queued behind earlier calls to Quillon, then reading the viewer's state ("},
      {"the modern era", call(1, "quillon_open", R"({"progressToken":"m",)" + modern + "}"), 340,
       R"("m")", 2, "Waiting for Quillon: opening the model ("},
      {"a fast call", call(1, "quillon_state", R"({"progressToken":"f"})"), 0, nullptr, 0, ""},
      {"no token", call(1, "quillon_open", "{}"), 460, nullptr, 0, ""},
      {"a token of another type", call(1, "quillon_open", R"({"progressToken":1.5})"), 460, nullptr,
       0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Session session(schedule);
    session.send(row.lines);
    if (row.cancelAt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(row.cancelAt) - session.elapsed());
      session.send(cancelLine("1") + cancelLine("2"));
    }
    std::this_thread::sleep_for(1200ms - session.elapsed());  // time for any stray one
    const auto cancelledAt = session.elapsed();
    std::vector<Line> notes, answers;
    for (Line& line : session.end()) {
      (line.message.contains("method") ? notes : answers).push_back(line);
    }
    ASSERT_EQ(notes.size(), row.count);
    for (size_t i = 0; i < notes.size(); ++i) {
      const Json& params = notes[i].message["params"];
      EXPECT_EQ(notes[i].message["method"], "notifications/progress");
      EXPECT_EQ(params["progressToken"].dump(), row.token) << "the token as the client sent it";
      EXPECT_TRUE(params["message"].get<std::string>().starts_with(row.message)) << params;
      EXPECT_FALSE(params.contains("total"));
      const auto due = schedule.first + int(i) * schedule.every;
      EXPECT_GE(notes[i].at, due - 20ms) << "notification " << i;
      EXPECT_LT(notes[i].at, due + (QUILLON_SANITIZED ? 150ms : 60ms)) << "notification " << i;
      if (i > 0) {
        EXPECT_GT(params["progress"], notes[i - 1].message["params"]["progress"]);
      }
      EXPECT_LT(notes[i].at, row.cancelAt ? std::chrono::milliseconds(row.cancelAt) : cancelledAt);
    }
    // Call 1's answer, when it has one, comes after every notification.
    for (const Line& answer : answers) {
      if (answer.message["id"] == 1 && !notes.empty()) {
        EXPECT_GT(answer.at, notes.back().at);
      }
    }
    EXPECT_EQ(answers.size(), row.cancelAt ? 0u : 1u);
  }
}

// At the real timing, from the built executable: the first after about a
// second, the next two seconds later, and none once the call is cancelled.
TEST(Progress, FromTheExecutableComesEveryTwoSecondsAfterTheFirst) {
  FakeViewer viewer([](const FakeViewer::Request&) {
    return FakeViewer::Reply{{}, 0ms, FakeViewer::Reply::Then::stall};
  });
  ChildProcess child(quillonMCP(std::to_string(viewer.port())));
  const auto start = Clock::now();
  ASSERT_TRUE(child.write(call(1, "quillon_open", R"({"progressToken":"open"})")));
  std::vector<double> seconds;
  for (int i = 0; i < 2; ++i) {
    const std::optional<std::string> line = child.readLine(10s);
    ASSERT_TRUE(line);
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    EXPECT_EQ(Json::parse(*line)["params"]["progressToken"], "open");
  }
  ASSERT_TRUE(child.write(cancelLine("1")));
  EXPECT_EQ(child.readLine(2500ms), std::nullopt) << "a notification after the cancellation";
  child.closeInput();
  EXPECT_EQ(child.wait(10s).status, 0);
  EXPECT_NEAR(seconds[0], 1.0, 0.3);
  EXPECT_NEAR(seconds[1] - seconds[0], 2.0, 0.3);
}

}  // namespace
}  // namespace quillon::test
