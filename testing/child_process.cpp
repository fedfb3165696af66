// SPDX-License-Identifier: Apache-2.0
#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace kit::testing {
namespace {

int exitStatus(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

// Whether the process ends within the limit (it stays to be reaped). Where the kernel has no
// process descriptors, it is taken as ending: the caller's wait then blocks as before.
bool endsWithin(pid_t pid, std::chrono::milliseconds limit) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int ready = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    ready = poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready >= 0 || errno != EINTR) break;
  }
  close(fd);
  return ready > 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, std::vector<std::string> args, int stopSignal)
    : stopSignal_(stopSignal) {
  // Close-on-exec: the child gets only its copy on standard output, other children none.
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], 1);
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(p[1]);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
    pid_ = -1;
    close(p[0]);
    return;
  }
  out_ = p[0];
  fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, stopSignal_);
    // A child that does not end on its stop signal has a fault of its own: it is reported, with
    // what it said, and killed, rather than hanging the test until ctest's guard ends it silently.
    if (!endsWithin(pid_, std::chrono::seconds(60))) {
      ADD_FAILURE() << "process " << pid_ << " did not end within 60 s of its stop signal and was killed; it said:\n"
                    << readAvailable();
      kill(pid_, SIGKILL);
    }
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (out_ >= 0) close(out_);
}

const std::string& ChildProcess::readAvailable() {
  char chunk[4096];
  while (out_ >= 0) {
    ssize_t n = read(out_, chunk, sizeof chunk);
    if (n > 0) {
      output_.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    close(out_);  // the end of the output
    out_ = -1;
  }
  return output_;
}

bool ChildProcess::readUntil(std::string_view text, std::chrono::milliseconds limit) {
  return readUntilDone([&] { return output_.find(text) != std::string::npos; }, limit);
}

bool ChildProcess::readToEnd(std::chrono::milliseconds limit) {
  return readUntilDone([&] { return out_ < 0; }, limit);
}

bool ChildProcess::readUntilDone(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    readAvailable();
    if (done()) return true;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (out_ < 0 || left.count() <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
}

bool ChildProcess::exited() {
  if (status_ >= 0) return true;
  if (pid_ <= 0) return false;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
  status_ = exitStatus(st);
  return true;
}

int ChildProcess::wait() {
  if (status_ >= 0 || pid_ <= 0) return status_;
  int st = 0;
  while (waitpid(pid_, &st, 0) < 0) {
    if (errno != EINTR) return status_;
  }
  status_ = exitStatus(st);
  return status_;
}

}  // namespace kit::testing
