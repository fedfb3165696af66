// SPDX-License-Identifier: Apache-2.0
// The call journal on its own: what it writes reads back as the record the call would have had, a
// journal left behind becomes that record exactly once, and a process killed at any moment loses
// nothing that its journal had written.
#include "records/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <vector>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "call/engine_state.h"
#include "common/conversation_text.h"
#include "records/calllog.h"
#include "property.h"
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
  void LeaveJournal(const std::string& conversation, bool saving = false, bool scriptCompleted = false) {
    TCallJournal j;
    ASSERT_EQ(j.Create(folder, kStart), 0);
    j.SetCapture(capture);
    j.SetValues(values);
    j.SetScriptCompleted(scriptCompleted);
    j.Append(conversation);
    j.At(kStart + std::chrono::seconds(30));
    if (saving) j.Saving(capture, fs::exists(capture) ? fs::file_size(capture) : 0);
    ASSERT_EQ(j.Flush(true), 0);
    j.Close();
  }
  // The one journal in the folder, and its text.
  std::string JournalPath() const {
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().extension() == ".journal") return e.path().string();
    return {};
  }
  // The names in the journal folder.
  std::set<std::string> InFolder() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
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
  // The log folder is still the one that has gone.
  std::vector<TRecovery> r = RecoverJournals(folder, values.LogDirectory);
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

// 75 lines of text behind a head a bit flip or zeroed bytes damaged: every line is in the record,
// which starts when the journal's name says; the journal is kept aside, never deleted.
TEST_F(Recovery, ADamagedHeadLosesNoText) {
  struct Damage {
    const char* what;
    void (*apply)(std::string&);
  };
  const Damage damages[] = {
      {"a bit flipped in the started line",
       [](std::string& t) { t[t.find("started ") + 1] ^= 0x04; }},  // "sparted"
      {"a digit of the start made a control byte",
       [](std::string& t) { t[t.find("started ") + 10] ^= 0x20; }},
      {"its first 48 bytes zeroed", [](std::string& t) { std::fill_n(t.begin(), 48, '\0'); }},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    fs::remove_all(logs);
    fs::create_directories(logs);
    std::string conversation;
    for (int i = 0; i < 75; ++i) conversation += "RECD: LINE " + std::to_string(i) + " GA\r\n";
    {
      TCallJournal j;
      ASSERT_EQ(j.Create(folder, kStart), 0);
      j.SetCapture(capture);
      j.SetValues(values);
      ASSERT_EQ(j.Flush(false), 0);
      for (int i = 0; i < 75; ++i) {
        j.Append("RECD: LINE " + std::to_string(i) + " GA\r\n");
        ASSERT_EQ(j.Flush(false), 0);
      }
      j.Close();
    }
    const std::string path = JournalPath();
    std::string text = readFile(path);
    ASSERT_EQ(Count(text, "\ntext "), 75u);
    damage.apply(text);
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << text; }

    std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Result, TRecovery::Outcome::Recovered) << r[0].Error;
    EXPECT_EQ(r[0].SetAside, path + ".damaged");
    const std::string file = readFile(capture);
    EXPECT_NE(file.find("Started at 10/18/01 14:05:07\r\n\r\n" + TrimConversationEnd(conversation) + "\r\n"),
              std::string::npos)
        << file;
    EXPECT_EQ(InFolder(), std::set<std::string>{fs::path(path).filename().string() + ".damaged"});
    EXPECT_TRUE(readFile(path + ".damaged").starts_with(text)) << "kept as it was, with what recovery added";
    EXPECT_TRUE(RecoverJournals(folder, logs.string()).empty()) << "set aside once, not again";
    fs::remove(path + ".damaged");
  }
  // Damaged beyond a call: nothing to make a record of, so nothing is deleted either.
  const std::string noCall = folder + "/20011018-140000-1-1.journal";
  { std::ofstream(noCall) << "corvalis-journal 1\npid 1\nt\x05xt HELLO\n"; }
  std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::SetAside);
  EXPECT_EQ(readFile(noCall + ".damaged"), "corvalis-journal 1\npid 1\nt\x05xt HELLO\n");
}

// Journals naming files outside the capture folder, by a full path, "..", a link, or no full path:
// nothing outside the folder is written, and each journal is kept aside.
TEST_F(Recovery, ARecordGoesOnlyIntoTheCaptureFolder) {
  const fs::path home = dir.path() / "home";
  fs::create_directories(home);
  const std::string bashrc = (home / ".bashrc").string();
  { std::ofstream(bashrc) << "alias ll='ls -l'\n"; }
  fs::create_symlink(bashrc, logs / "1018-1406-LAB1.TXT");
  fs::create_symlink(home, logs / "elsewhere");
  const std::string names[] = {
      bashrc,
      (logs / ".." / "home" / ".bashrc").string(),
      (logs / "elsewhere" / ".bashrc").string(),
      (logs / "1018-1406-LAB1.TXT").string(),      // a link to it, named as a capture file
      (logs / "1018-1405" / "LAB1.TXT").string(),  // inside, but no capture file's name
      "1018-1405-LAB1.TXT",                        // the folder it was started in would decide
      "",
  };
  for (const std::string& name : names) {
    capture = name;
    LeaveJournal("RECD: CRAFTED");
    std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
    ASSERT_EQ(r.size(), 1u) << name;
    EXPECT_EQ(r[0].Result, TRecovery::Outcome::SetAside) << name << ": " << r[0].Error;
    EXPECT_EQ(r[0].SetAside, r[0].Journal + ".refused") << name;
    EXPECT_TRUE(fs::exists(r[0].SetAside)) << name;
    fs::remove(r[0].SetAside);
  }
  EXPECT_EQ(readFile(bashrc), "alias ll='ls -l'\n");
  std::set<std::string> inHome, inLogs;
  for (const auto& e : fs::directory_iterator(home)) inHome.insert(e.path().filename().string());
  for (const auto& e : fs::directory_iterator(logs)) inLogs.insert(e.path().filename().string());
  EXPECT_EQ(inHome, std::set<std::string>{".bashrc"});
  EXPECT_EQ(inLogs, (std::set<std::string>{"1018-1406-LAB1.TXT", "elsewhere"}));

  // A capture file in an earlier log folder that is there and writable: the record still goes to the
  // current one, under its name.
  const fs::path earlier = dir.path() / "earlier";
  fs::create_directories(earlier);
  capture = (earlier / "1018-1405-LAB1.TXT").string();
  LeaveJournal("RECD: LAST WEEK'S FOLDER");
  std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::Recovered) << r[0].Error;
  EXPECT_EQ(r[0].Capture, (logs / "1018-1405-LAB1.TXT").string());
  EXPECT_TRUE(fs::is_empty(earlier));
}

// A FIFO (or a journal that is one) makes recovery neither wait nor write: set aside, start-up goes on.
TEST_F(Recovery, AFifoNeverHoldsUpTheStart) {
  ASSERT_EQ(mkfifo(capture.c_str(), 0600), 0);
  LeaveJournal("RECD: TO A PIPE");
  ASSERT_EQ(mkfifo((folder + "/20011018-140000-1-1.journal").c_str(), 0600), 0);
  std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 2u);
  for (const TRecovery& one : r) {
    EXPECT_EQ(one.Result, TRecovery::Outcome::SetAside) << one.Journal << ": " << one.Error;
    EXPECT_TRUE(fs::exists(one.SetAside)) << one.Journal;
  }
  EXPECT_EQ(r[1].Error, capture + " is not a regular file");
  EXPECT_TRUE(fs::is_fifo(capture));
  EXPECT_FALSE(fs::exists(capture + ".timing.csv"));
}

// A save cut short anywhere in its record: the capture file ends with the whole record once, and the
// journal goes only then. A torn record with another after it stays, and the whole one follows.
TEST_F(Recovery, ASaveCutShortIsCompletedFromTheJournal) {
  AppendLineToFile(capture, "an earlier call");
  const std::string earlier = readFile(capture);
  LeaveJournal("RECD: SAVED HALF", true, true);
  const std::string journal = readFile(JournalPath());
  const std::string record = JoinLines(RecoveredRecord(ParseJournal(journal))) + "\r\n";
  ASSERT_NE(record.find("\r\nSCRIPTCOMPLETED: Yes\r\n"), std::string::npos);
  for (std::size_t cut = 1; cut < record.size(); cut += cut < 100 ? 7 : 29) {
    SCOPED_TRACE(cut);
    { std::ofstream(capture, std::ios::binary | std::ios::trunc) << earlier << record.substr(0, cut); }
    if (JournalPath().empty())
      std::ofstream(folder + "/20011018-140507-1-1.journal", std::ios::binary) << journal;
    std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Result, TRecovery::Outcome::Recovered) << r[0].Error;
    EXPECT_EQ(readFile(capture), earlier + record);
    EXPECT_TRUE(fs::is_empty(folder));
  }
  // The whole record: saved already.
  std::ofstream(folder + "/20011018-140507-1-1.journal", std::ios::binary) << journal;
  std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::AlreadySaved);
  EXPECT_EQ(readFile(capture), earlier + record);

  const std::string torn = record.substr(0, record.size() / 2);
  { std::ofstream(capture, std::ios::binary | std::ios::trunc) << earlier << torn << "\r\n" << record; }
  std::ofstream(folder + "/20011018-140507-1-1.journal", std::ios::binary) << journal;
  r = RecoverJournals(folder, logs.string());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Result, TRecovery::Outcome::Recovered);
  EXPECT_EQ(readFile(capture), earlier + torn + "\r\n" + record + record);
}

// A completed script's call says so when it is recovered, as it does when saved.
TEST_F(Recovery, ARecoveredRecordSaysWhetherItsScriptCompleted) {
  LeaveJournal("RECD: SCRIPTED", false, true);
  ASSERT_EQ(RecoverJournals(folder, logs.string()).size(), 1u);
  LeaveJournal("RECD: NOT YET", false, false);
  ASSERT_EQ(RecoverJournals(folder, logs.string()).size(), 1u);
  const std::string file = readFile(capture);
  EXPECT_EQ(Count(file, "\r\nSCRIPTCOMPLETED: Yes\r\n"), 1u);
  EXPECT_EQ(Count(file, "\r\nSCRIPTCOMPLETED: No\r\n"), 1u);
  EXPECT_LT(file.find("SCRIPTCOMPLETED: Yes"), file.find("RECD: NOT YET"));
}

// Journals are the user's alone; captures, meant to be shared, follow the umask.
TEST_F(Recovery, JournalsArePrivateAndCapturesFollowTheUmask) {
  const mode_t was = umask(002);
  LeaveJournal("RECD: SHARED");
  EXPECT_EQ(fs::status(JournalPath()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  RecoverJournals(folder, logs.string());
  umask(was);
  EXPECT_EQ(fs::status(capture).permissions() & fs::perms::all, fs::perms(0664));
}

// Recovery in `instances` processes started at once (as `user`, when given, which needs root):
// what became of each journal, a line each with its outcome's number and error.
std::string RecoverInChildren(const std::string& folder, const std::string& logs, int instances,
                              std::optional<uid_t> user = std::nullopt) {
  int results[2];
  if (pipe(results) != 0) {
    ADD_FAILURE() << "pipe";
    return "";
  }
  std::vector<pid_t> children;
  for (int i = 0; i < instances; ++i) {
    const pid_t child = fork();
    if (child < 0) {
      ADD_FAILURE() << "fork";
      break;
    }
    if (child == 0) {
      close(results[0]);
      if (user && (setgid(65534) != 0 || setuid(*user) != 0)) _exit(2);
      std::string out;
      for (const TRecovery& one : RecoverJournals(folder, logs))
        out += std::to_string(static_cast<int>(one.Result)) + " " + one.Error + "\n";
      if (write(results[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(2);
      _exit(0);
    }
    children.push_back(child);
  }
  close(results[1]);
  std::string all;
  char buf[4096];
  for (ssize_t n; (n = read(results[0], buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
  close(results[0]);
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  return all;
}

// A journal made read-only is recovered once all the same; another user's cannot be, and is set
// aside, said once. (Run as root, recovery runs as an ordinary user, for whom permissions count.)
TEST_F(Recovery, AReadOnlyJournalIsRecoveredOnceAndAnotherUsersIsSetAside) {
  const bool root = geteuid() == 0;
  const uid_t user = root ? 65534 : geteuid();
  LeaveJournal("RECD: READ ONLY");
  const std::string readOnly = JournalPath();
  ASSERT_EQ(chown(readOnly.c_str(), user, static_cast<gid_t>(-1)), 0);
  fs::permissions(readOnly, fs::perms::owner_read);
  std::string others;
  if (root) {
    fs::rename(readOnly, folder + "/20011018-140507-1-1.journal.hold");
    LeaveJournal("RECD: SOMEBODY ELSE'S");
    others = JournalPath();
    fs::rename(folder + "/20011018-140507-1-1.journal.hold", readOnly);
    for (const fs::path& p : {dir.path(), fs::path(folder), logs}) fs::permissions(p, fs::perms::all);
  }
  // Recovery as that user: what became of each journal, in the journals' order.
  auto recover = [&] {
    return RecoverInChildren(folder, logs.string(), 1, root ? std::optional<uid_t>(user) : std::nullopt);
  };
  const std::string first = recover();
  const auto is = [](TRecovery::Outcome o, const std::string& error = "") {
    return std::to_string(static_cast<int>(o)) + " " + error + "\n";
  };
  EXPECT_EQ(Count(first, "\n"), root ? 2u : 1u) << first;
  EXPECT_NE(first.find(is(TRecovery::Outcome::Recovered)), std::string::npos) << first;
  if (root) {
    EXPECT_NE(first.find(is(TRecovery::Outcome::SetAside, "it cannot be written (Permission denied)")),
              std::string::npos)
        << first;
  }
  EXPECT_EQ(Count(readFile(capture), "RECD: READ ONLY"), 1u);
  EXPECT_EQ(Count(readFile(capture), "RECD: SOMEBODY ELSE'S"), 0u);
  EXPECT_FALSE(fs::exists(readOnly));
  if (root) {
    EXPECT_TRUE(fs::exists(others + ".refused"));
  }
  EXPECT_EQ(recover(), "") << "nothing left to say at the next start";
}

// Instances starting together on many journals: each journal becomes one record, and none of them
// reports a journal as failed (one recovered by the other is nothing to say).
TEST_F(Recovery, InstancesStartingTogetherRecoverEachJournalOnceAndQuietly) {
  for (int round = 0; round < 5; ++round) {
    for (int n = 0; n < 30; ++n)
      LeaveJournal("RECD: ROUND " + std::to_string(round) + " CALL " + std::to_string(n) + ".");
    const std::string all = RecoverInChildren(folder, logs.string(), 3);
    EXPECT_EQ(all.find(std::to_string(static_cast<int>(TRecovery::Outcome::Failed)) + " "), std::string::npos)
        << all;
    const std::string file = readFile(capture);
    for (int n = 0; n < 30; ++n)
      EXPECT_EQ(Count(file, "RECD: ROUND " + std::to_string(round) + " CALL " + std::to_string(n) + "."), 1u)
          << "round " << round << " call " << n;
    EXPECT_TRUE(RecoverJournals(folder, logs.string()).empty());
  }
}

// Journals cut short and with bits flipped anywhere, at random: every text line that came through
// whole is in the record made of the journal, or, when no record could be made, in the journal kept
// in its folder; and nothing outside the capture and journal folders is written.
TEST(JournalDamage, NoIntactTextLineIsLostAndNothingIsWrittenOutsideTheFolders) {
  rc::detail::TestParams params;
  params.seed = 20011018;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  params.maxSuccess = 60;
#else
  params.maxSuccess = 300;
#endif
  params.maxSize = 100;
  if (std::getenv("RC_PARAMS")) params = rc::detail::configuration().testParams;
  std::map<std::string, int> outcomes, failures;
  long runs = 0, intactLines = 0, brokenLines = 0;
  auto property = [&] {
    TempDir dir;
    const std::string folder = (dir.path() / "journal").string();
    const fs::path logs = dir.path() / "captures";
    fs::create_directories(logs);
    // What the recovery must not touch: files beside the capture folder, and a folder whose name is
    // one bit away from it.
    fs::create_directories(dir.path() / "home");
    fs::create_directories(dir.path() / "capturas");
    { std::ofstream(dir.path() / "home" / ".bashrc") << "alias ll='ls -l'\n"; }
    const TWindowSettings values = Values(logs.string());
    const std::string capture = CapturePath(values.LogDirectory, "1018-1405", "LAB1");
    std::vector<std::string> lines;
    const int count = *rc::gen::inRange(1, 60);
    for (int i = 0; i < count; ++i) {
      std::string line = "L" + std::to_string(i) + ":" +
                         *rc::gen::container<std::string>(rc::gen::inRange('A', static_cast<char>('Z' + 1)));
      // A line end inside, with enough after it that a save's tidying keeps the last line.
      if (*rc::gen::arbitrary<bool>()) line += "\xb1\r\nGA THEN";
      lines.push_back(line + ";");
    }
    {
      TCallJournal j;
      RC_ASSERT(j.Create(folder, kStart) == 0);
      j.SetCapture(capture);
      j.SetValues(values);
      RC_ASSERT(j.Flush(false) == 0);
      for (std::size_t i = 0; i < lines.size(); ++i) {
        j.Append(lines[i]);
        if (i % 5 == 4) j.At(kStart + std::chrono::seconds(static_cast<long>(i)));
        if (i == lines.size() / 2) j.SetScriptCompleted(*rc::gen::arbitrary<bool>());
        RC_ASSERT(j.Flush(false) == 0);
      }
      if (*rc::gen::arbitrary<bool>()) j.Ended(kStart + std::chrono::seconds(60));
      j.Close();
    }
    std::string path;
    for (const auto& e : fs::directory_iterator(folder)) path = e.path().string();
    std::string text = readFile(path);
    // Cut short (a kill or a lost write) in one journal in two.
    const std::size_t keep =
        *rc::gen::arbitrary<bool>() ? *rc::gen::inRange<std::size_t>(0, text.size() + 1) : text.size();
    text.resize(keep);
    std::vector<std::size_t> flipped;
    const int flips = text.empty() ? 0 : *rc::gen::inRange(0, 5);
    for (int f = 0; f < flips; ++f) {
      const std::size_t at = *rc::gen::inRange<std::size_t>(0, text.size());
      text[at] = static_cast<char>(text[at] ^ (1 << *rc::gen::inRange(0, 8)));
      flipped.push_back(at);
    }
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << text; }
    // The text lines that came through whole: all their bytes and the line ends around them.
    std::vector<std::string> intact;
    std::size_t line = 0;
    for (std::size_t at = text.find("\ntext "); at != std::string::npos; at = text.find("\ntext ", at + 1)) {
      const std::size_t end = text.find('\n', at + 1);
      if (end == std::string::npos) break;
      const bool hit =
          std::any_of(flipped.begin(), flipped.end(), [&](std::size_t f) { return f >= at && f <= end; });
      // Which line it is: the written lines in order, the first that reads the same.
      const std::string value = JournalUnescape(std::string_view(text).substr(at + 6, end - at - 6));
      while (line < lines.size() && lines[line] != value) ++line;
      if (!hit && line < lines.size()) intact.push_back(value);
      (hit ? brokenLines : intactLines)++;
    }
    std::map<std::string, std::string> before;
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      if (e.is_regular_file()) before[e.path().string()] = readFile(e.path());

    const std::vector<TRecovery> r = RecoverJournals(folder, logs.string());
    RC_ASSERT(r.size() == 1u);
    static const char* kNames[] = {"recovered", "already saved", "empty", "in use",
                                   "gone",      "set aside",     "failed"};
    const std::string outcome =
        std::string(kNames[static_cast<int>(r[0].Result)]) +
        (r[0].Result == TRecovery::Outcome::Recovered && !r[0].SetAside.empty() ? " (damaged, kept)" : "");
    ++outcomes[outcome];
    if (r[0].Result == TRecovery::Outcome::Failed) {
      std::string why = r[0].Error;
      for (std::size_t at; (at = why.find(dir.path().string())) != std::string::npos;)
        why.replace(at, dir.path().string().size(), "<dir>");
      ++failures[why];
    }
    ++runs;
    const bool recorded = r[0].Result == TRecovery::Outcome::Recovered;
    std::string records;
    for (const auto& e : fs::directory_iterator(logs)) records += readFile(e.path());
    std::string kept;
    for (const auto& e : fs::directory_iterator(folder)) kept += readFile(e.path());
    for (const std::string& value : intact) {
      if (recorded) {
        RC_ASSERT(records.find(value) != std::string::npos);
      } else {
        RC_ASSERT(r[0].Result != TRecovery::Outcome::Empty);
        RC_ASSERT(kept.find("\ntext " + JournalEscape(value) + "\n") != std::string::npos);
      }
    }
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
      const std::string p = e.path().string();
      if (p.starts_with(logs.string() + "/") || p.starts_with(folder + "/")) continue;
      if (e.is_regular_file()) RC_ASSERT(before.count(p) == 1u && readFile(e.path()) == before[p]);
    }
  };
  ASSERT_TRUE(kit::testing::PropertyHolds("JournalDamage/NoIntactTextLineIsLost", params, property));
  std::cout << runs << " damaged journals (seed " << params.seed << "): " << intactLines
            << " intact text lines, " << brokenLines << " hit by a flip;";
  for (const auto& [what, n] : outcomes) std::cout << " " << n << " " << what << ";";
  std::cout << "\n";
  for (const auto& [why, n] : failures)
    std::cout << "  kept for the next start " << n << "x: " << why << "\n";
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
