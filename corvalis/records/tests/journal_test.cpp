// SPDX-License-Identifier: Apache-2.0
// The call journal on its own: what it writes reads back as the record the call would have had, a
// journal left behind becomes that record exactly once, and a process killed at any moment loses
// nothing that its journal had written.
#include "records/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "call/conversation_text.h"
#include "records/calllog.h"
#include "temp_dir.h"

namespace corvalis {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;
using kit::testing::TempDir;

const TDateTime kStart = std::chrono::system_clock::from_time_t(1003413907);  // 2001-10-18 14:05:07

TWindowSettings Values(const std::string& logDirectory) {
  TWindowSettings s;
  s.TestType = "Wireless: Static Direct Call";
  s.CallDirection = "Incoming Call";
  s.Signal = "Strong";
  s.UserName = "Ann \\ Bo";  // a backslash, escaped in the journal
  s.Location = "Lab 2";
  s.NetworkInfo = "Net";
  s.LogDirectory = logDirectory;
  s.ScriptFileName = "/s/script.txt";
  s.DeviceType = kDeviceNXi;
  s.Port = "1";
  s.CableID = "C7";
  s.PhoneModel = "P1";
  s.PhoneTech = "GSM";
  s.ComputerID = "LAB1";
  return s;
}

std::string Journal(const fs::path& folder) {
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().extension() == ".journal") return readFile(e.path());
  return {};
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(JournalText, EveryByteSurvivesTheEscapesAndBadEscapesStandForThemselves) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string escaped = JournalEscape(all);
  EXPECT_EQ(escaped.find('\n'), std::string::npos);
  for (char c : escaped) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << static_cast<int>(c);
  EXPECT_EQ(JournalUnescape(escaped), all);
  EXPECT_EQ(JournalEscape("RECD: HI\xb1\xb2\\"), "RECD: HI\\xb1\\xb2\\\\");
  EXPECT_EQ(JournalUnescape("a\\x4\\q\\"), "a\\x4\\q\\");
}

// What a call writes, read back: the record it becomes.
TEST(Journal, ReadsBackAsTheRecordOfTheCallEndedAtItsLastWrite) {
  TempDir dir;
  const std::string folder = (dir.path() / "journal").string();
  TCallJournal j;
  ASSERT_EQ(j.Create(folder, kStart), 0);
  EXPECT_TRUE(j.Path().starts_with(folder + "/20011018-140507-"));
  TWindowSettings values = Values(dir.path().string());
  j.SetCapture(CapturePath(values.LogDirectory, "1018-1405", "LAB1"));
  j.SetValues(values);
  j.Append("RECD: HELLO");
  j.Append(" GA\xb1\xb2");  // appends before a write make one line
  j.SetCollisions(3);
  j.At(kStart + std::chrono::seconds(4));
  ASSERT_EQ(j.Flush(true), 0);
  j.SetConversation("RECD: HELLO GA\xb1\xb2\r\n\r\nSEND: HI +++ATH");
  j.SetConversation("RECD: HELLO GA\xb1\xb2\r\n\r\nSEND: HI");  // tidied at the end of the call
  values.UserName = "Cy";                                       // changed before the save
  j.SetValues(values);
  j.SetTurbo(true);
  j.At(kStart + std::chrono::seconds(9));
  ASSERT_EQ(j.Flush(false), 0);

  const std::string text = Journal(dir.path() / "journal");
  EXPECT_TRUE(text.starts_with("corvalis-journal 1\npid " + std::to_string(getpid()) +
                               "\nstarted 1003413907000000\n"))
      << text;
  EXPECT_NE(text.find("\ntext RECD: HELLO GA\\xb1\\xb2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nvalue UserName Ann \\\\ Bo\n"), std::string::npos) << text;
  EXPECT_EQ(Count(text, "\nvalue "), 17u) << "every value once, then the one that changed";

  const TJournalContents c = ParseJournal(text);
  ASSERT_TRUE(c.HasCall);
  EXPECT_EQ(c.Conversation, "RECD: HELLO GA\xb1\xb2\r\n\r\nSEND: HI");
  EXPECT_EQ(c.Values.UserName, "Cy");
  EXPECT_EQ(c.Collisions, 3);
  TCallRecordInput expected;
  expected.settings = &values;
  expected.conversation = c.Conversation;
  expected.startTime = kStart;
  expected.endTime = kStart + std::chrono::seconds(9);
  expected.turboDetected = true;
  expected.scriptCompleted = false;
  EXPECT_EQ(RecoveredRecord(c), BuildCallRecord(expected));

  // An ended call ends at its "ended" line, whatever was written after.
  j.Ended(kStart + std::chrono::seconds(7));
  j.Saving("/x/y.TXT", 10);
  ASSERT_EQ(j.Flush(true), 0);
  const TJournalContents ended = ParseJournal(Journal(dir.path() / "journal"));
  ASSERT_TRUE(ended.End);
  EXPECT_EQ(*ended.End, kStart + std::chrono::seconds(7));
  ASSERT_TRUE(ended.Saving);
  EXPECT_EQ(ended.Saving->first, "/x/y.TXT");
  EXPECT_EQ(ended.Saving->second, 10u);

  EXPECT_EQ(j.Remove(), 0);
  EXPECT_TRUE(fs::is_empty(dir.path() / "journal"));
}

TEST(Journal, TornAndUnknownLinesAreSkipped) {
  const std::string text =
      "corvalis-journal 1\nstarted 1003413907000000\ntext AB\n"
      "colour blue\n"      // a later writer's line
      "cut 1\x01\n"        // torn by a write that failed half-way, then marked
      "text C\ntext DEF";  // the last write never finished
  const TJournalContents c = ParseJournal(text);
  EXPECT_EQ(c.Conversation, "ABC");
  EXPECT_FALSE(ParseJournal("corvalis-journal 1\npid 7\n").HasCall);
}

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = (dir.path() / "journal").string();
    logs = dir.path() / "captures";
    fs::create_directories(logs);
    values = Values(logs.string());
    capture = CapturePath(values.LogDirectory, "1018-1405", "LAB1");
  }
  // A call's journal as a killed program leaves it.
  void LeaveJournal(const std::string& conversation, bool saving = false) {
    TCallJournal j;
    ASSERT_EQ(j.Create(folder, kStart), 0);
    j.SetCapture(capture);
    j.SetValues(values);
    j.Append(conversation);
    j.At(kStart + std::chrono::seconds(30));
    if (saving) j.Saving(capture, fs::exists(capture) ? fs::file_size(capture) : 0);
    ASSERT_EQ(j.Flush(true), 0);
    j.Close();
  }
  TempDir dir;
  std::string folder, capture;
  fs::path logs;
  TWindowSettings values;
};

TEST_F(Recovery, AJournalLeftBehindBecomesOneRecordOnce) {
  LeaveJournal("RECD: HELLO GA\xb1\xb2\r\n\r\n");
  std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::Recovered);
  EXPECT_EQ(r[0].Capture, capture);
  const std::string file = readFile(capture);
  EXPECT_NE(file.find("Started at 10/18/01 14:05:07\r\n\r\nRECD: HELLO GA\xb1\xb2\r\n\r\n"
                      "Ended at 10/18/01 14:05:37 (30.0 seconds)\r\n"),
            std::string::npos)
      << file;
  EXPECT_NE(file.find("\r\nSCRIPTCOMPLETED: No\r\n"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_TRUE(RecoverJournals(folder, logs.string()).empty());
  EXPECT_EQ(readFile(capture), file);
}

// The program was killed between appending the record and removing the journal: the record is
// found in the capture file and not written again; killed before the append, it is written.
TEST_F(Recovery, ASaveThatWentThroughIsNotMadeAgainAndOneThatDidNotIs) {
  TCallRecordInput input;
  input.settings = &values;
  input.conversation = "RECD: SAVED";
  input.startTime = kStart;
  input.endTime = kStart + std::chrono::seconds(5);
  AppendLineToFile(capture, "an earlier call");
  LeaveJournal("RECD: SAVED", true);
  AppendLineToFile(capture, JoinLines(BuildCallRecord(input)));
  const std::string before = readFile(capture);
  std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::AlreadySaved);
  EXPECT_EQ(readFile(capture), before);
  EXPECT_TRUE(fs::is_empty(folder));

  LeaveJournal("RECD: NOT SAVED", true);
  r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::Recovered);
  EXPECT_EQ(Count(readFile(capture), "RECD: NOT SAVED"), 1u);
  EXPECT_EQ(Count(readFile(capture), std::string(64, '=')), 2u);
}

TEST_F(Recovery, AJournalInUseIsLeftAloneAndAnEmptyOneGoes) {
  TCallJournal live;
  ASSERT_EQ(live.Create(folder, kStart), 0);
  live.SetCapture(capture);
  live.Append("RECD: STILL TALKING");
  ASSERT_EQ(live.Flush(true), 0);
  std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::InUse);
  EXPECT_FALSE(fs::exists(capture));
  EXPECT_TRUE(fs::exists(live.Path()));

  // A journal cut off before its "started" line holds no call.
  const std::string empty = folder + "/20011018-140000-1.journal";
  { std::ofstream(empty) << "corvalis-journal 1\npid 1\n"; }
  r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::Empty);
  EXPECT_FALSE(fs::exists(empty));
  EXPECT_EQ(r[1].Result, TRecovery::Outcome::InUse);
}

TEST_F(Recovery, ACaptureFolderThatHasGoneGivesWayToTheCurrentOneOrTheJournalStays) {
  values.LogDirectory = (dir.path() / "unplugged").string();
  capture = CapturePath(values.LogDirectory, "1018-1405", "LAB1");
  LeaveJournal("RECD: ON THE USB DISK");
  std::vector<TRecovery> r = RecoverJournals(folder, "");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::Failed);
  EXPECT_EQ(r[0].Error, "File not found (" + capture + "): No such file or directory");
  EXPECT_FALSE(fs::is_empty(folder));

  r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::Recovered);
  EXPECT_EQ(r[0].Capture, (logs / "1018-1405-LAB1.TXT").string());
  EXPECT_NE(readFile(r[0].Capture).find("RECD: ON THE USB DISK"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(folder));
}

// A writer killed at random moments, many times: each recovered record holds the conversation up
// to at least what the writer had reported written (it writes a batch, then says so), and nothing
// that was never said.
TEST(JournalKill, AWriterKilledAtAnyMomentLosesNothingItHadWritten) {
  TempDir dir;
  const std::string folder = (dir.path() / "journal").string();
  const fs::path logs = dir.path() / "captures";
  fs::create_directories(logs);
  std::string conversation = "RECD: ";
  for (int i = 0; conversation.size() < 20000; ++i)
    conversation += "WORD" + std::to_string(i) + (i % 9 == 8 ? " GA\xb1\xb2\r\n\r\nSEND: " : " ");
  std::mt19937 random(20011018);
  int killedWriting = 0;
  const int rounds = 60;
  for (int round = 0; round < rounds; ++round) {
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The program's pattern: a batch of received text, a write, and once in a while the time and
      // a sync.
      close(progress[0]);
      TCallJournal j;
      if (j.Create(folder, kStart) != 0) _exit(2);
      const TWindowSettings values = Values(logs.string());
      j.SetCapture(CapturePath(values.LogDirectory, "1018-1405", "LAB" + std::to_string(round)));
      j.SetValues(values);
      if (j.Flush(true) != 0) _exit(2);
      for (std::size_t at = 0; at < conversation.size(); at += 7) {
        j.Append(std::string_view(conversation).substr(at, 7));
        if (at % 70 == 0) j.At(kStart + std::chrono::milliseconds(at));
        if (j.Flush(at % 700 == 0) != 0) _exit(2);
        const std::uint32_t written = static_cast<std::uint32_t>(std::min(at + 7, conversation.size()));
        if (write(progress[1], &written, sizeof written) != sizeof written) _exit(2);
      }
      pause();
      _exit(0);
    }
    close(progress[1]);
    // Killed once the writer has got somewhere at random (it goes on a little until the signal lands),
    // in one round in ten before it has written anything.
    const std::uint32_t target =
        round % 10 == 0 ? 0 : static_cast<std::uint32_t>(random() % conversation.size());
    std::uint32_t reported = 0, value = 0;
    while (reported < target && read(progress[0], &value, sizeof value) == sizeof value) reported = value;
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    while (read(progress[0], &value, sizeof value) == sizeof value) reported = value;
    close(progress[0]);
    if (reported < conversation.size()) ++killedWriting;

    std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
    if (r.empty()) {
      EXPECT_EQ(reported, 0u) << "round " << round << ": the journal was lost";
      continue;
    }
    ASSERT_EQ(r.size(), 1u) << "round " << round;
    if (r[0].Result == TRecovery::Outcome::Empty) {
      EXPECT_EQ(reported, 0u) << "round " << round;
      continue;
    }
    ASSERT_EQ(r[0].Result, TRecovery::Outcome::Recovered) << "round " << round << ": " << r[0].Error;
    const std::string recovered = r[0].Contents.Conversation;
    EXPECT_GE(recovered.size(), reported) << "round " << round;
    EXPECT_EQ(recovered, conversation.substr(0, recovered.size())) << "round " << round;
    const std::string file = readFile(r[0].Capture);
    EXPECT_EQ(Count(file, std::string(64, '=')), 1u) << "round " << round;
    EXPECT_NE(file.find(TrimConversationEnd(recovered)), std::string::npos) << "round " << round;
    EXPECT_TRUE(fs::is_empty(folder)) << "round " << round;
  }
  std::cout << killedWriting << " of " << rounds << " writers killed before the end of the call\n";
}

}  // namespace
}  // namespace corvalis
