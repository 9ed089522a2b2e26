#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace quillon::test {

namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void makePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path,
                           const std::map<std::string, std::optional<std::string>>& environment,
                           bool nonBlockingStdio) {
  // A child that exits while we write to it must not take the test down.
  ::signal(SIGPIPE, SIG_IGN);
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    const std::string variable(*entry);
    const size_t equals = variable.find('=');
    if (equals != std::string::npos)
      variables[variable.substr(0, equals)] = variable.substr(equals + 1);
  }
  for (const auto& [name, value] : environment) {
    if (value) {
      variables[name] = *value;
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> entries;
  for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int in[2], out[2], err[2];
  makePipe(in);
  makePipe(out);
  makePipe(err);
  if (nonBlockingStdio) {
    for (int fd : {in[0], out[1]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The child starts with default signal handling, as under a real host;
  // otherwise it would inherit our ignored SIGPIPE.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  started_ = Clock::now();
  const int failed = posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  inFd_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  if (failed != 0) {
    closeFd(inFd_);
    closeFd(outFd_);
    closeFd(errFd_);
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(failed));
  }
  // Non-blocking everywhere: pump() decides when to wait.
  for (int fd : {inFd_, outFd_, errFd_}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeFd(inFd_);
  closeFd(outFd_);
  closeFd(errFd_);
}

bool ChildProcess::pump(Clock::time_point deadline, std::string_view* pending) {
  pollfd fds[3];
  nfds_t count = 0;
  int* owners[3];
  if (pending && inFd_ >= 0) {
    fds[count] = {inFd_, POLLOUT, 0};
    owners[count++] = &inFd_;
  }
  if (outFd_ >= 0) {
    fds[count] = {outFd_, POLLIN, 0};
    owners[count++] = &outFd_;
  }
  if (errFd_ >= 0) {
    fds[count] = {errFd_, POLLIN, 0};
    owners[count++] = &errFd_;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return false;
  if (count == 0) {
    std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
    return true;
  }
  const int ready = ::poll(fds, count, static_cast<int>(std::min<long long>(left.count(), 1000)));
  if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
  if (ready <= 0) return Clock::now() < deadline;
  char buffer[1 << 16];
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    int& fd = *owners[i];
    if (&fd == &inFd_) {
      const ssize_t n = ::write(fd, pending->data(), std::min<size_t>(pending->size(), 1 << 20));
      if (n > 0) {
        pending->remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        closeFd(inFd_);  // the child closed its stdin
      }
      continue;
    }
    // One read per wake-up, so that a caller waiting for the first bytes of
    // a large answer leaves the rest of it unread, still being written.
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      (&fd == &outFd_ ? out_ : err_).append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      closeFd(fd);  // end of that stream
    }
  }
  return true;
}

bool ChildProcess::send(std::string_view bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    if (inFd_ < 0 || !pump(deadline, &bytes)) return false;
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const size_t newline = out_.find('\n');
    if (newline != std::string::npos) {
      std::string line = out_.substr(0, newline);
      out_.erase(0, newline + 1);
      return line;
    }
    if (outFd_ < 0 || !pump(deadline, nullptr)) return std::nullopt;
  }
}

bool ChildProcess::awaitOutput(size_t bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_.size() < bytes) {
    if (outFd_ < 0 || !pump(deadline, nullptr)) return false;
  }
  return true;
}

void ChildProcess::closeInput() {
  closeFd(inFd_);
}
void ChildProcess::closeOutput() {
  closeFd(outFd_);
}

ExitReport ChildProcess::finish(std::chrono::milliseconds timeout, bool keepInput) {
  if (!keepInput) closeInput();
  const auto deadline = Clock::now() + timeout;
  ExitReport report;
  int status = 0;
  rusage usage{};
  for (;;) {
    // Output first, so a child blocked on a full pipe can finish.
    if (!drained() && pump(deadline, nullptr)) continue;
    const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
    if (done == pid_) break;
    if (Clock::now() >= deadline) {
      report.timedOut = true;
      ::kill(pid_, SIGKILL);
      ::wait4(pid_, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  reaped_ = true;
  report.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
  // Output written just before the end is still in the pipes.
  while (!drained() && pump(Clock::now() + std::chrono::seconds(5), nullptr)) {
  }
  report.exited = WIFEXITED(status);
  report.exitCode = report.exited ? WEXITSTATUS(status) : -1;
  report.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  report.coreDumped = WIFSIGNALED(status) && WCOREDUMP(status);
  report.peakRSSKiB = usage.ru_maxrss;
  return report;
}

RunResult runServer(std::string_view input,
                    const std::map<std::string, std::optional<std::string>>& environment,
                    std::chrono::milliseconds timeout) {
  ChildProcess child(QUILLON_MCP_EXE, environment);
  child.send(input, timeout);
  RunResult result;
  result.exit = child.finish(timeout);
  result.out = child.out();
  result.err = child.err();
  return result;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t newline = text.find('\n', start);
    if (newline == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, newline - start));
    start = newline + 1;
  }
  return lines;
}

}  // namespace quillon::test
