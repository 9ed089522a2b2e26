#include "progress.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

// What each tool has Quillon doing, in the words a person reads on the
// call's row.
std::string doingFor(const std::string& tool, const JSON& arguments, bool pdfExport) {
  if (tool == "quillon_state") return "reading the viewer's state";
  if (tool == "quillon_help") return "reading its API reference";
  if (tool == "quillon_open") return "opening the model";
  if (tool == "quillon_camera")
    return arguments.empty() ? "reading the camera" : "moving the camera";
  if (tool == "quillon_scene") return "switching the scene";
  if (tool == "quillon_layers") return "setting the layers";
  if (tool == "quillon_rendering") return "changing the rendering";
  if (tool == "quillon_snapshot") return pdfExport ? "exporting the PDF" : "taking the snapshot";
  return "working";
}

JSON notification(const CallProgress& call, Clock::time_point now) {
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - call.readAt);
  const long seconds = long(waited.count() / 1000);
  const std::string message =
      call.inFlight ? "Waiting for Quillon: " + call.doing + " (" + std::to_string(seconds) + " s)"
                    : "Queued behind earlier calls to Quillon, then " + call.doing + " (" +
                          std::to_string(seconds) + " s)";
  JSON params = JSON::object();
  params["progressToken"] = call.token;
  // The seconds waited, to the millisecond: they rise with every one sent.
  params["progress"] = double(waited.count()) / 1000.0;
  params["message"] = message;
  JSON note = JSON::object();
  note["jsonrpc"] = "2.0";
  note["method"] = "notifications/progress";
  note["params"] = std::move(params);
  return note;
}

}  // namespace

std::shared_ptr<CallProgress> progressFor(const JSON& params, const std::string& tool,
                                          const JSON& arguments, bool pdfExport) {
  const auto meta = params.find("_meta");
  if (meta == params.end() || !meta->is_object()) return nullptr;
  const auto token = meta->find("progressToken");
  if (token == meta->end() || !(token->is_string() || token->is_number_integer())) return nullptr;
  return std::make_shared<CallProgress>(*token, doingFor(tool, arguments, pdfExport));
}

ProgressReporter::ProgressReporter(AnswerWriter& writer, ProgressSchedule schedule)
    : writer_(writer), schedule_(schedule), thread_([this] { loop(); }) {}

ProgressReporter::~ProgressReporter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ProgressReporter::watch(std::shared_ptr<CallProgress> call) {
  {
    std::lock_guard lock(mutex_);
    const Clock::time_point due = call->readAt + schedule_.first;
    watched_.push_back({std::move(call), due});
  }
  changed_.notify_all();
}

void ProgressReporter::loop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    std::erase_if(watched_, [](const Watched& w) { return w.call->over.load(); });
    if (watched_.empty()) {
      changed_.wait(lock);
      continue;
    }
    const auto soonest =
        std::min_element(watched_.begin(), watched_.end(), [](const Watched& a, const Watched& b) {
          return a.due < b.due;
        })->due;
    if (Clock::now() < soonest) {
      changed_.wait_until(lock, soonest);
      continue;
    }
    // Written outside the lock, so that watching a new call never waits for
    // the client to read.
    std::vector<std::shared_ptr<CallProgress>> due;
    const Clock::time_point now = Clock::now();
    for (Watched& w : watched_) {
      if (w.due > now) continue;
      due.push_back(w.call);
      // A reporter held up past a whole interval skips what it missed.
      while (w.due <= now) w.due += schedule_.every;
    }
    lock.unlock();
    for (const auto& call : due) {
      writer_.writeIf(notification(*call, Clock::now()), [&] { return !call->over.load(); });
    }
    lock.lock();
  }
}

}  // namespace quillon
