// SPDX-License-Identifier: Apache-2.0
// The modem-line watcher: changes are reported through its eventfd, and stopping ends a wait
// that only a signal can interrupt.
#include "modemwatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "comdevice.h"

namespace corvalis {
namespace {

class ModemWatchTest : public ::testing::Test {
 protected:
  ModemWatchTest() {
    Kick = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    EXPECT_EQ(pipe2(Pipe, O_CLOEXEC), 0);
  }
  ~ModemWatchTest() override {
    close(Kick);
    close(Pipe[0]);
    close(Pipe[1]);
  }
  // A line-change wait that ends when the test writes a byte, or on a signal.
  std::function<int()> PipeWait() {
    return [this] {
      char c;
      const ssize_t n = read(Pipe[0], &c, 1);
      if (n == 1) return 0;
      if (n == 0) errno = EIO;
      return -1;
    };
  }
  // The watcher's kick, within 10 s: a watcher that never announces fails here, not in a hang.
  void WaitForKick() {
    pollfd p{Kick, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "no announcement within 10 s";
    eventfd_t value;
    eventfd_read(Kick, &value);
  }

  int Kick = -1;
  int Pipe[2] = {-1, -1};
};

TEST_F(ModemWatchTest, ChangesAreAnnouncedAndTakenOnce) {
  std::uint32_t next = comdev::EV_CTS | comdev::EV_RING;
  TModemWatcher watcher(Kick, PipeWait(), [&](std::uint32_t& events) {
    events = next;
    return 0;
  });
  ASSERT_EQ(write(Pipe[1], "x", 1), 1);
  WaitForKick();
  EXPECT_EQ(watcher.Take(), comdev::EV_CTS | comdev::EV_RING);
  EXPECT_EQ(watcher.Take(), 0u);
}

TEST_F(ModemWatchTest, StoppingInterruptsTheBlockedWait) {
  // Many rounds: the stop signal may arrive just before the wait starts and must be repeated.
  // They run beside the test, which counts the watchers that stopped.
  constexpr int kRounds = 200;
  std::mutex mutex;
  std::condition_variable progressed;
  int stopped = 0;
  std::thread rounds([&] {
    for (int i = 0; i < kRounds; ++i) {
      {
        TModemWatcher watcher(Kick, PipeWait(), [](std::uint32_t& events) {
          events = 0;
          return 0;
        });
      }
      std::lock_guard lock(mutex);
      ++stopped;
      progressed.notify_all();
    }
  });
  int ended = 0;
  {
    std::unique_lock lock(mutex);
    // A guard against hanging, not a measurement: a round takes well under a millisecond.
    for (int seen = 0; stopped < kRounds; seen = stopped) {
      if (!progressed.wait_for(lock, std::chrono::seconds(10), [&] { return stopped != seen; })) break;
    }
    ended = stopped;
  }
  EXPECT_EQ(ended, kRounds) << "the watcher of round " << ended + 1 << " did not stop";
  // Closing the line lets a stuck wait (and every later one) fail, so the rounds end.
  close(Pipe[1]);
  Pipe[1] = -1;
  rounds.join();
}

int ForeignCalls = 0;
void ForeignHandler(int) {
  ++ForeignCalls;
}

// Whatever the disposition of the usual wake-up signal the process inherited or another part
// of it chose, stopping ends the wait.
TEST_F(ModemWatchTest, StopsWhenTheWakeSignalIsIgnoredBlockedOrTakenByOthers) {
  const int usual = SIGRTMIN + 4;
  struct sigaction saved {};
  sigaction(usual, nullptr, &saved);
  for (const char* how : {"ignored", "blocked", "taken"}) {
    SCOPED_TRACE(how);
    sigset_t wake, before;
    sigemptyset(&wake);
    sigaddset(&wake, usual);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_IGN;
    if (std::string(how) == "taken") {
      action.sa_handler = &ForeignHandler;
      action.sa_flags = SA_RESTART;  // a wait interrupted by it would simply go on
    }
    if (std::string(how) != "blocked") sigaction(usual, &action, nullptr);
    // The watcher's thread inherits this thread's mask.
    if (std::string(how) == "blocked") pthread_sigmask(SIG_BLOCK, &wake, &before);
    auto* watcher = new TModemWatcher(Kick, PipeWait(), [](std::uint32_t& events) {
      events = 0;
      return 0;
    });
    if (std::string(how) == "blocked") pthread_sigmask(SIG_SETMASK, &before, nullptr);

    std::mutex mutex;
    std::condition_variable ended;
    bool stopped = false;
    std::thread stopper([&] {
      delete watcher;
      std::lock_guard lock(mutex);
      stopped = true;
      ended.notify_all();
    });
    {
      std::unique_lock lock(mutex);
      // A guard against hanging, not a measurement: stopping takes well under a millisecond.
      if (!ended.wait_for(lock, std::chrono::seconds(10), [&] { return stopped; })) {
        ADD_FAILURE() << "the watcher did not stop";
        ASSERT_EQ(write(Pipe[1], "x", 1), 1);  // a line change lets it go
      }
    }
    stopper.join();
    EXPECT_EQ(ForeignCalls, 0);
    sigaction(usual, &saved, nullptr);
  }
}

TEST_F(ModemWatchTest, DriverWithoutTheWaitEndsTheWatcherQuietly) {
  std::mutex mutex;
  std::condition_variable called;
  int waits = 0;
  {
    TModemWatcher watcher(
        Kick,
        [&] {
          {
            std::lock_guard lock(mutex);
            ++waits;
          }
          called.notify_all();
          errno = ENOTTY;
          return -1;
        },
        [](std::uint32_t&) { return 0; });
    std::unique_lock lock(mutex);
    called.wait(lock, [&] { return waits > 0; });
  }
  EXPECT_EQ(waits, 1);  // no retrying a wait the driver does not have
}

}  // namespace
}  // namespace corvalis
