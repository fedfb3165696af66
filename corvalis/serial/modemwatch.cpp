#include "modemwatch.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>

#include "comdevice.h"

namespace corvalis {

namespace {

// The signal that interrupts the wait. Its handler does nothing; it is installed without
// SA_RESTART so that the wait returns EINTR.
int WakeSignal() {
  static const int signal = [] {
    const int s = SIGRTMIN + 4;
    struct sigaction current {};
    sigaction(s, nullptr, &current);
    if (current.sa_handler == SIG_DFL) {
      struct sigaction action {};
      action.sa_handler = [](int) {};
      sigemptyset(&action.sa_mask);
      action.sa_flags = 0;
      sigaction(s, &action, nullptr);
    }
    return s;
  }();
  return signal;
}

}  // namespace

TModemWatcher::TModemWatcher(int KickFd, std::function<int()> WaitChange,
                             std::function<int(std::uint32_t&)> ReadChanges)
    : KickFd_(KickFd), WaitChange_(std::move(WaitChange)), ReadChanges_(std::move(ReadChanges)) {
  WakeSignal();
  Thread_ = std::thread(&TModemWatcher::Run, this);
}

TModemWatcher::~TModemWatcher() {
  Stopping_ = true;
  {
    // A signal sent just before the thread enters the wait is lost, so it is sent again until
    // the thread has ended.
    std::unique_lock lock(Mutex_);
    while (!Done_) {
      pthread_kill(Thread_.native_handle(), WakeSignal());
      Ended_.wait_for(lock, std::chrono::milliseconds(20), [&] { return Done_; });
    }
  }
  Thread_.join();
}

void TModemWatcher::Run() {
  pthread_setname_np(pthread_self(), "comport-lines");
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
