// SPDX-License-Identifier: Apache-2.0
#pragma once
// Storage for the call journal that a test drives (SetJournalDataSync): each sync waits until the
// test lets it finish, or fail.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "records/journal.h"

namespace corvalis {

// Storage the test drives: each sync waits until the test lets it finish (or fails it), and says
// whether the file it was given was still open when it ran.
struct HeldStorage {
  std::mutex m;
  std::condition_variable cv;
  int started = 0;      // syncs begun
  int finished = 0;     // syncs ended
  int allowed = 0;      // syncs the test lets finish
  int failNext = 0;     // of those, how many fail (EIO)
  bool closedFd = false;
  bool stuck = false;   // a sync waited for the test in vain: the caller was held up by it

  static inline HeldStorage* current = nullptr;
  static int Sync(int fd) {
    HeldStorage& s = *current;
    std::unique_lock lock(s.m);
    ++s.started;
    s.cv.notify_all();
    // The test lets it go; a sync held by the very thread that should let it go would wait
    // forever, so it gives up after a long time and says so.
    if (!s.cv.wait_for(lock, std::chrono::seconds(20), [&] { return s.allowed > 0; })) s.stuck = true;
    if (s.allowed > 0) --s.allowed;
    if (::fcntl(fd, F_GETFD) == -1) s.closedFd = true;
    ++s.finished;
    s.cv.notify_all();
    if (s.failNext > 0) {
      --s.failNext;
      errno = EIO;
      return -1;
    }
    return ::fdatasync(fd);
  }
  // Puts this storage under the call journal, and back.
  void Install() {
    current = this;
    SetJournalDataSync(&Sync);
  }
  void Uninstall() { SetJournalDataSync(nullptr); }
  ~HeldStorage() { Uninstall(); }
  void Allow(int n, int failing = 0) {
    std::lock_guard lock(m);
    allowed += n;
    failNext += failing;
    cv.notify_all();
  }
  void WaitFinished(int n) {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return finished >= n; });
  }
  void WaitStarted(int n) {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return started >= n; });
  }
};

}  // namespace corvalis
