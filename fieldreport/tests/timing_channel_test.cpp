// SPDX-License-Identifier: Apache-2.0
// A call over ttysim's line with a known delay, measured by fieldreport from the two ends' timing
// files: ttysim plays the far end and saves its own record, with its clock set 30 s ahead; the
// near end is played here on the port, as the program would, and saves its record and times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "run_program.h"
#include "temp_dir.h"
#include "timing.h"

namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::runProgram;
using kit::testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int kDelayMs = 300, kJitterMs = 40;
constexpr double kShift = 30;

const char kScript[] =
    "HELLO THIS IS THE LAB GA\r\n\r\n"
    "HELLO LAB I READ YOU FINE GA\r\n\r\n"
    "GOOD NOW THE NUMBERS 911 555 0142 GA\r\n\r\n"
    "911 555 0142 THANK YOU BYE SK\r\n\r\n";

std::string localDate(long long epochMs, const char* format) {
  const std::time_t t = static_cast<std::time_t>(epochMs / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[64];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

// The near end: the program's part of the call on the port, with the time of every character.
class NearEnd {
 public:
  explicit NearEnd(int fd) : fd_(fd) {
    times_.startMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    times_.started = localDate(times_.startMs, "%m/%d/%y %H:%M:%S");
  }

  double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  // Types a turn at `cps` characters a second, noting what arrives meanwhile.
  bool send(const std::string& text, double cps) {
    double due = now();
    for (char c : text) {
      if (!listen(due)) return false;
      if (write(fd_, &c, 1) != 1) return false;
      note(true, c);
      due += 1 / cps;
    }
    return true;
  }

  // Keeps the line until `seconds` from the start, noting what still arrives.
  bool hold(double seconds) { return listen(seconds); }

  // Waits until the far end's turn has arrived (it ends in the sign and a space) and the line has
  // been quiet a moment, as a person waits before replying; false after `limit` seconds.
  bool awaitTurn(const std::string& sign, double limit) {
    const double end = now() + limit;
    const std::size_t from = received_.size();
    while (now() < end) {
      const std::size_t before = received_.size();
      if (!listen(now() + 0.3)) return false;
      const std::string turn = received_.substr(from);
      if (received_.size() == before && turn.size() > sign.size() && turn.ends_with(sign + " ")) return true;
    }
    return false;
  }

  // The call record as the program saves it, and its times beside it.
  void save(const std::string& folder, const std::string& script, double seconds) {
    const long long endMs = times_.startMs + static_cast<long long>(seconds * 1000);
    char length[32];
    std::snprintf(length, sizeof length, "%.1f", seconds);
    std::string conversation = conversation_;
    while (!conversation.empty() && conversation.back() == ' ') conversation.pop_back();
    const std::string record =
        std::string(64, '=') + "\r\nStarted at " + times_.started + "\r\n\r\n" + conversation +
        "\r\n\r\nEnded at " + localDate(endMs, "%m/%d/%y %H:%M:%S") + " (" + length +
        " seconds)\r\nCOMPUTERID: LAB\r\nTYPE: Landline Calls (Direct connection)\r\nDIRECTION: Incoming "
        "Call\r\n"
        "SIGNAL: N/A (Landline calls)\r\nCABLEID: N/A\r\nPHONEMODEL: N/A\r\nPHONETECH: N/A\r\nUSERNAME: "
        "tester\r\n"
        "LOCATION: bench\r\nNETWORKINFO: ttysim\r\nDEVICE: Ultratec Custom Compact\r\nPORT: 1\r\n"
        "TURBOCODEDETECTED: No\r\nSCRIPTCOMPLETED: Yes\r\nSCRIPTUSED: " +
        script + "\r\n\r\n";
    const std::string path = folder + "/" + localDate(times_.startMs, "%m%d-%H%M") + "-LAB.TXT";
    std::ofstream(path, std::ios::binary | std::ios::app) << record;
    ASSERT_EQ(timing::appendRecord(timing::timingPathFor(path), times_), "");
  }

 private:
  // Reads what arrives until `until` (seconds from the start).
  bool listen(double until) {
    for (;;) {
      const double left = until - now();
      if (left <= 0) return true;
      pollfd p{fd_, POLLIN, 0};
      const int n = poll(&p, 1, static_cast<int>(std::ceil(left * 1000)));
      if (n < 0 && errno != EINTR) return false;
      if (n <= 0) continue;
      char buf[256];
      const ssize_t got = read(fd_, buf, sizeof buf);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got <= 0) return false;
      for (ssize_t i = 0; i < got; ++i) {
        received_ += buf[i];
        note(false, buf[i]);
      }
    }
  }

  void note(bool sent, char c) {
    times_.chars.push_back({sent ? timing::Direction::Sent : timing::Direction::Received,
                            std::llround(now() * 1000), static_cast<unsigned char>(c)});
    if (!speaker_ || *speaker_ != sent) {
      conversation_ += std::string(speaker_ ? "\r\n\r\n" : "") + (sent ? "SEND: " : "RECD: ");
      speaker_ = sent;
    }
    conversation_ += c == '\r' ? '\xB1' : c == '\n' ? '\xB2' : c;
  }

  int fd_;
  Clock::time_point start_ = Clock::now();
  timing::RecordTimes times_;
  std::string received_, conversation_;
  std::optional<bool> speaker_;
};

// The figure of a column of the summary CSV's one row.
double summaryFigure(const std::string& csv, const std::string& column) {
  std::istringstream in(csv);
  std::string header, row;
  std::getline(in, header);
  std::getline(in, row);
  std::vector<std::string> names, cells;
  for (const auto& [text, out] : {std::pair{&header, &names}, std::pair{&row, &cells}}) {
    std::stringstream s(text->substr(0, text->find('\r')));
    for (std::string cell; std::getline(s, cell, ',');) out->push_back(cell);
  }
  for (std::size_t i = 0; i < names.size() && i < cells.size(); ++i)
    if (names[i] == column) return std::stod(cells[i]);
  ADD_FAILURE() << "no " << column << " in " << csv;
  return NAN;
}

TEST(TimingChannel, TheDelayOfTtysimsLineAndItsShiftedClockAreMeasuredFromBothEnds) {
  TempDir dir;
  fs::create_directories(dir.file("day"));
  const std::string script = dir.write("day/script.txt", kScript);
  kit::testing::ChildProcess sim(
      TTYSIM_BIN,
      {"--device",      "compact",
       "--port-dir",    dir.file("ports"),
       "--script",      script,
       "--side",        "even",
       "--cps",         "15",
       "--quiet",       "0.4",
       "--channel",     "text,delay=" + std::to_string(kDelayMs) + ",jitter=" + std::to_string(kJitterMs),
       "--seed",        "5",
       "--record",      dir.file("day"),
       "--computer-id", "FAR",
       "--clock-shift", "30",
       "--linger",      "60",
       "--timeout",     "120"},
      SIGKILL);
  ASSERT_TRUE(sim.readUntil("\n", std::chrono::seconds(30))) << sim.output();
  const std::string& ready = sim.output();
  const std::size_t at = ready.find("link=");
  ASSERT_NE(at, std::string::npos) << ready;
  const std::string link = ready.substr(at + 5, ready.find(' ', at) - at - 5);
  const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0) << link;
  {
    NearEnd near(fd);  // a direct TTY: the call is up as the port opens
    ASSERT_TRUE(near.send("HELLO THIS IS THE LAB GA ", 15));
    ASSERT_TRUE(near.awaitTurn("GA", 30)) << sim.readAvailable();
    ASSERT_TRUE(near.send("GOOD NOW THE NUMBERS 911 555 0142 GA ", 15));
    ASSERT_TRUE(near.awaitTurn("SK", 30)) << sim.readAvailable();
    // A call as long as the ones in the field: with the far end's clock 30 s ahead, the two
    // records overlap in time only when the call lasts longer than that, and records that do
    // not overlap are not taken for the two ends of one call.
    ASSERT_TRUE(near.hold(kShift + 6));
    near.save(dir.file("day"), script, near.now());
  }
  close(fd);
  ASSERT_TRUE(sim.readToEnd(std::chrono::seconds(60)));
  ASSERT_EQ(sim.wait(), 0) << sim.output();
  ASSERT_NE(sim.output().find(" record "), std::string::npos) << sim.output();

  // The clock estimated from the two directions of the call, as NTP does.
  auto r = runProgram({FIELDREPORT_BIN, dir.file("day"), "--summary-csv", dir.file("s.csv"), "--timing-csv",
                       dir.file("t.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::size_t clocks = r.out.find("Clocks as the characters give them");
  ASSERT_NE(clocks, std::string::npos) << r.out;
  const std::size_t row = r.out.find("  FAR ", clocks);
  ASSERT_NE(row, std::string::npos) << r.out;
  char partner[16] = "";
  double ahead = NAN;
  ASSERT_EQ(std::sscanf(r.out.c_str() + row, " FAR %15s %lf", partner, &ahead), 2) << r.out.substr(row, 200);
  EXPECT_EQ(std::string(partner), "LAB");
  EXPECT_NEAR(ahead, -kShift, 0.050) << "LAB's clock reads 30 s behind FAR's";
  const double estimated = summaryFigure(readFile(dir.file("s.csv")), "delay_median_s");

  // With the clocks given, each direction's delays stand on their own, without NTP's assumption.
  r = runProgram({FIELDREPORT_BIN, dir.file("day"), "--clock-offset", "FAR=30", "--summary-csv",
                  dir.file("g.csv"), "--by", "COMPUTERID"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string given = readFile(dir.file("g.csv"));
  // One row per receiving end: FAR then LAB.
  std::istringstream rows(given);
  std::string header, far, lab;
  std::getline(rows, header);
  std::getline(rows, far);
  std::getline(rows, lab);
  const double intoFar = summaryFigure(header + "\n" + far, "delay_median_s"),
               intoLab = summaryFigure(header + "\n" + lab, "delay_median_s");
  EXPECT_NEAR(estimated, kDelayMs / 1000.0, 0.020);
  EXPECT_NEAR(intoFar, kDelayMs / 1000.0, 0.020);
  EXPECT_NEAR(intoLab, kDelayMs / 1000.0, 0.020);
  std::cout << "set delay " << kDelayMs << " ms, jitter " << kJitterMs << " ms, far clock +" << kShift
            << " s: measured median one-way delay " << estimated * 1000 << " ms (clock estimated), "
            << intoFar * 1000 << " ms to the far end and " << intoLab * 1000
            << " ms to the near end (clock given); clock estimated " << -ahead << " s\n";
}

}  // namespace
