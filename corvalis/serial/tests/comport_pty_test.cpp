// SPDX-License-Identifier: Apache-2.0
// TComPort on a real Linux tty: a pseudo-terminal whose far end the test plays.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "comport.h"
#include "pty_fixture.h"
#include "test_handoff.h"
#include "thread_ticks.h"

namespace corvalis {
namespace {

using testing::EventThreadTicks;
using testing::TPtyPort;
using testing::TTestHandoff;

class PtyTest : public ::testing::Test {
 protected:
  PtyTest() : Port(&Handoff) { Port.SetPortNum("COM5"); }

  // OnRxChar takes everything it is told about; the count must be readable at once.
  void Collect() {
    Port.OnRxChar = [this](TComPort* port, std::int32_t count) {
      EXPECT_EQ(std::this_thread::get_id(), MainThread);
      std::string text;
      EXPECT_EQ(port->ReadText(text, count), count);
      Received += text;
      ++Deliveries;
    };
  }
  void ServeUntilReceived(std::size_t n) {
    Handoff.ServeUntil([&] { return Received.size() >= n; });
  }
  // Serves deliveries for a while: an observation window, not a synchronisation.
  void ServeFor(std::chrono::milliseconds Interval) {
    std::atomic<bool> over{false};
    std::thread timer([&] {
      std::this_thread::sleep_for(Interval);
      over = true;
      Handoff.Notify();
    });
    Handoff.ServeUntil([&] { return over.load(); });
    timer.join();
  }

  TPtyPort Far;
  TTestHandoff Handoff;
  TComPort Port;
  std::thread::id MainThread = std::this_thread::get_id();
  std::string Received;
  int Deliveries = 0;
};

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// The error code and system error of what F raises (0, 0 when nothing).
template <typename F>
std::pair<int, int> ErrorOf(F&& f) {
  try {
    f();
  } catch (const EComPort& e) {
    return {e.ErrorCode(), e.SystemErrorCode()};
  }
  return {0, 0};
}

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST_F(PtyTest, OpensByNameAndBytesTravelBothWays) {
  Collect();
  int txEmpty = 0;
  Port.OnTxEmpty = [&](TComPort*) { ++txEmpty; };
  Port.Open();
  const std::string out("AT&F\r\n\0\x11\x13\xff", 10);
  EXPECT_EQ(Port.WriteText(out), 10);
  EXPECT_EQ(Far.Receive(10), out);
  Handoff.ServeUntil([&] { return txEmpty > 0; });

  const std::string in("CONNECT TURBO\r\n\0\x7f\xff\x03", 19);
  Far.Send(in);
  ServeUntilReceived(in.size());
  EXPECT_EQ(Received, in);

  // Read with the default timeouts returns at once when nothing is queued.
  std::string text = "x";
  EXPECT_EQ(Port.ReadText(text, 100), 0);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(Port.LineSignals().Empty());  // a pseudo-terminal has no modem lines
  EXPECT_TRUE(Port.TakeErrors().Empty());
}

TEST_F(PtyTest, MissingPortAndSecondOpenAreRefused) {
  TComPort missing(&Handoff);
  missing.SetPortNum("COM6");
  try {
    missing.Open();
    FAIL() << "opened a port that does not exist";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 1);
    EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
  }

  Port.Open();
  TComPort second(&Handoff);
  second.SetPortNum("COM5");
  try {
    second.Open();
    FAIL() << "a second open of an open port succeeded";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 1);
    EXPECT_EQ(e.SystemErrorCode(), EBUSY);
  }
  EXPECT_FALSE(second.IsOpen());
  EXPECT_FALSE(PortCanBeOpened("COM5"));
  Port.Close();
  EXPECT_TRUE(PortCanBeOpened("COM5"));
  EXPECT_FALSE(PortCanBeOpened("COM6"));
}

TEST_F(PtyTest, SettingsAreReadBackAndRefusedWhenTheDriverKeepsOthers) {
  // A pseudo-terminal keeps eight data bits and no parity whatever it is told.
  TComPort five(&Handoff);
  five.SetPortNum("COM5");
  five.SetDataBits(dbFive);
  EXPECT_EQ(ErrorOf([&] { five.Open(); }), std::make_pair(7, EINVAL));
  EXPECT_FALSE(five.IsOpen());

  Port.Open();
  for (int rate = br110; rate <= br256000; ++rate) Port.SetBaudRate(static_cast<TBaudRate>(rate));
  Port.SetStopBits(sbTwoStopBits);
  Port.FlowControl().SetControlDTR(dtrEnable);  // no modem lines on a pseudo-terminal: skipped
  Port.FlowControl().SetControlRTS(rtsHandshake);
  Port.FlowControl().SetXonXoffIn(true);
  Port.Parity().SetCheck(true);

  EXPECT_EQ(ErrorOf([&] { Port.SetDataBits(dbSeven); }), std::make_pair(7, EINVAL));
  EXPECT_EQ(Port.DataBits(), dbSeven);  // stored all the same
  Port.SetDataBits(dbEight);
  EXPECT_EQ(ErrorOf([&] { Port.Parity().SetBits(prEven); }), std::make_pair(7, EINVAL));
  Port.Parity().SetBits(prNone);
  // One and a half stop bits exist only with five data bits.
  EXPECT_EQ(ErrorOf([&] { Port.SetStopBits(sbOne5StopBits); }), std::make_pair(7, EINVAL));
  Port.SetStopBits(sbOneStopBit);

  // The refusals left a working line behind.
  Collect();
  Far.Send("AT\r");
  ServeUntilReceived(3);
  EXPECT_EQ(Received, "AT\r");
  EXPECT_EQ(Port.WriteText("OK\r"), 3);
  EXPECT_EQ(Far.Receive(3), "OK\r");
}

TEST_F(PtyTest, CountOfOnRxCharIsWhatTheReadReturns) {
  Port.SetDiscardNull(true);
  Collect();  // checks that each Count is read in full
  Port.Open();
  Far.Send(std::string("a\0b\0\0c", 6));
  ServeUntilReceived(3);
  Far.Send(std::string(3, '\0'));
  Far.Send("!");
  ServeUntilReceived(4);
  EXPECT_EQ(Received, "abc!");
}

TEST_F(PtyTest, EventCharacterRaisesRxFlagAfterTheCharactersArrived) {
  Port.SetEventChar('\r');
  std::vector<std::string> order;
  Port.OnRxChar = [&](TComPort* port, std::int32_t count) {
    std::string text;
    port->ReadText(text, count);
    Received += text;
    order.push_back("RxChar");
  };
  int flags = 0;
  Port.OnRxFlag = [&](TComPort*) {
    ++flags;
    order.push_back("RxFlag");
  };
  Port.Open();
  // The flag comes in the batch of the characters that brought it, after OnRxChar.
  Far.Send("ATZ\r");
  ServeUntilReceived(4);
  EXPECT_EQ(flags, 1);
  Far.Send("x");
  ServeUntilReceived(5);
  EXPECT_EQ(flags, 1);
  Far.Send("OK\r");
  ServeUntilReceived(8);
  EXPECT_EQ(flags, 2);
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order.back(), "RxFlag");
  EXPECT_EQ(order[order.size() - 2], "RxChar");

  // Beyond the receive queue's size the character is seen when it is read; nothing reorders.
  Port.Buffer().SetInputSize(4);
  const std::string line = "0123456789ABCDEF\r";
  Far.Send(line);
  Handoff.ServeUntil([&] { return flags == 3; });
  EXPECT_EQ(Received, "ATZ\rxOK\r" + line);
}

TEST_F(PtyTest, WritesEndWithTheirTimeoutsAndReadsReturnWhatCameWithinThem) {
  Port.SetEvents(TEvents{});
  Port.Open();
  TComTimeouts timeouts;
  timeouts.SetWriteTotalMultiplier(0);
  timeouts.SetWriteTotalConstant(100);
  timeouts.SetReadInterval(0);
  timeouts.SetReadTotalConstant(100);
  Port.SetTimeouts(timeouts);
  // Nobody reads the far end: the write gives up when its time is over.
  EXPECT_EQ(ErrorOf([&] { Port.WriteText(std::string(1 << 20, 'x')); }), std::make_pair(2, ETIMEDOUT));
  Port.Close();
  Far.ReceiveUntilClosed();

  // Flow control holds the line: the write gives up too, and goes once the far end lets it.
  Port.FlowControl().SetXonXoffOut(true);
  Port.Open();
  Far.Send("\x13");  // XOFF
  Far.Send("abc");
  std::string text;
  EXPECT_EQ(Port.ReadText(text, 10), 3);  // a read with a total timeout returns what came
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(ErrorOf([&] { Port.WriteText("ATH0\r"); }), std::make_pair(2, ETIMEDOUT));
  Far.Send("\x11");  // XON
  EXPECT_EQ(Port.WriteText("!"), 1);
  Port.Close();
  EXPECT_EQ(Far.ReceiveUntilClosed(), "!");  // the stopped line took nothing of the first
}

TEST_F(PtyTest, WhatAWriteReturnedIsNeverTakenBackByClose) {
  for (int i = 0; i < 20; ++i) {
    Port.Open();
    ASSERT_EQ(Port.WriteText("ATH0\r"), 5);
    Port.Close();
    ASSERT_EQ(Far.ReceiveUntilClosed(), "ATH0\r") << "round " << i;
  }
  Port.Open();
  Port.WriteText("+++");
  Port.AbortIO();
  Port.Close();
  EXPECT_EQ(Far.ReceiveUntilClosed(), "+++");

  // A far end that reads 10 bytes every 10 ms.
  const std::string text = RandomBytes(200, 3);
  Port.Open();
  std::string slow;
  std::thread reader([&] { slow = Far.ReceiveUntilClosed(10, std::chrono::milliseconds(10)); });
  EXPECT_EQ(Port.WriteText(text), 200);
  Port.Close();
  reader.join();
  EXPECT_TRUE(slow == text);
}

TEST_F(PtyTest, APortWhoseHolderHasGoneOpensAtOnce) {
  // Another program's exclusive flag, left behind on the pseudo-terminal.
  Far.LeaveExclusiveFlag();
  Port.Open();
  Port.Close();

  // A holder in another process: refused while it lives, free once it was killed.
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char program[] = COMPORT_HOLDER;
  char* argv[] = {program, nullptr};
  pid_t holder = -1;
  ASSERT_EQ(posix_spawn(&holder, program, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string said;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') said += c;
  close(out[0]);
  ASSERT_EQ(said, "open");
  EXPECT_EQ(ErrorOf([&] { Port.Open(); }), std::make_pair(1, EBUSY));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  Port.Open();
  EXPECT_TRUE(Port.IsOpen());
}

TEST_F(PtyTest, AReopenInsideAHandlerLeavesTheNewLineAlone) {
  const std::string big = RandomBytes(6000, 4);
  int rounds = 0;
  Port.OnRxChar = [&](TComPort* port, std::int32_t count) {
    std::string text;
    port->ReadText(text, count);
    // As the Devices sheet's Ok does when a nested event loop reaches it.
    port->Close();
    port->Open();
    EXPECT_EQ(port->WriteText(big), 6000);
    ++rounds;
  };
  for (int i = 0; i < 5; ++i) {
    Port.Open();
    Far.Send("x");
    Handoff.ServeUntil([&] { return rounds == i + 1; });
    Port.Close();  // the old thread has ended by now
    ASSERT_TRUE(Far.ReceiveUntilClosed() == big) << "round " << i;
  }
}

TEST_F(PtyTest, BurstOf64KiBArrivesCompleteAndInOrder) {
  Collect();
  Port.Open();
  const std::string burst = RandomBytes(64 * 1024, 1);
  std::thread writer([&] { Far.Send(burst); });
  ServeUntilReceived(burst.size());
  writer.join();
  EXPECT_EQ(Received.size(), burst.size());
  EXPECT_TRUE(Received == burst);
}

TEST_F(PtyTest, SteadyStreamAt960CharactersPerSecondArrivesCompleteAndInOrder) {
  Collect();
  Port.Open();
  const std::string stream = RandomBytes(960, 2);
  std::thread writer([&] {
    // Paced by the clock: one character every 1/960 s.
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < stream.size(); ++i) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(1000000 * i / 960));
      Far.Send(stream.substr(i, 1));
    }
  });
  ServeUntilReceived(stream.size());
  writer.join();
  EXPECT_TRUE(Received == stream);
  EXPECT_GT(Deliveries, 1);
}

TEST_F(PtyTest, CloseWhileADeliveryWaitsForTheMainThread) {
  Collect();
  Port.Open();
  Far.Send("x");
  Handoff.WaitForRequests(1);
  Port.Close();
  EXPECT_EQ(Received, "x");
  EXPECT_FALSE(Port.IsOpen());
}

TEST_F(PtyTest, ThousandOpenCloseCyclesWithTraffic) {
  Collect();
  int fds = 0, threads = 0;
  for (int i = 0; i < 1000; ++i) {
    Port.Open();
    Far.Send("ping");
    ServeUntilReceived(4);
    ASSERT_EQ(Received, "ping") << "cycle " << i;
    Received.clear();
    ASSERT_EQ(Port.WriteText("pong"), 4);
    Port.Close();  // at once: the reply still goes out
    ASSERT_EQ(Far.ReceiveUntilClosed(), "pong") << "cycle " << i;
    if (i == 0) {  // after the first cycle (sanitizers start helper threads lazily)
      fds = CountEntries("/proc/self/fd");
      threads = CountEntries("/proc/self/task");
    }
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
}

TEST_F(PtyTest, InputNobodyReadsDoesNotMakeTheThreadSpin) {
  Port.Open();  // no OnRxChar: the bytes stay queued
  Far.Send("unread");
  Handoff.WaitForRequests(1);
  const long before = EventThreadTicks();
  ASSERT_GE(before, 0);
  // A thread woken again and again by the queued bytes would burn this interval.
  ServeFor(std::chrono::milliseconds(300));
  EXPECT_LE(EventThreadTicks() - before, 3);
  EXPECT_LE(Handoff.ServedCount(), 2u);
  EXPECT_EQ(Port.QueuedInput(), 6);
  Port.Close();
}

TEST_F(PtyTest, FarEndHangUpIsReportedOnceAndDoesNotSpin) {
  std::vector<TComErrors> errors;
  Port.OnError = [&](TComPort*, TComErrors e) { errors.push_back(e); };
  Port.Open();
  Far.HangUp();
  Handoff.ServeUntil([&] { return !errors.empty(); });
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], TComErrors{erDeviceIO});

  // A spinning thread would burn all of this interval; a waiting one burns nothing.
  const long before = EventThreadTicks();
  ASSERT_GE(before, 0);
  ServeFor(std::chrono::milliseconds(300));
  EXPECT_LE(EventThreadTicks() - before, 3);
  EXPECT_EQ(Handoff.ServedCount(), 1u);

  try {
    Port.WriteText("x");
    FAIL() << "write to a hung-up port succeeded";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 2);
  }
  Port.Close();  // must not fail or hang on the dead device
  EXPECT_FALSE(Port.IsOpen());
}

TEST_F(PtyTest, HangUpWhileABatchWaitsForTheMainThreadStillCarriesTheError) {
  std::vector<TComErrors> errors;
  Port.OnRxChar = [&](TComPort*, std::int32_t) { ++Deliveries; };
  Port.OnError = [&](TComPort*, TComErrors e) { errors.push_back(e); };
  Port.Open();
  Far.Send("x");
  Handoff.WaitForRequests(1);  // the batch waits for the main thread
  Far.HangUp();
  Handoff.ServeUntil([&] { return !errors.empty(); });
  EXPECT_EQ(Deliveries, 1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], TComErrors{erDeviceIO});
  Port.Close();
}

}  // namespace
}  // namespace corvalis
