// SPDX-License-Identifier: Apache-2.0
#include "signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tty {

std::unique_ptr<SignalFd> SignalFd::open(const std::vector<int>& signals, std::string* error) {
  sigset_t set, old;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  if (int err = pthread_sigmask(SIG_BLOCK, &set, &old); err != 0) {
    *error = std::string("cannot block signals: ") + std::strerror(err);
    return nullptr;
  }
  std::unique_ptr<SignalFd> s(new SignalFd);
  for (int sig : signals)
    if (!sigismember(&old, sig)) s->unblock_.push_back(sig);
  s->fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (s->fd_ < 0) {
    *error = std::string("cannot open a signal descriptor: ") + std::strerror(errno);
    return nullptr;  // the destructor unblocks them again
  }
  return s;
}

SignalFd::~SignalFd() {
  if (fd_ >= 0) ::close(fd_);
  if (unblock_.empty()) return;
  sigset_t set;
  sigemptyset(&set);
  for (int s : unblock_) sigaddset(&set, s);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int SignalFd::take(std::string* error) {
  signalfd_siginfo info;
  for (;;) {
    const ssize_t n = ::read(fd_, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return 0;
    *error = n < 0 ? std::string("cannot read the signal descriptor: ") + std::strerror(errno)
                   : "short read from the signal descriptor";
    return -1;
  }
}

std::string signalName(int sig) {
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) return "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
  const char* abbrev = sigabbrev_np(sig);
  return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

std::vector<int> terminatingSignals() {
  std::vector<int> s = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                        SIGVTALRM, SIGPROF, SIGIO,   SIGXCPU, SIGXFSZ, SIGPWR,  SIGSTKFLT};
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) s.push_back(sig);
  return s;
}

}  // namespace tty
