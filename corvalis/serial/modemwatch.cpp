// SPDX-License-Identifier: Apache-2.0
#include "modemwatch.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>

#include "comdevice.h"

namespace corvalis {

namespace {

void IgnoreWake(int) {}

bool IsOurs(const struct sigaction& Action) {
  return !(Action.sa_flags & SA_SIGINFO) && Action.sa_handler == &IgnoreWake;
}

// The signal that interrupts the wait: a real-time signal nobody else handles, with a handler
// that does nothing, installed without SA_RESTART so that the wait returns EINTR. A signal
// whose disposition is the default or "ignore" (both are inherited across exec) is free, and
// taking it over makes it usable; one with someone else's handler is left alone and the next
// is tried. Checked at every start, as the disposition may have changed since.
int WakeSignal() {
  static std::mutex mutex;
  static int chosen = 0;
  std::lock_guard lock(mutex);
  auto usable = [](int s) {
    struct sigaction current {};
    if (sigaction(s, nullptr, &current) != 0) return false;
    if (IsOurs(current)) return true;
    if (current.sa_flags & SA_SIGINFO) return false;
    if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) return false;
    struct sigaction action {};
    action.sa_handler = &IgnoreWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(s, &action, nullptr) == 0;
  };
  if (chosen != 0 && usable(chosen)) return chosen;
  chosen = 0;
  const int first = SIGRTMIN + 4;
  for (int s = first; s <= SIGRTMAX && chosen == 0; ++s)
    if (usable(s)) chosen = s;
  for (int s = SIGRTMIN; s < first && chosen == 0; ++s)
    if (usable(s)) chosen = s;
  return chosen;
}

}  // namespace

TModemWatcher::TModemWatcher(int KickFd, std::function<int()> WaitChange,
                             std::function<int(std::uint32_t&)> ReadChanges)
    : KickFd_(KickFd),
      WaitChange_(std::move(WaitChange)),
      ReadChanges_(std::move(ReadChanges)),
      Signal_(WakeSignal()) {
  // Without a wake-up the thread could not be stopped: then no line changes are reported.
  if (Signal_ != 0) Thread_ = std::thread(&TModemWatcher::Run, this);
}

TModemWatcher::~TModemWatcher() {
  if (!Thread_.joinable()) return;
  Stopping_ = true;
  {
    // A signal sent just before the thread enters the wait is lost, so it is sent again until
    // the thread has ended.
    std::unique_lock lock(Mutex_);
    while (!Done_) {
      pthread_kill(Thread_.native_handle(), Signal_);
      Ended_.wait_for(lock, std::chrono::milliseconds(20), [&] { return Done_; });
    }
  }
  Thread_.join();
}

void TModemWatcher::Run() {
  pthread_setname_np(pthread_self(), "comport-lines");
  // The thread inherits its creator's signal mask, which may block the wake-up (a blocked
  // mask is inherited across exec too).
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, Signal_);
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
  while (!Stopping_) {
    if (WaitChange_() != 0) {
      if (errno == EINTR) continue;
      break;  // not supported by the driver, or the device is gone
    }
    std::uint32_t events = 0;
    if (ReadChanges_(events) != 0) break;
    if (events == 0) continue;
    Pending_ |= events;
    eventfd_write(KickFd_, 1);
  }
  {
    std::lock_guard lock(Mutex_);
    Done_ = true;
  }
  Ended_.notify_all();
}

}  // namespace corvalis
