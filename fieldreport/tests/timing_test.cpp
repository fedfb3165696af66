// SPDX-License-Identifier: Apache-2.0
// The timing figures as a lab reads them: a call whose every time was chosen by hand and every
// figure worked out by hand; the alignment the delays are matched through is score's own; and a
// day without timing files is reported as before.
#include "timing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "alignment.h"
#include "capture_maker.h"
#include "run_program.h"
#include "scoring.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kit::testing::ProgramResult;
using kit::testing::readFile;
using kit::testing::runProgram;
using kit::testing::TempDir;

ProgramResult run(std::vector<std::string> args) {
  args.insert(args.begin(), FIELDREPORT_BIN);
  return runProgram(args);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
    out.push_back(text.substr(from, end - from));
  return out;
}

TEST(TimingAlignment, TheCharactersMatchedAreScoresOwn) {
  // Every pair of score's alignment, less those changed into the other shift, is a character
  // score counted as correct: the delays are matched through the very alignment the rates are.
  std::mt19937_64 rng(11);
  for (int call = 0; call < 40; ++call) {
    const auto turns = capture_maker::makeTurns(rng, 12);
    std::string reference;
    for (const auto& turn : turns)
      for (const auto& line : turn) reference += line + " ";
    const capture_maker::Channel channel{0.02 * (call % 4), 0.03 * (call % 3), 0.01 * (call % 2),
                                         0.05 * (call % 5)};
    const std::string received = capture_maker::garble(rng, reference, channel);
    const fieldreport::KeptText master = fieldreport::keptText(reference),
                                compare = fieldreport::keptText(received);
    const auto pairs = fieldreport::alignedPairs(master.text, compare.text);
    int changed = 0;
    int lastM = -1, lastC = -1;
    for (const auto& [m, c] : pairs) {
      EXPECT_GT(m, lastM);
      EXPECT_GT(c, lastC);
      lastM = m;
      lastC = c;
      changed += master.text[static_cast<std::size_t>(m)] != compare.text[static_cast<std::size_t>(c)];
    }
    const fieldreport::Figures f = fieldreport::scoreTexts(reference, received);
    EXPECT_EQ(static_cast<int>(pairs.size()) - changed, f.pcer.correct) << "call " << call;
  }
}

// One call saved at both ends, every time chosen by hand. The lab (LAB, answering) sends turns 1
// and 3, the car (CAR) turn 2. CAR's computer started its call 2 s before LAB's and its clock
// reads 30 s ahead; each character takes about 0.4 s one way. Times in ms, the lab's clock
// being the true one (L = LAB's start):
//   turn 1 "HI GA " sent by LAB at 1000..1500 (every 100), delays 400 420 380 400 410 400,
//          so received by CAR at true 1400 1520 1580 1700 1810 1900 = CAR 3400 3520 3580 3700 3810 3900;
//   turn 2 "OK GA " sent by CAR at 4500..5000 (true 2500..3000); the O is lost; K, space, G, A and
//          the last space take 390 412 400 420 400: LAB receives them at 2990 3112 3200 3320 3400;
//   turn 3 "BYE SK " sent by LAB at 4000..4600; each takes 400: CAR 6400..7000.
class HandTimedCall : public ::testing::Test {
 protected:
  static constexpr long long kLab = 1791972000000;  // LAB's start, ms since 1970
  static constexpr long long kCar = kLab - 2000 + 30000;

  void SetUp() override {
    fs::create_directories(dir.file("day"));
    dir.write("day/script.txt", "HI GA\r\n\r\nOK GA\r\n\r\nBYE SK\r\n\r\n");
    const std::string script = dir.file("day/script.txt");
    auto record = [&](const std::string& id, const std::string& direction, const std::string& started,
                      const std::string& ended, const std::string& conversation) {
      return "================================================================\r\nStarted at " + started +
             "\r\n\r\n" + conversation + "\r\n\r\nEnded at " + ended +
             " (60.0 seconds)\r\nCOMPUTERID: " + id +
             "\r\nTYPE: Landline Calls (Direct connection)\r\nDIRECTION: " + direction +
             "\r\nSIGNAL: N/A (Landline calls)\r\nCABLEID: N/A\r\nPHONEMODEL: N/A\r\nPHONETECH: N/A\r\n"
             "USERNAME: tester\r\nLOCATION: bench\r\nNETWORKINFO: line\r\nDEVICE: NXi modem\r\nPORT: 1\r\n"
             "TURBOCODEDETECTED: No\r\nSCRIPTCOMPLETED: Yes\r\nSCRIPTUSED: " +
             script + "\r\n\r\n";
    };
    lab = dir.write("day/1014-1000-LAB.TXT",
                    record("LAB", "Incoming Call", "10/14/26 10:00:00", "10/14/26 10:01:00",
                           "SEND: HI GA \r\n\r\nRECD: K GA \r\n\r\nSEND: BYE SK"));
    car = dir.write("day/1014-1000-CAR.TXT",
                    record("CAR", "Outgoing Call", "10/14/26 10:00:28", "10/14/26 10:01:28",
                           "RECD: HI GA \r\n\r\nSEND: OK GA \r\n\r\nRECD: BYE SK"));
  }

  // modemCodes: each end's modem also passed on its in-band codes, as an NXi does: 31 when the
  // far end's carrier came on (before its turn), 30 when it went off (after it), 18 and 20 now and
  // then. The capture's text never shows them.
  void writeTimes(bool modemCodes = false) {
    using timing::Direction;
    auto add = [](timing::RecordTimes& r, Direction d, const std::string& text, std::vector<long long> ms) {
      ASSERT_EQ(text.size(), ms.size());
      for (std::size_t i = 0; i < text.size(); ++i)
        r.chars.push_back({d, ms[i], static_cast<unsigned char>(text[i])});
    };
    auto codes = [&](timing::RecordTimes& r, std::string text, std::vector<long long> ms) {
      if (modemCodes) add(r, Direction::Received, text, ms);
    };
    timing::RecordTimes l{"10/14/26 10:00:00", kLab, {}}, c{"10/14/26 10:00:28", kCar, {}};
    add(l, Direction::Sent, "HI GA ", {1000, 1100, 1200, 1300, 1400, 1500});
    codes(l, "\x1f\x12", {2900, 2950});
    add(l, Direction::Received, "K GA ", {2990, 3112, 3200, 3320, 3400});
    codes(l, "\x1e", {3700});
    add(l, Direction::Sent, "BYE SK ", {4000, 4100, 4200, 4300, 4400, 4500, 4600});
    codes(c, "\x1f", {3300});
    add(c, Direction::Received, "HI GA ", {3400, 3520, 3580, 3700, 3810, 3900});
    codes(c, "\x1e\x14", {4200, 4210});
    add(c, Direction::Sent, "OK GA ", {4500, 4600, 4700, 4800, 4900, 5000});
    codes(c, "\x1f", {6300});
    add(c, Direction::Received, "BYE SK ", {6400, 6500, 6600, 6700, 6800, 6900, 7000});
    codes(c, "\x1e", {7300});
    ASSERT_EQ(timing::appendRecord(timing::timingPathFor(lab), l), "");
    ASSERT_EQ(timing::appendRecord(timing::timingPathFor(car), c), "");
  }

  TempDir dir;
  std::string lab, car;
};

TEST_F(HandTimedCall, EveryFigureAsWorkedOutByHand) {
  writeTimes();
  const ProgramResult r = run({dir.file("day"), "--timing-csv", dir.file("t.csv"), "--summary-csv",
                               dir.file("s.csv"), "--html", dir.file("r.html")});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  // The clock: into CAR the raw delays are 30000 + delay (median 30400 of its 12 characters),
  // into LAB delay - 30000 (-29610 -29588 -29600 -29580, median -29594): CAR's clock read
  // (30400 + 29594) / 2 = 29997 ms ahead. Each delay is its raw value less that (into CAR) or
  // plus it (into LAB): turn 1 403 423 383 403 413 403, turn 2 387 409 397 417, turn 3 403 each.
  // Reply delays: CAR began turn 2 at 4500, 690 ms after the A of GA reached it (3810); LAB
  // began turn 3 at 4000, 680 ms after its A (3320). Pace where each turn arrived: turn 1
  // 6 characters in 500 ms, 10 a second; turn 2 4 in 330 ms, 9.09; turn 3 6 in 500 ms.
  const std::string path = dir.file("day");
  EXPECT_EQ(
      readFile(dir.file("t.csv")),
      "file,record,call,turn,side,chars_sent,chars_received,reply_delay_s,cps,delay_median_s,delay_p95_s,"
      "delay_max_s,lost_at_start\r\n" +
          path + "/1014-1000-CAR.TXT,1,1,1,far,6,6,,10.00,0.403,0.423,0.423,0\r\n" + path +
          "/1014-1000-CAR.TXT,1,1,2,near,5,4,0.690,9.09,0.403,0.417,0.417,1\r\n" + path +
          "/1014-1000-CAR.TXT,1,1,3,far,6,6,0.680,10.00,0.403,0.403,0.403,0\r\n" + path +
          "/1014-1000-LAB.TXT,1,1,1,near,6,6,,10.00,0.403,0.423,0.423,0\r\n" + path +
          "/1014-1000-LAB.TXT,1,1,2,far,5,4,0.690,9.09,0.403,0.417,0.417,1\r\n" + path +
          "/1014-1000-LAB.TXT,1,1,3,near,6,6,0.680,10.00,0.403,0.403,0.403,0\r\n");
  // The condition: 16 delays, 383 387 397 403 (9 times) 409 413 417 423: median 403, 95th
  // percentile the 16th (the smallest with 95 % at or below it), 423; replies 680 and 690.
  const std::vector<std::string> summary = lines(readFile(dir.file("s.csv")));
  ASSERT_EQ(summary.size(), 2u);
  EXPECT_TRUE(summary[0].ends_with(
      ",verdict,delay_median_s,delay_p95_s,reply_delay_median_s,verdict_reason,calls_needed"))
      << summary[0];
  // Then the further calls it needs, a number.
  const std::string figures = ",0.403,0.423,0.685,fewer than 3 calls,";
  const std::size_t at = summary[1].find(figures);
  ASSERT_NE(at, std::string::npos) << summary[1];
  const std::string needed = summary[1].substr(at + figures.size());
  EXPECT_FALSE(needed.empty()) << summary[1];
  EXPECT_EQ(needed.find_first_not_of("0123456789"), std::string::npos) << summary[1];
  // The terminal states the clock with the figures, and the condition's three figures.
  EXPECT_NE(r.out.find("+29.997"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0.403"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0.685"), std::string::npos) << r.out;
  // The page carries the condition's delays against the limit.
  const std::string page = readFile(dir.file("r.html"));
  EXPECT_NE(page.find("id=\"delays\""), std::string::npos);
  EXPECT_NE(page.find("\"delayLimit\":1"), std::string::npos);
}

TEST_F(HandTimedCall, AModemsInBandCodesInTheTimesChangeNoFigure) {
  // The same call with the modem's carrier codes among the received characters: every turn's
  // delays, pace and reply delay are those worked out by hand above, and the rates are the same.
  writeTimes(true);
  const ProgramResult r = run({dir.file("day"), "--timing-csv", dir.file("t.csv"), "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  const std::vector<std::string> rows = lines(readFile(dir.file("t.csv")));
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_TRUE(rows[1].ends_with("CAR.TXT,1,1,1,far,6,6,,10.00,0.403,0.423,0.423,0")) << rows[1];
  EXPECT_TRUE(rows[2].ends_with("CAR.TXT,1,1,2,near,5,4,0.690,9.09,0.403,0.417,0.417,1")) << rows[2];
  EXPECT_TRUE(rows[3].ends_with("CAR.TXT,1,1,3,far,6,6,0.680,10.00,0.403,0.403,0.403,0")) << rows[3];
  EXPECT_TRUE(rows[4].ends_with("LAB.TXT,1,1,1,near,6,6,,10.00,0.403,0.423,0.423,0")) << rows[4];
  EXPECT_TRUE(rows[5].ends_with("LAB.TXT,1,1,2,far,5,4,0.690,9.09,0.403,0.417,0.417,1")) << rows[5];
  EXPECT_TRUE(rows[6].ends_with("LAB.TXT,1,1,3,near,6,6,0.680,10.00,0.403,0.403,0.403,0")) << rows[6];
  EXPECT_NE(r.out.find("+29.997"), std::string::npos) << r.out;
  const std::string rates = readFile(dir.file("r.csv"));
  fs::remove(timing::timingPathFor(lab));
  fs::remove(timing::timingPathFor(car));
  writeTimes(false);
  ASSERT_EQ(run({dir.file("day"), "--csv", dir.file("r.csv")}).exitCode, 0);
  EXPECT_EQ(readFile(dir.file("r.csv")), rates);
}

TEST_F(HandTimedCall, ThePageDrawsEachConditionsDelaysAgainstTheLimit) {
  std::string program;
  for (const char* candidate : {"/usr/bin/chromium-headless-shell", "/usr/bin/chromium"})
    if (fs::exists(candidate)) program = candidate;
  if (program.empty())
    GTEST_SKIP() << "no chromium-headless-shell or chromium (scripts/install-deps installs it)";
  writeTimes();
  const ProgramResult r = run({dir.file("day"), "--html", dir.file("r.html"), "--delay-limit", "0.41"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const ProgramResult shown =
      runProgram({program, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--user-data-dir=" + dir.file("profile"),
                  "--window-size=1400,1000", "--dump-dom", "file://" + dir.file("r.html")});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  const std::string& dom = shown.out;
  const std::size_t body = dom.find("<body");
  ASSERT_NE(body, std::string::npos);
  const std::string bodyTag = dom.substr(body, dom.find('>', body) + 1 - body);
  // The seven charts of the rates and one of the condition's delays, drawn without an error.
  EXPECT_EQ(bodyTag.rfind("<body data-charts=\"8\" data-ready-ms=\"", 0), 0u) << bodyTag;
  EXPECT_NE(dom.find("data-delays=\"16\""), std::string::npos);
  // The call table gives each direction's delays and reply delay.
  EXPECT_NE(dom.find("0.403 / 0.417 / 0.417"), std::string::npos);
  EXPECT_NE(dom.find("\"delayLimit\":0.41"), std::string::npos);
}

TEST_F(HandTimedCall, AClockGivenReplacesTheEstimateAndOneEndAloneGivesWhatItCan) {
  writeTimes();
  // Given CAR's clock 30 s ahead, the delays are the true ones.
  ProgramResult r = run({dir.file("day"), "--clock-offset", "CAR=30", "--timing-csv", dir.file("t.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  std::vector<std::string> rows = lines(readFile(dir.file("t.csv")));
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_TRUE(rows[4].ends_with("LAB.TXT,1,1,1,near,6,6,,10.00,0.400,0.420,0.420,0")) << rows[4];
  EXPECT_TRUE(rows[5].ends_with("LAB.TXT,1,1,2,far,5,4,0.690,9.09,0.406,0.420,0.420,1")) << rows[5];
  // The clock given is used, and what the characters say is shown beside it.
  EXPECT_NE(r.out.find("--clock-offset (the characters say -29.997)"), std::string::npos) << r.out;

  // The lab's record alone (the car's capture not given): its own sending and receiving, no
  // one-way delays, nothing of what the car received.
  r = run({lab, "--timing-csv", dir.file("t.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  rows = lines(readFile(dir.file("t.csv")));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1], lab + ",1,1,1,near,6,,,,,,,");
  EXPECT_EQ(rows[2], lab + ",1,1,2,far,,4,,9.09,,,,1");
  EXPECT_EQ(rows[3], lab + ",1,1,3,near,6,,0.680,,,,,");

  // The car's capture with times and the lab's without: the car's side of each turn.
  fs::remove(timing::timingPathFor(lab));
  r = run({dir.file("day"), "--timing-csv", dir.file("t.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  rows = lines(readFile(dir.file("t.csv")));
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_TRUE(rows[4].ends_with("LAB.TXT,1,1,1,near,,6,,10.00,,,,0")) << rows[4];
  EXPECT_TRUE(rows[5].ends_with("LAB.TXT,1,1,2,far,5,4,0.690,,,,,1")) << rows[5];
}

TEST_F(HandTimedCall, TimingFilesThatAreDamagedOrNamedAreNotedAndNeverStopTheReport) {
  writeTimes();
  // A crash broke off a line, and a call the program never saved left its times behind.
  {
    std::string bytes = readFile(timing::timingPathFor(car));
    bytes += "10/14/26 10:03:00,1791972180000,sent,100,65,A\n10/14/26 10:03:00,17919721";
    dir.write("day/1014-1000-CAR.timing.csv", bytes);
  }
  // A timing file named on the command line (as day/* names it) is no capture.
  ProgramResult r = run({lab, car, timing::timingPathFor(lab), "--timing-csv", dir.file("t.csv")});
  EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("a timing file: read with its capture file, not as a capture"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 line that did not read whole"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the times of 1 call started at \"10/14/26 10:03:00\" with no record in it"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(lines(readFile(dir.file("t.csv"))).size(), 7u) << "the figures as before";
  // A file of something else where the timing file should be.
  dir.write("day/1014-1000-LAB.timing.csv", "not times\n");
  r = run({dir.file("day"), "--timing-csv", dir.file("t.csv")});
  EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("cannot be read (not a timing file"), std::string::npos) << r.out;
  // No output may overwrite a timing file read.
  r = run({dir.file("day"), "--timing-csv", timing::timingPathFor(car)});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("it is one of the inputs"), std::string::npos) << r.err;
}

TEST(TimingDay, TtysimsOwnRecordBesideTheProgramsTypesTheNumberOfTheCall) {
  // ttysim saving its own record (--record) is a far end with a record that types {call} as the
  // number of the call: the program's record beside it is scored against that number.
  TempDir dir;
  fs::create_directories(dir.file("day"));
  const std::string script = dir.write("day/script.txt", "HELLO GA\r\n\r\nTHIS IS CALL {call} SK\r\n\r\n");
  auto record = [&](const std::string& id, const std::string& direction, const std::string& started,
                    const std::string& conversation) {
    return "================================================================\r\nStarted at " + started +
           "\r\n\r\n" + conversation +
           "\r\n\r\nEnded at 10/14/26 10:01:00 (50.0 seconds)\r\nCOMPUTERID: " + id +
           "\r\nTYPE: Landline Calls (Direct connection)\r\nDIRECTION: " + direction +
           "\r\nSIGNAL: N/A (Landline calls)\r\nCABLEID: N/A\r\nPHONEMODEL: N/A\r\nPHONETECH: N/A\r\n"
           "USERNAME: tester\r\nLOCATION: bench\r\nNETWORKINFO: line\r\nDEVICE: NXi modem\r\nPORT: 1\r\n"
           "TURBOCODEDETECTED: No\r\nSCRIPTCOMPLETED: Yes\r\nSCRIPTUSED: " +
           script + "\r\n\r\n";
  };
  dir.write("day/1014-1000-LAB.TXT", record("LAB", "Incoming Call", "10/14/26 10:00:10",
                                            "SEND: HELLO GA \r\n\r\nRECD: THIS IS CALL 2 SK"));
  dir.write("day/1014-1000-FAREND.TXT", record("FAREND", "Outgoing Call", "10/14/26 10:00:10",
                                               "RECD: HELLO GA \r\n\r\nSEND: THIS IS CALL 2 SK"));
  const ProgramResult r = run({dir.file("day"), "--csv", dir.file("r.csv")});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  const std::vector<std::string> rows = lines(readFile(dir.file("r.csv")));
  ASSERT_EQ(rows.size(), 3u);
  for (const std::string& row : {rows[1], rows[2]})
    EXPECT_NE(row.find(",100.00,0.00,0.00,0.00,0.00,"), std::string::npos) << row;
  EXPECT_NE(rows[2].find(",1,"), std::string::npos) << "paired";
}

TEST(TimingDay, WithoutTimingFilesTheReportIsAsBeforeAndTimesChangeNoRate) {
  TempDir dir;
  capture_maker::DayOptions day;
  day.calls = 12;
  const auto files = capture_maker::writeDay(dir.file("day"), day);
  const std::vector<std::string> outputs = {"--csv",         dir.file("a.csv"),
                                            "--summary-csv", dir.file("a-summary.csv"),
                                            "--timing-csv",  dir.file("a-timing.csv")};
  std::vector<std::string> args = {dir.file("day")};
  args.insert(args.end(), outputs.begin(), outputs.end());
  const ProgramResult plain = run(args);
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  // Nothing of the timing appears: the summary's columns end with its verdict, no clocks of
  // characters, no rows of turns.
  EXPECT_TRUE(
      lines(readFile(dir.file("a-summary.csv")))[0].ends_with(",cer_high,verdict,verdict_reason,calls_needed"));
  EXPECT_EQ(lines(readFile(dir.file("a-timing.csv"))).size(), 1u);
  EXPECT_EQ(plain.out.find("delay"), std::string::npos) << plain.out;

  // Times for one record: every rate and every other column stay as they were, the timing
  // columns coming before the reason and the calls needed, which are always last.
  const std::string capture = files.front().path;
  const auto records = lines(readFile(capture));
  timing::RecordTimes t{records[1].substr(11), 1790000000000, {{timing::Direction::Received, 900, 'E'}}};
  ASSERT_EQ(timing::appendRecord(timing::timingPathFor(capture), t), "");
  args[2] = dir.file("b.csv");
  args[4] = dir.file("b-summary.csv");
  args[6] = dir.file("b-timing.csv");
  const ProgramResult timed = run(args);
  ASSERT_EQ(timed.exitCode, 0) << timed.err;
  EXPECT_EQ(readFile(dir.file("b.csv")), readFile(dir.file("a.csv")));
  const auto before = lines(readFile(dir.file("a-summary.csv"))),
             after = lines(readFile(dir.file("b-summary.csv")));
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    const std::string reason = before[i].substr(before[i].rfind(',', before[i].rfind(',') - 1));
    EXPECT_TRUE(after[i].starts_with(before[i].substr(0, before[i].size() - reason.size()) + ","))
        << after[i];
    EXPECT_TRUE(after[i].ends_with(reason)) << after[i];
  }
  EXPECT_GT(lines(readFile(dir.file("b-timing.csv"))).size(), 1u);
}

}  // namespace
