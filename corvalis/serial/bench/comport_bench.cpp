// SPDX-License-Identifier: Apache-2.0
// Benchmark of the serial port layer on a pseudo-terminal:
//  1. delivery latency: the far end writes one byte -> OnRxChar runs on the GUI thread (Qt
//     event loop, smThreadSync, as corvalis runs it), one byte at a time;
//  2. how long WriteText of one character holds the GUI thread (corvalis sends one character per
//     timer tick; WriteText returns once the character has left);
//  3. CPU used by an open port with nothing happening.
//
//   comport_bench [bytes=2000] [idle_seconds=5]
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../tests/thread_ticks.h"
#include "comhandoff_qt.h"
#include "comport.h"

using namespace corvalis;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of the port's event thread.
double EventThreadCpuSeconds() {
  return static_cast<double>(testing::EventThreadTicks()) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
  return v[i];
}

const double kCharAt9600 = 1e6 * 10 / 9600;  // one character (start, 8 data, stop bit), in us
const double kCharAt300 = 1e6 * 10 / 300;

// The far end writes one byte, waits until OnRxChar has it on the GUI thread, and writes the next.
void MeasureLatency(QCoreApplication& app, TComPort& port, int master, int bytes) {
  std::mutex mutex;
  std::condition_variable turn;
  int handled = 0;
  Clock::time_point sent;
  std::vector<double> latencies;
  port.OnRxChar = [&](TComPort* sender, std::int32_t count) {
    const Clock::time_point now = Clock::now();
    std::string text;
    sender->ReadText(text, count);
    if (text.empty()) return;
    {
      std::lock_guard lock(mutex);
      latencies.push_back(std::chrono::duration<double, std::micro>(now - sent).count());
      ++handled;
    }
    turn.notify_all();
    if (handled == bytes) app.quit();
  };
  std::thread farEnd([&] {
    for (int i = 0; i < bytes; ++i) {
      {
        std::unique_lock lock(mutex);
        turn.wait(lock, [&] { return handled == i; });
        sent = Clock::now();
      }
      const char c = static_cast<char>('A' + i % 26);
      if (write(master, &c, 1) != 1) std::abort();
    }
  });
  app.exec();
  farEnd.join();
  port.OnRxChar = nullptr;

  const double median = Percentile(latencies, 0.5);
  std::printf("Delivery latency, far end writes one byte -> OnRxChar on the GUI thread (%d bytes):\n", bytes);
  std::printf("  median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n", median, Percentile(latencies, 0.9),
              Percentile(latencies, 0.99), Percentile(latencies, 1.0));
  std::printf("  median / one character time at 9600 baud (%.0f us): %.3f\n", kCharAt9600,
              median / kCharAt9600);
  std::printf("  median / one character time at 300 baud (%.0f us): %.4f\n", kCharAt300, median / kCharAt300);
}

// WriteText of one character at a time, as corvalis sends, with the far end reading.
void MeasureWrites(TComPort& port, int master, int bytes) {
  std::vector<double> writes;
  std::thread reader([&] {
    char buffer[256];
    for (int got = 0; got < bytes;) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) std::abort();
      got += static_cast<int>(n);
    }
  });
  for (int i = 0; i < bytes; ++i) {
    const Clock::time_point before = Clock::now();
    port.WriteText(std::string(1, static_cast<char>('a' + i % 26)));
    writes.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  reader.join();
  const double writeMedian = Percentile(writes, 0.5);
  std::printf("WriteText of one character on the GUI thread, returning once it has left (%d writes):\n",
              bytes);
  std::printf("  median %.0f us, p99 %.0f us, max %.0f us\n", writeMedian, Percentile(writes, 0.99),
              Percentile(writes, 1.0));
  std::printf("  p99 / one character time at 9600 baud: %.3f\n", Percentile(writes, 0.99) / kCharAt9600);
}

// The CPU an open port costs with nothing happening.
void MeasureIdle(QCoreApplication& app, int idleSeconds) {
  const double cpuBefore = CpuSeconds();
  const double threadBefore = EventThreadCpuSeconds();
  const Clock::time_point start = Clock::now();
  QTimer::singleShot(idleSeconds * 1000, Qt::PreciseTimer, &app, &QCoreApplication::quit);
  app.exec();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds() - cpuBefore;
  const double threadCpu = EventThreadCpuSeconds() - threadBefore;
  std::printf("Idle open port for %.1f s:\n", wall);
  std::printf("  whole process CPU %.1f ms (%.3f %% of one core), event thread CPU %.1f ms (%.3f %%)\n",
              cpu * 1000, 100 * cpu / wall, threadCpu * 1000, 100 * threadCpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  // Optional: number of bytes to time and idle seconds. make bench passes the build folder
  // as the first argument, which is not a number and leaves the defaults.
  const int givenBytes = argc > 1 ? std::atoi(argv[1]) : 0;
  const int givenIdle = argc > 2 ? std::atoi(argv[2]) : 0;
  const int bytes = givenBytes > 0 ? givenBytes : 2000;
  const int idleSeconds = givenIdle > 0 ? givenIdle : 5;
  QCoreApplication app(argc, argv);

  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  const std::string dir =
      std::filesystem::temp_directory_path() / ("comport_bench." + std::to_string(getpid()));
  std::filesystem::create_directory(dir);
  std::filesystem::create_symlink(ttyname(slave), dir + "/COM1");
  close(slave);
  setenv("CORVALIS_PORT_DIR", dir.c_str(), 1);

  TQtHandoff handoff;
  TComPort port(&handoff);
  port.Open();
  MeasureLatency(app, port, master, bytes);
  MeasureWrites(port, master, bytes);
  MeasureIdle(app, idleSeconds);

  port.Close();
  close(master);
  std::filesystem::remove_all(dir);
  return 0;
}
