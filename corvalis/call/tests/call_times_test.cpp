// SPDX-License-Identifier: Apache-2.0
// The times of a call's characters as the window saves them: read back from the timing file beside
// the capture file, record by record, as fieldreport reads them.
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <vector>

#include "temp_dir.h"
#include "timing.h"
#include "ui/tests/form_fixture.h"

namespace timing {
bool operator==(const CharTime& a, const CharTime& b) {
  return a.direction == b.direction && a.ms == b.ms && a.code == b.code;
}
void PrintTo(const CharTime& c, std::ostream* os) {
  *os << directionName(c.direction) << ' ' << c.ms << ' ' << int{c.code};
}
}  // namespace timing

namespace corvalis::testing {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;
using timing::CharTime;
using timing::Direction;

// The time of day and a monotonic clock, which setting the time of day does not move.
class TwoClocks : public IClock {
 public:
  TDateTime Now() override { return wall; }
  std::int64_t MonotonicMs() override { return monotonic; }
  void Pass(int ms) {
    wall += std::chrono::milliseconds(ms);
    monotonic += ms;
  }
  TDateTime wall = std::chrono::system_clock::from_time_t(1003413907) + std::chrono::milliseconds(250);
  std::int64_t monotonic = 7'000'000;
};

std::vector<CharTime> Chars(Direction d, long long ms, const std::string& bytes) {
  std::vector<CharTime> chars;
  for (char c : bytes) chars.push_back({d, ms, static_cast<unsigned char>(c)});
  return chars;
}

std::vector<CharTime> operator+(std::vector<CharTime> a, const std::vector<CharTime>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class CallTimes : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    OpenWindow();
  }
  // The window again, as the program makes it at a start, on the test's two clocks.
  void OpenWindow() {
    form.reset();
    services.Clock = &clocks;
    form = std::make_unique<TMainForm>(services);
    form->ManualTypeForm = typing.get();
    StartUp(kDeviceCustomCompact, dir.path().string() + "/");
  }
  // This side types a text, one character every 150 ms.
  void Type(const std::string& text) {
    for (char c : text) {
      form->SendToMemoAndPort(std::string(1, c), false);
      clocks.Pass(150);
    }
  }
  // A call of the far end's HI and this side's reply; what comes before and after it is not the
  // call's. Returns its characters' times as they should be.
  std::vector<CharTime> RunCall() {
    Receive("x");  // before the call
    clocks.Pass(3000);
    form->StartCallButtonClick(form->StartCallButton);
    clocks.Pass(1200);
    Receive("HI\r\n");
    clocks.Pass(2000);
    Type("OK GA");
    // The time of day set an hour on (the PC synchronised its clock): the times go on as they were.
    clocks.wall += std::chrono::hours(1);
    clocks.Pass(400);
    Receive("Y");
    form->EndCallButtonClick(form->EndCallButton);
    Receive("z");  // after the call
    clocks.wall -= std::chrono::hours(1);
    return Chars(Direction::Received, 1200, "HI\r\n") + Chars(Direction::Sent, 3200, "O") +
           Chars(Direction::Sent, 3350, "K") + Chars(Direction::Sent, 3500, " ") +
           Chars(Direction::Sent, 3650, "G") + Chars(Direction::Sent, 3800, "A") +
           Chars(Direction::Received, 4350, "Y");
  }
  void Save() { form->RecordLogButton->click(); }
  std::string CaptureFile() const { return dir.file("1018-1405-LAB1.TXT"); }
  std::string TimingFile() const { return dir.file("1018-1405-LAB1.timing.csv"); }
  timing::TimingFile ReadTimes() const { return timing::readTimingFile(readFile(TimingFile())); }
  // The "Started at" texts of the capture file's records.
  std::vector<std::string> Starts() const {
    std::vector<std::string> starts;
    const std::string file = readFile(CaptureFile());
    for (std::size_t at = 0; (at = file.find("\r\nStarted at ", at)) != std::string::npos; ++at)
      starts.push_back(file.substr(at + 13, file.find("\r\n", at + 2) - at - 13));
    return starts;
  }

  TempDir dir;
  TwoClocks clocks;
};

TEST_F(CallTimes, EachCharacterSentAndReceivedIsTimedFromTheCallsStartBesideItsRecord) {
  const std::vector<CharTime> expected = RunCall();
  Save();
  EXPECT_TRUE(boxes.calls.empty());
  const timing::TimingFile file = ReadTimes();
  EXPECT_EQ(file.badLines, 0);
  ASSERT_EQ(file.records.size(), 1u);
  EXPECT_EQ(file.records[0].started, "10/18/01 14:05:10");
  EXPECT_EQ(Starts(), std::vector<std::string>{file.records[0].started});
  EXPECT_EQ(file.records[0].startMs, 1003413907000 + 250 + 3000);
  EXPECT_EQ(file.records[0].chars, expected);
  EXPECT_TRUE(readFile(TimingFile()).starts_with("started,start_ms,direction,ms,code,char\n"));
}

TEST_F(CallTimes, TheNextCallsTimesAreAppendedAsARecordOfTheirOwn) {
  const std::vector<CharTime> first = RunCall();
  Save();
  clocks.Pass(5000);  // the next call in the same minute
  const std::vector<CharTime> second = RunCall();
  Save();
  const timing::TimingFile file = ReadTimes();
  EXPECT_EQ(file.badLines, 0);
  ASSERT_EQ(file.records.size(), 2u);
  EXPECT_EQ(file.records[0].chars, first);
  EXPECT_EQ(file.records[1].chars, second);
  EXPECT_EQ(file.records[1].startMs - file.records[0].startMs, 4350 + 5000 + 3000);
  EXPECT_EQ(Starts(), (std::vector<std::string>{file.records[0].started, file.records[1].started}));
}

// A timing file that cannot take the times: the record is saved all the same, and the tester is told
// once; the next call's failure goes to the log.
TEST_F(CallTimes, TimesThatCannotBeSavedLeaveTheRecordSavedAndAreReported) {
  const std::string notTiming = dir.write("1018-1405-LAB1.timing.csv", "my notes\n");
  RunCall();
  Save();
  ASSERT_EQ(Starts().size(), 1u);
  EXPECT_EQ(readFile(notTiming), "my notes\n");
  ASSERT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(boxes.calls[0].title, "Timing not saved");
  EXPECT_NE(boxes.calls[0].text.find("is not a timing file"), std::string::npos) << boxes.calls[0].text;
  EXPECT_FALSE(form->RecordLogButton->isEnabled());

  RunCall();
  Save();
  EXPECT_EQ(Starts().size(), 2u);
  EXPECT_EQ(boxes.calls.size(), 1u);
  EXPECT_EQ(log.With("the times of its characters could not be saved").size(), 2u);
}

// The program ends during a call (a kill, a power cut): the call's journal has its times, and the
// next start saves them with the recovered record, once.
TEST_F(CallTimes, ACallRecoveredFromItsJournalHasItsTimes) {
  std::vector<CharTime> expected = RunCall();
  Tick(5);       // the journal is written once a second
  OpenWindow();  // the program starts again: the call is recovered
  ASSERT_EQ(Starts().size(), 1u) << log.lines.back();
  timing::TimingFile file = ReadTimes();
  ASSERT_EQ(file.records.size(), 1u);
  EXPECT_EQ(file.records[0].started, Starts()[0]);
  EXPECT_EQ(file.records[0].chars, expected);

  const std::string times = readFile(TimingFile());
  OpenWindow();
  EXPECT_EQ(readFile(TimingFile()), times);
}

}  // namespace
}  // namespace corvalis::testing
