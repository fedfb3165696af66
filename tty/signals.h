// SPDX-License-Identifier: Apache-2.0
#pragma once
// Signals as a descriptor to poll: the kit's programs end in order (a call hung up, a link
// removed) on a terminating signal, from their own loop rather than from a handler.
//
// The signals are blocked in the thread that opens the descriptor, and every thread started
// afterwards inherits that: open it before starting any thread, or a signal may go to a thread
// that does not block it (and end the process there).
#include <memory>
#include <string>
#include <vector>

namespace tty {

class SignalFd {
 public:
  // Blocks the signals and opens a descriptor for them; nothing, with the reason, when either
  // fails (then nothing is blocked).
  static std::unique_ptr<SignalFd> open(const std::vector<int>& signals, std::string* error);
  ~SignalFd();  // closes the descriptor and unblocks what open() blocked
  SignalFd(const SignalFd&) = delete;
  SignalFd& operator=(const SignalFd&) = delete;

  int fd() const { return fd_; }
  // The next signal that came: its number, 0 when none is waiting, -1 (with the reason) when
  // the descriptor cannot be read.
  int take(std::string* error);

 private:
  SignalFd() = default;
  int fd_ = -1;
  std::vector<int> unblock_;
};

// SIGTERM, SIGRTMIN+3 and so on.
std::string signalName(int sig);
// The signals that end a process by default and can be caught (not those a crash raises).
std::vector<int> terminatingSignals();

}  // namespace tty
