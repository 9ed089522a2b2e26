#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace quillon::process {

namespace {

[[noreturn]] void fail(const std::string& what, int error) {
  throw std::system_error(error, std::generic_category(), what);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void setFlag(int fd, int flag) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | flag);
}

// Our ends must not leak into this child or into children started later:
// a leaked copy of a stdin pipe keeps that child from ever seeing its end.
void makePipe(int fds[2]) {
  if (::pipe(fds) != 0) fail("pipe", errno);
  for (int i = 0; i < 2; ++i) ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
}

}  // namespace

ChildProcess::ChildProcess(const Options& options) {
  // A child that exits while we write to it must not take us down.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (options.inputFile.empty()) makePipe(in);
  if (options.outputFile.empty()) makePipe(out);
  if (options.errorFile.empty()) makePipe(err);
  if (options.nonBlockingStdio) {
    if (in[0] >= 0) setFlag(in[0], O_NONBLOCK);
    if (out[1] >= 0) setFlag(out[1], O_NONBLOCK);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in[0] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.inputFile.c_str(), O_RDONLY,
                                     0);
  }
  if (out[1] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (err[1] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  // The child starts with SIGPIPE at its default, as under a real host,
  // rather than inheriting our ignored one.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  std::map<std::string, std::string> variables;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string variable(*entry);
    const size_t equals = variable.find('=');
    if (equals != std::string::npos)
      variables[variable.substr(0, equals)] = variable.substr(equals + 1);
  }
  for (const auto& [name, value] : options.environment) variables[name] = value;
  std::vector<std::string> entries, arguments = options.arguments;
  for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
  std::vector<char*> envp, argv;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // A name without a slash is looked up on PATH; a path is used as it is.
  started_ = Clock::now();
  const int spawned = posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (int fd : {in[0], out[1], err[1]}) closeFd(fd);
  in_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  if (spawned != 0) {
    closeInput();
    closeOutput();
    closeFd(errFd_);
    pid_ = -1;
    fail("cannot start " + options.arguments.at(0), spawned);
  }
  // pump() alone decides when to wait.
  for (int fd : {in_, outFd_, errFd_}) {
    if (fd >= 0) setFlag(fd, O_NONBLOCK);
  }
#if defined(__linux__) && defined(SYS_pidfd_open)
  // A descriptor that polls readable when the child ends, so that a wait
  // ends on the exit itself rather than on the next tick; kernels before 5.3
  // (and headers before them) lack it and fall back to the tick.
  endFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (endFd_ >= 0) ::fcntl(endFd_, F_SETFD, FD_CLOEXEC);
#endif
}

ChildProcess::~ChildProcess() {
  closeInput();
  closeOutput();
  closeFd(errFd_);
  closeFd(endFd_);
  if (!exit_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ChildProcess::pump(Clock::time_point deadline, std::string_view* input, bool watchEnd) {
  pollfd fds[4];
  int* owners[4];
  nfds_t count = 0;
  for (int* fd : {&in_, &outFd_, &errFd_, &endFd_}) {
    if (*fd < 0 || (fd == &in_ && !input) || (fd == &endFd_ && !watchEnd)) continue;
    fds[count] = {*fd, static_cast<short>(fd == &in_ ? POLLOUT : POLLIN), 0};
    owners[count++] = fd;
  }
  const auto now = Clock::now();
  if (now >= deadline) return false;
  const auto left = std::chrono::ceil<Milliseconds>(deadline - now);
  if (count == 0) {
    std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, Milliseconds(1)));
    return true;
  }
  const int ready = ::poll(fds, count, static_cast<int>(std::min<long long>(left.count(), 1000)));
  if (ready <= 0) return ready < 0 || Clock::now() < deadline;
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    int& fd = *owners[i];
    if (&fd == &endFd_) continue;  // the caller reaps the child
    if (&fd == &in_) {
      const ssize_t n = ::write(fd, input->data(), std::min<size_t>(input->size(), 1 << 20));
      if (n > 0) input->remove_prefix(static_cast<size_t>(n));
      if (n < 0 && errno != EAGAIN && errno != EINTR) closeFd(fd);  // the child closed its stdin
      continue;
    }
    // One read per wake-up, so that a caller waiting for the first bytes of
    // a large answer leaves the rest of it unread, still being written.
    char buffer[1 << 16];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      (&fd == &outFd_ ? out_ : err_).append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      closeFd(fd);
    }
  }
  return true;
}

bool ChildProcess::write(std::string_view bytes, Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    if (in_ < 0 || !pump(deadline, &bytes)) return false;
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(Milliseconds timeout) {
  std::string line;
  if (!readLine(line, timeout)) return std::nullopt;
  return line;
}

bool ChildProcess::readLine(std::string& line, Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  size_t scanned = 0;  // a long line is searched once, not once per read
  for (;;) {
    const size_t newline = out_.find('\n', scanned);
    if (newline != std::string::npos) {
      // The line keeps the buffer it was read into, and `line`'s buffer takes
      // what follows it: only those bytes are copied, however long the line.
      line.assign(out_, newline + 1);
      out_.swap(line);
      line.resize(newline);
      return true;
    }
    scanned = out_.size();
    if (outFd_ < 0 || !pump(deadline, nullptr)) return false;
  }
}

bool ChildProcess::waitForOutput(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_.empty()) {
    if (outFd_ < 0 || !pump(deadline, nullptr)) return false;
  }
  return true;
}

void ChildProcess::closeInput() {
  closeFd(in_);
}

void ChildProcess::closeOutput() {
  closeFd(outFd_);
}

void ChildProcess::signal(int signalNumber) {
  if (!exit_ && pid_ > 0) ::kill(pid_, signalNumber);
}

ChildProcess::Exit ChildProcess::wait(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!exit_) {
    int status = 0;
    rusage usage{};
    const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
    if (done == pid_) {
      Exit exit;
      exit.ended = true;
      exit.elapsed = Clock::now() - started_;
      exit.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      exit.coreDumped = WIFSIGNALED(status) && WCOREDUMP(status);
#ifdef __APPLE__
      exit.peakRSSKiB = usage.ru_maxrss / 1024;  // bytes there, KiB elsewhere
#else
      exit.peakRSSKiB = usage.ru_maxrss;
#endif
      exit_ = exit;
      break;
    }
    if (done < 0 && errno != EINTR) fail("wait", errno);
    if (Clock::now() >= deadline) return Exit{};
    // Reading its output meanwhile lets a child blocked on a full pipe
    // finish. Without an end descriptor, a pipe's silence must not hide the
    // end for long: the tick bounds it.
    const Milliseconds tick = endFd_ >= 0 ? Milliseconds(1000) : Milliseconds(1);
    pump(std::min(deadline, Clock::now() + tick), nullptr, true);
  }
  closeFd(endFd_);
  // What it wrote just before the end is still in the pipes.
  const auto drainDeadline = Clock::now() + std::chrono::seconds(5);
  while ((outFd_ >= 0 || errFd_ >= 0) && pump(drainDeadline, nullptr)) {
  }
  return *exit_;
}

}  // namespace quillon::process
