// SPDX-License-Identifier: Apache-2.0
// The times of a call's characters in its journal: a journal left behind becomes its record and the
// record's times in the timing file beside it, once, however the save before it was cut short; a
// journal without times recovers as before.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "call/engine_state.h"
#include "common/conversation_text.h"
#include "records/call_times.h"
#include "records/calllog.h"
#include "records/journal.h"
#include "temp_dir.h"

namespace timing {
bool operator==(const CharTime& a, const CharTime& b) {
  return a.direction == b.direction && a.ms == b.ms && a.code == b.code;
}
void PrintTo(const CharTime& c, std::ostream* os) {
  *os << directionName(c.direction) << ' ' << c.ms << ' ' << int{c.code};
}
}  // namespace timing

namespace corvalis {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;
using timing::CharTime;
using timing::Direction;

const TDateTime kStart = std::chrono::system_clock::from_time_t(1003413907) + std::chrono::milliseconds(480);

class JournalTimes : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = (dir.path() / "journal").string();
    fs::create_directories(dir.path() / "captures");
    values.LogDirectory = (dir.path() / "captures").string();
    values.ComputerID = "LAB1";
    values.DeviceType = kDeviceNXi;
    capture = CapturePath(values.LogDirectory, "1018-1405", "LAB1");
    timingFile = (dir.path() / "captures" / "1018-1405-LAB1.timing.csv").string();
    const char* received = "HI GA";
    for (int i = 0; received[i]; ++i)
      chars.push_back({Direction::Received, 1200 + 150 * i, static_cast<unsigned char>(received[i])});
    chars.push_back({Direction::Sent, 4000, '\r'});
    chars.push_back({Direction::Sent, 4200, 0xE9});
  }
  // The journal of a call as a killed program leaves it: the times in two lines, as two writes a
  // second apart give them, and with Saving, the save begun.
  void LeaveJournal(bool saving = false, bool times = true) {
    TCallJournal j;
    ASSERT_EQ(j.Create(folder, kStart), 0);
    j.SetCapture(capture);
    j.SetValues(values);
    j.Append("RECD: HI GA\r\n\r\nSEND: \xb1\xe9");
    if (times) j.AddLine("chars", JournalCharsValue(std::span(chars).first(3)));
    ASSERT_EQ(j.Flush(true), 0);
    if (times) j.AddLine("chars", JournalCharsValue(std::span(chars).subspan(3)));
    j.At(kStart + std::chrono::seconds(5));
    if (saving) j.Saving(capture, fs::exists(capture) ? fs::file_size(capture) : 0);
    ASSERT_EQ(j.Flush(true), 0);
    j.Close();
  }
  std::string JournalText() const {
    for (const auto& e : fs::directory_iterator(folder)) return readFile(e.path());
    return {};
  }
  // What the save had written of the record before the program was killed.
  void SavedRecord() { AppendLineToFile(capture, JoinLines(RecoveredRecord(ParseJournal(JournalText())))); }
  timing::TimingFile Times() const { return timing::readTimingFile(readFile(timingFile)); }
  TRecovery RecoverOne() {
    std::vector<TRecovery> r = RecoverJournals(folder, values.LogDirectory);
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? TRecovery{} : r[0];
  }

  TempDir dir;
  std::string folder, capture, timingFile;
  TWindowSettings values;
  std::vector<CharTime> chars;
};

TEST_F(JournalTimes, ARecoveredRecordHasItsTimesBesideItOnce) {
  ASSERT_NO_FATAL_FAILURE(LeaveJournal());
  // The last write was cut short inside a line: that line is not taken.
  for (const auto& e : fs::directory_iterator(folder))
    std::ofstream(e.path(), std::ios::app | std::ios::binary) << "chars s9000:65 s91";
  const TRecovery r = RecoverOne();
  EXPECT_EQ(r.Result, TRecovery::Outcome::Recovered);
  EXPECT_EQ(r.TimingError, "");
  const timing::TimingFile file = Times();
  EXPECT_EQ(file.badLines, 0);
  ASSERT_EQ(file.records.size(), 1u);
  EXPECT_EQ(file.records[0].started, "10/18/01 14:05:07");
  EXPECT_NE(readFile(capture).find("\r\nStarted at " + file.records[0].started + "\r\n"), std::string::npos);
  EXPECT_EQ(file.records[0].startMs, 1003413907480);
  EXPECT_EQ(file.records[0].chars, chars);
  EXPECT_TRUE(fs::is_empty(folder));
}

// The program was killed during a save: before the record was appended, after it, or after it and
// in the middle of its times. Each character's time is in the file once afterwards.
TEST_F(JournalTimes, ASaveCutShortGetsTheTimesItDidNotWriteAndNoneTwice) {
  // Killed before the record was appended.
  ASSERT_NO_FATAL_FAILURE(LeaveJournal(true));
  EXPECT_EQ(RecoverOne().Result, TRecovery::Outcome::Recovered);
  ASSERT_EQ(Times().records.size(), 1u);
  EXPECT_EQ(Times().records[0].chars, chars);

  // Killed after the record and all its times were written, before the journal went.
  fs::remove(capture);
  ASSERT_NO_FATAL_FAILURE(LeaveJournal(true));
  SavedRecord();
  const std::string whole = readFile(timingFile);
  EXPECT_EQ(RecoverOne().Result, TRecovery::Outcome::AlreadySaved);
  EXPECT_EQ(readFile(timingFile), whole);

  // Killed in the middle of writing the times: two lines and half of the third were on the disk.
  fs::remove(capture);
  const std::size_t third = whole.find('\n', whole.find('\n', whole.find('\n') + 1) + 1) + 1;
  std::ofstream(timingFile, std::ios::trunc | std::ios::binary) << whole.substr(0, third + 10);
  ASSERT_NO_FATAL_FAILURE(LeaveJournal(true));
  SavedRecord();
  EXPECT_EQ(RecoverOne().Result, TRecovery::Outcome::AlreadySaved);
  const timing::TimingFile file = Times();
  ASSERT_EQ(file.records.size(), 1u);
  EXPECT_EQ(file.records[0].chars, chars);
  EXPECT_EQ(file.badLines, 1) << "the torn line, which readers drop";
}

// Saved, its times half written, and killed; started again under another time zone: the record is
// found (its "Started at" reads otherwise now) and not written again, and its times go on where they
// stopped, each once, in one record.
TEST_F(JournalTimes, ASaveIsFoundWhateverTheTimeZoneOfTheNextStart) {
  ASSERT_NO_FATAL_FAILURE(LeaveJournal(true));
  SavedRecord();
  ASSERT_EQ(SaveRecordTimes(capture, RecordTimesOf(kStart, chars), false), "");
  const std::string saved = readFile(capture);
  const std::string whole = readFile(timingFile);
  const std::size_t third = whole.find('\n', whole.find('\n', whole.find('\n') + 1) + 1) + 1;
  std::ofstream(timingFile, std::ios::trunc | std::ios::binary) << whole.substr(0, third);
  const std::string zone = std::getenv("TZ") ? std::getenv("TZ") : "";
  setenv("TZ", "XYZ-5", 1);
  tzset();
  const TRecovery r = RecoverOne();
  setenv("TZ", zone.c_str(), 1);
  tzset();
  EXPECT_EQ(r.Result, TRecovery::Outcome::AlreadySaved);
  EXPECT_EQ(readFile(capture), saved);
  EXPECT_EQ(readFile(timingFile), whole);
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(JournalTimes, AJournalWithoutTimesRecoversAsBeforeAndBadTimesAreSkipped) {
  ASSERT_NO_FATAL_FAILURE(LeaveJournal(false, false));
  EXPECT_EQ(RecoverOne().Result, TRecovery::Outcome::Recovered);
  EXPECT_NE(readFile(capture).find("RECD: HI GA"), std::string::npos);
  EXPECT_FALSE(fs::exists(timingFile));

  // A line that does not read whole gives nothing; the lines around it count.
  const TJournalContents j =
      ParseJournal("corvalis-journal 1\nstarted 1\nchars r5:72\nchars s6:72 s7:256\nchars s-2:10\n");
  EXPECT_EQ(j.Times, (std::vector<CharTime>{{Direction::Received, 5, 72}, {Direction::Sent, -2, 10}}));
}

// The timing file cannot be written: the record is recovered all the same, and the reason given.
TEST_F(JournalTimes, TimesThatCannotBeSavedDoNotStopTheRecovery) {
  fs::create_directories(timingFile);
  ASSERT_NO_FATAL_FAILURE(LeaveJournal());
  const TRecovery r = RecoverOne();
  EXPECT_EQ(r.Result, TRecovery::Outcome::Recovered);
  EXPECT_NE(readFile(capture).find("RECD: HI GA"), std::string::npos);
  EXPECT_NE(r.TimingError.find(timingFile), std::string::npos) << r.TimingError;
  EXPECT_TRUE(fs::is_empty(folder));
}

}  // namespace
}  // namespace corvalis
