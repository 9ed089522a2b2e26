#include "answer_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <string_view>
#include <utility>
#include <vector>

#include "json_text.hpp"
#include "line_io.hpp"

namespace quillon {

namespace {

// The "data" of the image item in an answer's result, if it carries one:
// the Base64 that imageResult made.
const JSON* imageData(const JSON& answer) {
  const auto result = answer.find("result");
  if (result == answer.end() || !result->is_object()) return nullptr;
  const auto content = result->find("content");
  if (content == result->end() || !content->is_array()) return nullptr;
  for (const JSON& item : *content) {
    if (!item.is_object()) continue;
    const auto type = item.find("type");
    if (type == item.end() || *type != "image") continue;
    const auto data = item.find("data");
    if (data != item.end() && data->is_string()) return &*data;
  }
  return nullptr;
}

}  // namespace

void AnswerWriter::write(const JSON& message, const std::function<void()>& written) {
  std::lock_guard lock(mutex_);
  writeLocked(message);
  if (written) written();
}

void AnswerWriter::writeIf(const JSON& message, const std::function<bool()>& due) {
  std::lock_guard lock(mutex_);
  if (due()) writeLocked(message);
}

bool AnswerWriter::gone() {
  std::lock_guard lock(mutex_);
  return gone_;
}

void AnswerWriter::writeLocked(const JSON& message) {
  if (gone_) return;
  // The same text as the server's encode() gives, but written in pieces: a
  // long string such as a snapshot's Base64 goes out from where it lies
  // instead of being copied into one answer string first.
  JSONText text;
  // Answers here are the server's own, whose only image items are
  // imageResult's: their data is Base64 and needs no scan for characters to
  // escape.
  if (const JSON* data = imageData(message)) text.writeAsIs(*data);
  if (!text.write(message)) return;
  std::vector<std::string_view> pieces = text.pieces();
  pieces.emplace_back("\n");
  // A client that closed our output cannot read any further answer.
  if (!writeAll(fd_, std::move(pieces))) {
    gone_ = true;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, "x", 1);
  }
}

WakePipe::WakePipe() {
  if (::pipe(fds_) != 0) {
    fds_[0] = fds_[1] = -1;
    return;
  }
  // Not inherited by anything the process may start.
  for (const int fd : fds_) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

WakePipe::~WakePipe() {
  for (const int fd : fds_) {
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace quillon
