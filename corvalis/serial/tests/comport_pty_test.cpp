// TComPort on a real Linux tty: a pseudo-terminal whose far end the test plays.
#include <dirent.h>
#include <gtest/gtest.h>
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

namespace corvalis {
namespace {

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

TEST_F(PtyTest, LineSettingsOnATty) {
  Port.Open();
  for (int rate = br110; rate <= br256000; ++rate) Port.SetBaudRate(static_cast<TBaudRate>(rate));
  Port.SetDataBits(dbFive);
  Port.SetStopBits(sbOne5StopBits);
  Port.Parity().SetBits(prMark);
  Port.FlowControl().SetControlDTR(dtrEnable);  // no modem lines on a pseudo-terminal: skipped
  Port.FlowControl().SetControlRTS(rtsHandshake);
  Port.FlowControl().SetXonXoffIn(true);

  // One and a half stop bits exist only with five data bits.
  try {
    Port.SetDataBits(dbEight);
    FAIL() << "1.5 stop bits with 8 data bits accepted";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 7);
    EXPECT_EQ(e.SystemErrorCode(), EINVAL);
  }
  Port.SetStopBits(sbOneStopBit);  // applies the pending eight data bits
  Port.Parity().SetBits(prNone);
  Port.FlowControl().SetXonXoffIn(false);

  // DiscardNull drops NUL bytes on input.
  Port.SetDiscardNull(true);
  Port.OnRxChar = [this](TComPort* port, std::int32_t count) {
    std::string text;
    port->ReadText(text, count);  // the count includes the NUL bytes still to be dropped
    Received += text;
  };
  Far.Send(std::string("a\0b\0\0c", 6));
  Far.Send("!");
  ServeUntilReceived(4);
  EXPECT_EQ(Received, "abc!");
}

TEST_F(PtyTest, ReadsAndWritesEndWithTheirTimeouts) {
  Port.SetEvents(TEvents{});
  Port.Open();
  // Nobody reads the far end: the write gives up when its time is over and says how much went.
  TComTimeouts timeouts;
  timeouts.SetWriteTotalMultiplier(0);
  timeouts.SetWriteTotalConstant(100);
  timeouts.SetReadInterval(0);
  timeouts.SetReadTotalConstant(100);
  Port.SetTimeouts(timeouts);
  const std::int32_t written = Port.WriteText(std::string(1 << 20, 'x'));
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 1 << 20);

  // A read with a total timeout returns what came within it.
  Far.Send("abc");
  std::string text;
  EXPECT_EQ(Port.ReadText(text, 10), 3);
  EXPECT_EQ(text, "abc");
  Port.Close();  // drops the output nobody took
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
    ASSERT_EQ(Far.Receive(4), "pong");
    Port.Close();
    if (i == 0) {  // after the first cycle (sanitizers start helper threads lazily)
      fds = CountEntries("/proc/self/fd");
      threads = CountEntries("/proc/self/task");
    }
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
}

// CPU time (clock ticks) of the port's event thread.
long EventThreadTicks() {
  DIR* d = opendir("/proc/self/task");
  long ticks = -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name != "comport") continue;
    std::ifstream stat(base + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15; ++i) {
      rest >> field;
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    ticks = utime + stime;
  }
  closedir(d);
  return ticks;
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
  EXPECT_TRUE(errors[0].Contains(erDeviceIO));

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

}  // namespace
}  // namespace corvalis
