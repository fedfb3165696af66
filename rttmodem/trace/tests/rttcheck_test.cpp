// SPDX-License-Identifier: Apache-2.0
// rttcheck on trace files: the table on the terminal, the CSV, and an exit status a script can act
// on; a trace it cannot read named with its line, the others judged all the same.
#include <gtest/gtest.h>

#include <sstream>

#include "far_end_double.h"
#include "run_program.h"
#include "temp_dir.h"
#include "verdict_report.h"

namespace rttmodem::trace {
namespace {

using kit::testing::readFile;
using kit::testing::runProgram;
using kit::testing::TempDir;

void writeDay(const TempDir& dir, const std::string& prefix, const testing::Faults& faults) {
  int n = 0;
  for (const Trace& t : testing::farEndDay(faults)) dir.write(prefix + "-" + std::to_string(++n) + ".rtttrace", formatTrace(t));
}

std::vector<std::string> lines(const std::string& text, const std::string& end = "\n") {
  std::vector<std::string> out;
  std::size_t from = 0, at;
  while ((at = text.find(end, from)) != std::string::npos) {
    out.push_back(text.substr(from, at - from));
    from = at + end.size();
  }
  return out;
}

TEST(Rttcheck, JudgesAFolderOfTracesWithATableACsvAndExitOneWhenARuleFails) {
  TempDir dir;
  TempDir traces;
  writeDay(traces, "good", {});
  testing::Faults slow;
  slow.intervalMs = 700;
  traces.write("slow.rtttrace", formatTrace(testing::farEndDay(slow).front()));
  traces.write("notes.txt", "not a trace");
  const std::string csv = dir.file("verdicts.csv");
  const auto r = runProgram({RTTCHECK_BIN, traces.path().string(), "--csv", csv});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err, "");
  // Each call's table: the failing rule in capitals with its clause and evidence below it.
  EXPECT_NE(r.out.find("slow.rtttrace: call 1 (caller) with sip:far@192.0.2.9, 66.0 s"), std::string::npos) << r.out;
  const std::size_t slowAt = r.out.find("slow.rtttrace: call");
  const std::size_t row = r.out.find("FAIL          timing.interval  TS 26.114 9.4; RFC 5194; EN 301 549 6.2.4", slowAt);
  ASSERT_NE(row, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("                - packet ", row), std::string::npos);
  EXPECT_NE(r.out.find("700 ms after the previous packet while typing", row), std::string::npos);
  // The tally of each rule over the four calls.
  EXPECT_NE(r.out.find("timing.interval     3     0     1     0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sdp.add-text        1     0     0     3\n"), std::string::npos) << r.out;

  const std::vector<std::string> rows = lines(readFile(csv), "\r\n");
  ASSERT_EQ(rows.size(), 1 + 4 * rules().size());
  EXPECT_EQ(rows[0], kCsvHeader);
  int failed = 0;
  for (const std::string& line : rows)
    if (line.find(",timing.interval,") != std::string::npos && line.find(",fail,") != std::string::npos) {
      ++failed;
      EXPECT_NE(line.find("slow.rtttrace,1,caller,sip:far@192.0.2.9,2025-06-02T09:00:00.000Z,66.0,yes,"),
                std::string::npos)
          << line;
      EXPECT_NE(line.find(",TS 26.114 9.4; RFC 5194; EN 301 549 6.2.4,fail,"), std::string::npos) << line;
      EXPECT_NE(line.find("\"packet "), std::string::npos) << line;  // evidence with commas, quoted
    }
  EXPECT_EQ(failed, 1);
}

TEST(Rttcheck, AWellBehavedFarEndExitsZeroAndSummarisesEachCall) {
  TempDir traces;
  writeDay(traces, "good", {});
  const auto r = runProgram({RTTCHECK_BIN, "--summary", traces.file("good-1.rtttrace"), traces.file("good-3.rtttrace")});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  const auto out = lines(r.out);
  ASSERT_GE(out.size(), 4u) << r.out;
  EXPECT_NE(out[0].find("good-1.rtttrace: call 1"), std::string::npos);
  EXPECT_EQ(out[1], "  14 pass, 2 not exercised");  // a call with audio: no offer of text alone, no text added
  EXPECT_EQ(out[3], "  11 pass, 5 not exercised") << r.out;  // text alone: no audio, no re-INVITE, little text
}

TEST(Rttcheck, ATraceItCannotReadIsNamedWithItsLineAndTheOthersAreJudged) {
  TempDir traces;
  writeDay(traces, "good", {});
  const std::string broken = traces.write("broken.rtttrace", "rtt-trace 1\ncall id=\"9\"\nrtp 1.0 in seq=1\n");
  std::string text = formatTrace(testing::farEndDay({}).back());
  text.resize(text.rfind("end "));  // the call cut short: no end line
  traces.write("cut.rtttrace.part", text);
  const auto r = runProgram({RTTCHECK_BIN, traces.path().string()});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("rttcheck: " + broken + ": line 3: "), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("good-3.rtttrace: call 3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("cut.rtttrace.part: call 3 (caller) with sip:far@192.0.2.9, 9.0 s, 10 packets in, 7 out, cut short\n"
                       "  (the trace has no end line: the call was cut short)"),
            std::string::npos)
      << r.out;
}

TEST(Rttcheck, RefusesWhatItCannotDoBeforeReadingAnything) {
  TempDir dir;
  auto r = runProgram({RTTCHECK_BIN});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("no trace given"), std::string::npos);
  r = runProgram({RTTCHECK_BIN, "--colour", dir.path().string()});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("unknown option '--colour'"), std::string::npos) << r.err;
  const std::string trace = dir.write("a.rtttrace", formatTrace(testing::farEndDay({}).back()));
  r = runProgram({RTTCHECK_BIN, trace, "--csv", trace});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("would write over the trace"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(trace), formatTrace(testing::farEndDay({}).back()));
  r = runProgram({RTTCHECK_BIN, dir.path().string(), "--csv", dir.file("no/such/folder/x.csv")});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace rttmodem::trace
