// SPDX-License-Identifier: Apache-2.0
// A whole call over ttysim's line with a set delay: the program's timing file and the far end's, paired
// by fieldreport, give the line's delay back in each direction.
#include "timing.h"

#include <QPushButton>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "e2e_harness.h"
#include "records/journal.h"
#include "run_program.h"

namespace e2e {
namespace {

using kit::testing::readFile;
using kit::testing::runProgram;

constexpr int kDelayMs = 200;

const std::string kScript =
    "HELLO THIS IS THE LAB GA\r\n"
    "\r\n"
    "HI LAB I READ YOU FINE GA\r\n"
    "\r\n"
    "GOOD NOW THE NUMBERS 911 555 0142 GA\r\n"
    "\r\n"
    "911 555 0142 THANK YOU BYE SK\r\n"
    "\r\n";

// The rows of a CSV file without quoted cells, each a map from the header's names to the cells.
std::vector<std::map<std::string, std::string>> Rows(const std::string& csv) {
  std::istringstream in(csv);
  std::vector<std::string> names;
  std::vector<std::map<std::string, std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells;
    std::stringstream s(line);
    for (std::string cell; std::getline(s, cell, ',');) cells.push_back(cell);
    if (names.empty()) {
      names = cells;
      continue;
    }
    std::map<std::string, std::string>& row = rows.emplace_back();
    for (std::size_t i = 0; i < names.size() && i < cells.size(); ++i) row[names[i]] = cells[i];
  }
  return rows;
}

// A figure of the summary CSV: the column's value in each row, in row order.
std::vector<double> Column(const std::string& csv, const std::string& name) {
  std::vector<double> values;
  for (const auto& row : Rows(csv))
    if (const auto cell = row.find(name); cell != row.end())
      values.push_back(cell->second.empty() ? NAN : std::stod(cell->second));
  return values;
}

// Storage that takes 300 ms for every sync (an SD card, a USB stick): the delay is the fault the
// test plays, not a wait for something.
int SlowSync(int fd) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return ::fdatasync(fd);
}

class TimedCall : public FieldTest {
 protected:
  void TearDown() override {
    corvalis::SetJournalDataSync(nullptr);
    FieldTest::TearDown();
  }

  // One call over a line with kDelayMs each way, and what fieldreport makes of both ends' times: the
  // median delay each way (checked), for each way of setting the clocks, in Measured; the 95th
  // percentile of the delays into the program, the larger of the two; and the largest delay of any
  // character into the program.
  void Call(std::string& measured, double& p95IntoProgram, double& largestIntoProgram) {
    Prepare("NXi modem", kScript);
    ASSERT_NO_FATAL_FAILURE(StartSim(
        {"--device", "nxi", "--script", scriptPath, "--side", "even", "--ring-on-signal", "--cps", "30",
         "--quiet", "0.5", "--connect-delay", "0.3", "--channel",
         "text,delay=" + std::to_string(kDelayMs) + ",jitter=0", "--record", logDir, "--computer-id", "FAR"}));
    ASSERT_NO_FATAL_FAILURE(OpenWindow());
    ASSERT_NO_FATAL_FAILURE(RingWhenInitialised("AT#L1"));
    ASSERT_EQ(ServeUntilSimExits(), 0) << sim->Console();
    ASSERT_TRUE(ServeUntil([&] { return form->StartCallButton->isEnabled(); })) << Boxes();
    EXPECT_EQ(Boxes(), "");

    // The program's times: what it sent and what it received, in one record keyed as its capture's.
    const std::string own = logDir + "/" + form->State.FilePrefix + "-E2E";
    const timing::TimingFile times = timing::readTimingFile(readFile(own + ".timing.csv"));
    ASSERT_EQ(times.records.size(), 1u);
    EXPECT_EQ(times.badLines, 0);
    int sent = 0, received = 0;
    for (const timing::CharTime& c : times.records[0].chars)
      (c.direction == timing::Direction::Sent ? sent : received)++;
    EXPECT_GE(sent, 60);
    EXPECT_GE(received, 50);

    // One row per receiving end (the program's, then the far end's): the clocks estimated from the
    // two directions of the call, then given as the same, each direction's delays on their own.
    const std::string summary = dir.file("summary.csv"), turns = dir.file("turns.csv");
    p95IntoProgram = 0;
    for (const std::string clock : {"estimated", "given"}) {
      std::vector<std::string> args = {FIELDREPORT_BIN, logDir,  "--by",         "COMPUTERID",
                                       "--summary-csv",  summary, "--timing-csv", turns};
      if (clock == "given") args.insert(args.end(), {"--clock-offset", "FAR=0"});
      const auto r = runProgram(args);
      ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
      const std::vector<double> median = Column(readFile(summary), "delay_median_s"),
                                p95 = Column(readFile(summary), "delay_p95_s");
      ASSERT_EQ(median.size(), 2u) << readFile(summary);
      for (double m : median) EXPECT_NEAR(m, kDelayMs / 1000.0, 0.020) << r.out;
      p95IntoProgram = std::max(p95IntoProgram, p95[0]);
      for (std::size_t i = 0; i < 2; ++i)
        measured += std::string(i ? ", into the far end " : "; clock " + clock + ": into the program ") +
                    std::to_string(std::lround(median[i] * 1000)) + " ms (95 % " +
                    std::to_string(std::lround(p95[i] * 1000)) + " ms)";
    }
    // The far end's turns in the program's record are what the program received.
    largestIntoProgram = 0;
    for (auto& row : Rows(readFile(turns)))
      if (row["file"] == own + ".TXT" && row["side"] == "far" && !row["delay_max_s"].empty())
        largestIntoProgram = std::max(largestIntoProgram, std::stod(row["delay_max_s"]));
  }
};

TEST_F(TimedCall, TheDelayOfTheLineComesBackFromTheTimesOfBothEnds) {
  std::string measured;
  double p95 = 0, largest = 0;
  ASSERT_NO_FATAL_FAILURE(Call(measured, p95, largest));
  std::cout << "set delay " << kDelayMs << " ms, no jitter: median one-way delay" << measured
            << "; largest " << std::lround(largest * 1000) << " ms\n";
}

// The same call on storage that takes 300 ms a sync: the figures show whether the journal's syncs
// hold up the timing of received characters (they run on a thread of their own; SaveCall's and
// SlowStorage's tests decide that without a clock).
TEST_F(TimedCall, StorageTakingAThirdOfASecondPerSync) {
  corvalis::SetJournalDataSync(&SlowSync);
  std::string measured;
  double p95 = 0, largest = 0;
  ASSERT_NO_FATAL_FAILURE(Call(measured, p95, largest));
  std::cout << "set delay " << kDelayMs << " ms, storage 300 ms a sync: median one-way delay" << measured
            << "; largest " << std::lround(largest * 1000) << " ms, 95 % into the program "
            << std::lround(p95 * 1000) << " ms\n";
}

}  // namespace
}  // namespace e2e
