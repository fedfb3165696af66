// SPDX-License-Identifier: Apache-2.0
#pragma once
// Modem-line changes (CTS, DSR, carrier, ring) on Linux: a thread that sleeps in the driver's
// wait for a line change (TIOCMIWAIT) and reports each change through an eventfd. That wait
// can only be interrupted by a signal, so stopping sends one to the thread until it has ended:
// a real-time signal that nobody else handles, unblocked in that thread alone.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace corvalis {

class TModemWatcher {
 public:
  // WaitChange blocks until a line changes (0) or fails (-1 with errno; EINTR is retried
  // unless stopping). ReadChanges gives the EV_ bits of the lines that changed since its last
  // call (0) or fails (-1). Changes are added to the pending set and announced by writing to
  // KickFd.
  TModemWatcher(int KickFd, std::function<int()> WaitChange, std::function<int(std::uint32_t&)> ReadChanges);
  ~TModemWatcher();  // stops and joins the thread
  TModemWatcher(const TModemWatcher&) = delete;
  TModemWatcher& operator=(const TModemWatcher&) = delete;

  // EV_CTS, EV_DSR, EV_RLSD, EV_RING bits of the changes since the last call.
  std::uint32_t Take() { return Pending_.exchange(0); }

 private:
  void Run();

  int KickFd_;
  std::function<int()> WaitChange_;
  std::function<int(std::uint32_t&)> ReadChanges_;
  int Signal_;  // the wake-up signal; 0 when every real-time signal is taken
  std::atomic<bool> Stopping_{false};
  std::atomic<std::uint32_t> Pending_{0};
  std::mutex Mutex_;
  std::condition_variable Ended_;
  bool Done_ = false;
  std::thread Thread_;
};

}  // namespace corvalis
