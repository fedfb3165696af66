// Benchmark of the serial port layer on a pseudo-terminal:
//  1. delivery latency: the far end writes one byte -> OnRxChar runs on the GUI thread (Qt
//     event loop, smThreadSync, as corvalis runs it), one byte at a time;
//  2. how long WriteText of one character holds the GUI thread (corvalis sends one character per
//     timer tick; WriteText returns once the character has left);
//  3. CPU used by an open port with nothing happening.
//
//   comport_bench [bytes=2000] [idle_seconds=5]
#include <dirent.h>
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
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// CPU seconds of the thread named "comport" (the port's event thread).
double EventThreadCpuSeconds() {
  double seconds = 0;
  if (DIR* d = opendir("/proc/self/task")) {
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
      long ticks = 0;
      for (int i = 3; i <= 15; ++i) {
        rest >> field;
        if (i >= 14) ticks += std::stol(field);
      }
      seconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    closedir(d);
  }
  return seconds;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
  return v[i];
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

  // ---- latency ----
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

  const double median = Percentile(latencies, 0.5);
  const double charAt9600 = 1e6 * 10 / 9600;  // one character (start, 8 data, stop bit)
  const double charAt300 = 1e6 * 10 / 300;
  std::printf("Delivery latency, far end writes one byte -> OnRxChar on the GUI thread (%d bytes):\n", bytes);
  std::printf("  median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n", median, Percentile(latencies, 0.9),
              Percentile(latencies, 0.99), Percentile(latencies, 1.0));
  std::printf("  median / one character time at 9600 baud (%.0f us): %.3f\n", charAt9600,
              median / charAt9600);
  std::printf("  median / one character time at 300 baud (%.0f us): %.4f\n", charAt300, median / charAt300);

  // ---- writing one character at a time ----
  port.OnRxChar = nullptr;
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
  std::printf("  p99 / one character time at 9600 baud: %.3f\n", Percentile(writes, 0.99) / charAt9600);

  // ---- idle CPU ----
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

  port.Close();
  close(master);
  std::filesystem::remove_all(dir);
  return 0;
}
