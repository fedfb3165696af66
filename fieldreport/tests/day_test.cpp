// SPDX-License-Identifier: Apache-2.0
// A day's pipeline judged from its report: when a record's date and time are read (across midnight,
// with a computer's clock ahead, in the order of day and month its computer writes), when a record
// read twice is counted once, which times of a timing file go with which record, and the wire
// traces of real-time text calls judged beside the captures.
#include "day.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "capture/capture.h"
#include "far_end_double.h"
#include "outputs.h"
#include "temp_dir.h"
#include "timing.h"

namespace {

namespace fs = std::filesystem;
using fieldreport::Report;
using fieldreport::ScoredRecord;
using kit::testing::TempDir;

// Three turns: the lab answers and types turns 1 and 3, the car calls and types turn 2.
const char kScript[] = "HI GA\r\n\r\nOK GA\r\n\r\nBYE SK\r\n\r\n";
const char kLabSide[] = "SEND: HI GA \r\n\r\nRECD: OK GA \r\n\r\nSEND: BYE SK";
const char kCarSide[] = "RECD: HI GA \r\n\r\nSEND: OK GA \r\n\r\nRECD: BYE SK";

class Day : public ::testing::Test {
 protected:
  Day() { script = write("scripts/script.txt", kScript); }

  std::string write(const std::string& name, const std::string& bytes) const {
    fs::create_directories(fs::path(dir.file(name)).parent_path());
    return dir.write(name, bytes);
  }

  // One record's bytes: a call of 60 seconds.
  std::string record(const std::string& computer, const std::string& started, const std::string& ended,
                     const std::string& signal = "Strong") const {
    capture::CallValues v;
    v.computerId = computer;
    v.type = "Wireless Calls (Stationary)";
    v.direction = computer == "CAR1" ? "Outgoing Call" : "Incoming Call";
    v.signal = signal;
    v.cableId = "C1";
    v.phoneModel = "X100";
    v.phoneTech = "GSM";
    v.userName = "tester";
    v.location = "Route 9";
    v.networkInfo = "Net A";
    v.device = "NXi modem";
    v.port = "1";
    v.dialNumber = "5550142";
    v.scriptCompleted = true;
    v.scriptUsed = script;
    capture::Record r;
    r.started = started;
    r.ended = capture::endedText(ended, "60.0");
    r.conversation = computer == "CAR1" ? kCarSide : kLabSide;
    r.values = capture::valueLines(v);
    return capture::recordBytes(r);
  }

  const Report& run(const std::string& folder = "day") {
    fieldreport::DayOptions o;
    o.inputs = {dir.file(folder)};
    o.limits = {{fieldreport::Rate::Pcer, 1.0}};
    day = std::make_unique<fieldreport::Day>(o);
    day->run();
    return day->report();
  }

  static std::vector<std::string> notes(const Report& report) {
    std::vector<std::string> texts;
    for (const auto& n : report.notes) texts.push_back(fs::path(n.file).filename().string() + ": " + n.text);
    return texts;
  }

  static bool hasNote(const Report& report, const std::string& text) {
    const auto all = notes(report);
    return std::any_of(all.begin(), all.end(), [&](const std::string& n) { return n.find(text) != n.npos; });
  }

  // The sizes of the calls, in order.
  static std::vector<std::size_t> callSizes(const Report& report) {
    std::vector<std::size_t> sizes;
    for (const auto& c : report.calls) sizes.push_back(c.records.size());
    return sizes;
  }

  TempDir dir;
  std::string script;
  std::unique_ptr<fieldreport::Day> day;
};

TEST_F(Day, ACallOverMidnightAndTheYearsEndWithAClockAheadIsOneCall) {
  // The lab's call starts 30 s before the new year, its file named for the minute its first
  // character was exchanged, in the new year; the car's clock reads 95 s ahead, so its record
  // starts on another day, month and year. A later call of the same pair, wholly in the new year,
  // agrees with the same difference.
  write("day/0101-0000-LAB1.TXT", record("LAB1", "12/31/26 23:59:30", "01/01/27 00:00:30"));
  write("day/0101-0001-CAR1.TXT", record("CAR1", "01/01/27 00:01:07", "01/01/27 00:02:07"));
  write("day/0101-0030-LAB1.TXT", record("LAB1", "01/01/27 00:30:00", "01/01/27 00:31:00"));
  write("day/0101-0031-CAR1.TXT", record("CAR1", "01/01/27 00:31:35", "01/01/27 00:32:35"));
  const Report& r = run();
  ASSERT_EQ(r.records.size(), 4u) << ::testing::PrintToString(notes(r));
  EXPECT_EQ(callSizes(r), (std::vector<std::size_t>{2, 2}));
  ASSERT_EQ(r.clocks.size(), 1u);
  EXPECT_EQ(r.clocks[0].computer, "CAR1");
  EXPECT_NEAR(r.clocks[0].seconds, -95, 1);
  EXPECT_TRUE(r.notes.empty()) << ::testing::PrintToString(notes(r));
  std::vector<std::string> first;
  for (std::size_t i : r.calls[0].records) first.push_back(fs::path(r.records[i].file).filename().string());
  EXPECT_EQ(first, (std::vector<std::string>{"0101-0000-LAB1.TXT", "0101-0001-CAR1.TXT"}));
}

TEST_F(Day, ADateTheFileNameDoesNotSettleIsReadAsItsComputersOtherFilesWriteIt) {
  // EU1 writes the day first: its file of 3 April says so by its name. Its record of 5 April
  // was copied under a name that tells no date; read month first it would be 4 May and lose its
  // far end. US1, whose files never tell, reads as written in the United States, and says so.
  write("day/0403-1405-EU1.TXT", record("EU1", "03/04/26 14:05:07", "03/04/26 14:06:07"));
  write("day/0403-1405-CAR1.TXT", record("CAR1", "2026-04-03 14:05:20", "2026-04-03 14:06:20"));
  write("day/copied from EU1.TXT", record("EU1", "05/04/26 10:00:00", "05/04/26 10:01:00"));
  write("day/0405-1000-CAR1.TXT", record("CAR1", "2026-04-05 10:00:10", "2026-04-05 10:01:10"));
  write("day/kept by US1.TXT", record("US1", "06/04/26 10:00:00", "06/04/26 10:01:00"));
  const Report& r = run();
  ASSERT_EQ(r.records.size(), 5u) << ::testing::PrintToString(notes(r));
  EXPECT_EQ(callSizes(r), (std::vector<std::size_t>{2, 2, 1}));
  EXPECT_FALSE(hasNote(r, "copied from EU1.TXT: neither"));
  EXPECT_TRUE(hasNote(r, "kept by US1.TXT: neither the file's name nor the computer's other files tell whether "
                         "\"06/04/26 10:00:00\" gives the month or the day first: read as written in the "
                         "United States"))
      << ::testing::PrintToString(notes(r));
  // June, not April: alone.
  EXPECT_EQ(r.records[r.calls[2].records[0]].record.value("COMPUTERID")->c_str(), std::string("US1"));
}

TEST_F(Day, ARecordReadTwiceIsCountedOnceButAnotherCallLikeItIsNot) {
  // The lab's record is in the day's folder, again in a backup copy re-saved by an editor as
  // UTF-8 with LF line ends, and saved twice in one file (the program saved the call again after
  // a recovery). The next call ran the same script with the same texts a minute later; another
  // has the first call's start but another signal (a record edited by hand): both are calls.
  const std::string lab = record("LAB1", "09/09/26 14:00:00", "09/09/26 14:01:00");
  write("day/0909-1400-LAB1.TXT", lab);
  write("day/0909-1400-CAR1.TXT", record("CAR1", "09/09/26 14:00:04", "09/09/26 14:01:04"));
  std::string resaved = "\xEF\xBB\xBF";
  for (char c : lab)
    if (c != '\r') resaved += c;
  write("day/backup/0909-1400-LAB1.TXT", resaved);
  write("day/0909-1405-LAB1.TXT", lab + lab);
  write("day/0909-1401-LAB1.TXT", record("LAB1", "09/09/26 14:01:00", "09/09/26 14:02:00"));
  write("day/edited/0909-1400-LAB1.TXT", record("LAB1", "09/09/26 14:00:00", "09/09/26 14:01:00", "Weak"));
  const Report& r = run();
  ASSERT_EQ(r.records.size(), 4u) << ::testing::PrintToString(notes(r));
  ASSERT_EQ(r.duplicates.size(), 3u);
  const std::string original = dir.file("day/0909-1400-LAB1.TXT");
  for (const auto& d : r.duplicates)
    EXPECT_EQ(d.reason, "the same record as " + original + ":1: counted once") << d.file << ":" << d.record;
  // The lab's record and the car's are one call; the edited record and the next call are alone.
  int pairs = 0;
  for (const auto& c : r.calls) pairs += c.records.size() == 2;
  EXPECT_EQ(pairs, 1);
  EXPECT_EQ(r.calls.size(), 3u);
}

// The times of a record as its timing file holds them: `sent` typed from start + 1 s, one
// character every 100 ms.
timing::RecordTimes times(const std::string& started, long long startMs, const std::string& sent) {
  timing::RecordTimes t{started, startMs, {}};
  for (std::size_t i = 0; i < sent.size(); ++i)
    t.chars.push_back({timing::Direction::Sent, 1000 + 100 * static_cast<long long>(i),
                       static_cast<unsigned char>(sent[i])});
  return t;
}

// The characters the record's own first turn sent, as the timing figures count them.
std::optional<int> firstTurnSent(const ScoredRecord& s) {
  for (const auto& t : s.timing)
    if (t.turn == 1 && t.near) return t.charsSent;
  return std::nullopt;
}

TEST_F(Day, TimingFilesGoWithTheirRecordsByStartAndInOrder) {
  // One file: a call, the same call saved again, then two calls whose starts read the same (the
  // clock was set back between them), each with its times, in order; and times of a call with
  // no record. Another file's timing file cannot be read: its record is reported, untimed.
  const std::string a = record("LAB1", "09/09/26 14:00:00", "09/09/26 14:01:00"),
                    b = record("LAB1", "09/09/26 15:00:00", "09/09/26 15:01:00", "Weak"),
                    c = record("LAB1", "09/09/26 15:00:00", "09/09/26 15:01:00", "Fair");
  write("day/0909-1400-LAB1.TXT", a + a + b + c);
  std::string file = std::string(timing::kHeader) + "\n";
  file += timing::formatRecord(times("09/09/26 14:00:00", 1'789'000'000'000, "HI GA "));
  file += timing::formatRecord(times("09/09/26 15:00:00", 1'789'003'600'000, "HI GA BYE SK "));
  file += timing::formatRecord(times("09/09/26 15:00:00", 1'789'004'000'000, "HI "));
  file += timing::formatRecord(times("09/09/26 16:00:00", 1'789'007'200'000, "HI GA "));
  write("day/0909-1400-LAB1.timing.csv", file);
  write("day/0909-1700-LAB1.TXT", record("LAB1", "09/09/26 17:00:00", "09/09/26 17:01:00"));
  write("day/0909-1700-LAB1.timing.csv", "not a timing file\n");

  const Report& r = run();
  ASSERT_EQ(r.records.size(), 4u) << ::testing::PrintToString(notes(r));
  ASSERT_EQ(r.duplicates.size(), 1u);
  EXPECT_EQ(r.duplicates[0].record, 2);
  EXPECT_TRUE(r.timing);
  // The kept copy of the call saved twice is the one its times went with.
  EXPECT_TRUE(r.records[0].timed);
  EXPECT_EQ(firstTurnSent(r.records[0]), 6);
  // The two calls of one start: the first has the first times ("HI GA "), the second the second ("HI ").
  EXPECT_EQ(*r.records[1].record.value("SIGNAL"), "Weak");
  EXPECT_TRUE(r.records[1].timed);
  EXPECT_EQ(firstTurnSent(r.records[1]), 6);
  EXPECT_TRUE(r.records[2].timed);
  EXPECT_EQ(firstTurnSent(r.records[2]), 3);
  EXPECT_FALSE(r.records[3].timed);
  EXPECT_TRUE(r.records[3].timing.empty());
  EXPECT_TRUE(hasNote(r, "0909-1400-LAB1.TXT: its timing file holds the times of 1 call started at \"09/09/26 16:00:00\" with no record in "
                             "it: left out"))
      << ::testing::PrintToString(notes(r));
  EXPECT_TRUE(hasNote(r, "0909-1700-LAB1.TXT: its timing file " + dir.file("day/0909-1700-LAB1.timing.csv") +
                             " cannot be read ("))
      << ::testing::PrintToString(notes(r));
  ASSERT_EQ(r.timingFiles.size(), 1u);
  EXPECT_EQ(r.timingFiles[0].path, dir.file("day/0909-1400-LAB1.timing.csv"));
}

TEST_F(Day, TheWireTracesOfTheDayAreJudgedBesideItsCaptures) {
  namespace rt = rttmodem::trace;
  write("day/0909-1400-LAB1.TXT", record("LAB1", "09/09/26 14:00:00", "09/09/26 14:01:00"));
  int n = 0;
  for (const rt::Trace& t : rt::testing::farEndDay({}))
    write("day/rtt/good-" + std::to_string(++n) + ".rtttrace", rt::formatTrace(t));
  rt::testing::Faults noBom;
  noBom.noOpeningBom = true;
  write("day/rtt/nobom.rtttrace", rt::formatTrace(rt::testing::farEndDay(noBom).front()));
  // A call cut short by a crash: its trace has no end line and keeps its .part.
  std::string cut = rt::formatTrace(rt::testing::farEndDay({}).front());
  cut.erase(cut.rfind("end "));
  write("day/rtt/cut.rtttrace.part", cut);
  write("day/rtt/broken.rtttrace", "rtt-trace 1\ncall id=\"9\"\nrtp 1.0 in seq=1\n");
  ASSERT_EQ(mkfifo(dir.file("day/rtt/pipe.rtttrace").c_str(), 0600), 0);

  const Report& r = run();
  // The capture is scored as on any day; no trace is read as a capture.
  ASSERT_EQ(r.records.size(), 1u) << ::testing::PrintToString(notes(r));
  ASSERT_EQ(r.captures.size(), 1u);
  EXPECT_EQ(r.traces.size(), 5u);

  std::map<std::string, std::string> bom;  // each trace's verdict on the opening BOM
  std::map<std::string, int> fails;
  for (const rt::CallReport& c : r.rttCalls) {
    const std::string name = fs::path(c.file).filename().string();
    for (const rt::RuleResult& result : c.results) {
      if (result.rule->id == "stream.bom") bom[name] = std::string(rt::verdictName(result.verdict));
      fails[name] += result.verdict == rt::Verdict::Fail;
    }
  }
  EXPECT_EQ(bom, (std::map<std::string, std::string>{{"cut.rtttrace.part", "pass"},
                                                       {"good-1.rtttrace", "pass"},
                                                       {"good-2.rtttrace", "pass"},
                                                       {"good-3.rtttrace", "pass"},
                                                       {"nobom.rtttrace", "fail"}}));
  EXPECT_EQ(fails, (std::map<std::string, int>{{"cut.rtttrace.part", 0},
                                               {"good-1.rtttrace", 0},
                                               {"good-2.rtttrace", 0},
                                               {"good-3.rtttrace", 0},
                                               {"nobom.rtttrace", 1}}));
  EXPECT_TRUE(hasNote(r, "cut.rtttrace.part: the trace of a call cut short")) << ::testing::PrintToString(notes(r));
  EXPECT_TRUE(hasNote(r, "pipe.rtttrace: named like a wire trace but a FIFO")) << ::testing::PrintToString(notes(r));
  ASSERT_EQ(r.skipped.size(), 1u);
  EXPECT_EQ(fs::path(r.skipped[0].file).filename(), "broken.rtttrace");
  EXPECT_NE(r.skipped[0].reason.find("a wire trace that cannot be read: line 3"), std::string::npos)
      << r.skipped[0].reason;
  EXPECT_EQ(day->status(), 2);

  // The terminal and the page show each call's verdicts, the page the evidence of the failure too.
  const std::string table = fieldreport::terminalTable(r);
  EXPECT_NE(table.find("nobom.rtttrace: call 1"), std::string::npos) << table;
  EXPECT_NE(table.find("1 fail (stream.bom)"), std::string::npos) << table;
  const std::string page = fieldreport::htmlPage(r, "");
  EXPECT_NE(page.find("<h2 id=\"rtt\">"), std::string::npos);
  const std::size_t evidence = page.find("<ul id=\"rtt-evidence\">");
  ASSERT_NE(evidence, std::string::npos);
  EXPECT_NE(page.find("nobom.rtttrace: <code>stream.bom</code> <span class=\"fail\">FAIL</span>", evidence),
            std::string::npos);
}

}  // namespace
