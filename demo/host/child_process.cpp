#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace quillon::demo {

namespace {

[[noreturn]] void fail(const char* what, int error) {
  throw std::system_error(error, std::generic_category(), what);
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ChildProcess::ChildProcess(const Options& options) {
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
  if (options.pipeInput && pipe(inPipe) != 0) fail("pipe", errno);
  if (options.pipeOutput && pipe(outPipe) != 0) fail("pipe", errno);
  // No pipe end may leak into this child's exec or into children spawned
  // later (they would hold its input open); dup2 gives the child clean copies.
  for (const int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1]}) {
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.pipeInput) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (options.pipeOutput) {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  const std::string errorPath = options.errorFile.empty() ? "/dev/null" : options.errorFile;
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);

  std::map<std::string, std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string variable(*entry);
    const size_t equals = variable.find('=');
    if (equals != std::string::npos) {
      environment[variable.substr(0, equals)] = variable.substr(equals + 1);
    }
  }
  for (const auto& [name, value] : options.environment) environment[name] = value;
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp, argv;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> arguments = options.arguments;
  for (std::string& s : arguments) argv.push_back(s.data());
  argv.push_back(nullptr);

  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (options.pipeInput) close(inPipe[0]);
  if (options.pipeOutput) close(outPipe[1]);
  if (spawned != 0) {
    if (options.pipeInput) close(inPipe[1]);
    if (options.pipeOutput) close(outPipe[0]);
    fail(("cannot start " + options.arguments.at(0)).c_str(), spawned);
  }
  input_ = options.pipeInput ? inPipe[1] : -1;
  output_ = options.pipeOutput ? outPipe[0] : -1;
}

ChildProcess::~ChildProcess() {
  closeInput();
  if (output_ >= 0) close(output_);
  if (!status_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ChildProcess::write(const std::string& text) {
  if (input_ < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    if (output_ < 0) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd ready{output_, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return std::nullopt;
    char chunk[65536];
    const ssize_t n = read(output_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(output_);
      output_ = -1;
      continue;  // deliver what is left, then report the end
    }
    buffered_.append(chunk, static_cast<size_t>(n));
  }
}

void ChildProcess::signal(int signalNumber) {
  if (!status_ && pid_ > 0) kill(pid_, signalNumber);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = decode(status);
      return status_;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace quillon::demo
