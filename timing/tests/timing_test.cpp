// SPDX-License-Identifier: Apache-2.0
// The timing file as its readers meet it: every byte comes back, the file reads as plain CSV,
// and a line broken off by a crash is never taken for a whole one, before or after the next append.
#include "timing.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "temp_dir.h"

namespace timing {
namespace {

using kit::testing::readFile;
using kit::testing::TempDir;

RecordTimes sampleRecord(const std::string& started, long long startMs) {
  RecordTimes r{started, startMs, {}};
  r.chars.push_back({Direction::Sent, 0, 'H'});
  r.chars.push_back({Direction::Sent, 167, ','});
  r.chars.push_back({Direction::Received, 1500, '\r'});
  r.chars.push_back({Direction::Received, -20, 0xB1});
  return r;
}

void expectSame(const RecordTimes& a, const RecordTimes& b) {
  EXPECT_EQ(a.started, b.started);
  EXPECT_EQ(a.startMs, b.startMs);
  ASSERT_EQ(a.chars.size(), b.chars.size());
  for (std::size_t i = 0; i < a.chars.size(); ++i) {
    EXPECT_EQ(a.chars[i].direction, b.chars[i].direction) << i;
    EXPECT_EQ(a.chars[i].ms, b.chars[i].ms) << i;
    EXPECT_EQ(a.chars[i].code, b.chars[i].code) << i;
  }
}

TEST(TimingFile, NamedBesideItsCapture) {
  EXPECT_EQ(timingPathFor("/day/1208-1556-LAB1.TXT"), "/day/1208-1556-LAB1.timing.csv");
  EXPECT_EQ(timingPathFor("call.txt"), "call.timing.csv");
  EXPECT_EQ(timingPathFor("capture"), "capture.timing.csv");
  EXPECT_TRUE(isTimingName("/day/1208-1556-LAB1.timing.csv"));
  EXPECT_TRUE(isTimingName("X.TIMING.CSV"));
  EXPECT_FALSE(isTimingName("/day/1208-1556-LAB1.TXT"));
  // Never taken for a capture by a search for *.TXT.
  EXPECT_FALSE(timingPathFor("a.TXT").ends_with(".TXT"));
}

TEST(TimingFile, EveryByteComesBackAndNoFieldNeedsQuoting) {
  for (int code = 0; code < 256; ++code) {
    const std::string one(1, static_cast<char>(code));
    const std::string field = escapeField(one);
    EXPECT_EQ(field.find_first_of(",\"\r\n"), std::string::npos) << code;
    EXPECT_EQ(unescapeField(field), one) << code;
    // A character a spreadsheet would start a formula with, or a space it might trim, is escaped.
    if (std::string_view("=+-@ ").find(static_cast<char>(code)) != std::string_view::npos) {
      EXPECT_EQ(field.substr(0, 2), "\\x") << code;
    }
  }
  EXPECT_EQ(escapeField("A"), "A");
  EXPECT_EQ(escapeField("12/08/26 15:56:26"), "12/08/26 15:56:26");
  EXPECT_EQ(escapeField("3,4 \\x"), "3\\x2C4 \\x5Cx");
  EXPECT_EQ(unescapeField("3\\x2C4 \\x5Cx"), "3,4 \\x");
  for (const char* bad : {"\\", "\\x", "\\x4", "\\y41", "\\xG1"}) EXPECT_FALSE(unescapeField(bad)) << bad;
}

TEST(TimingFile, LinesReadAsPlainCsv) {
  const RecordTimes r = sampleRecord("10/18/01 2:05:07 PM", 1003413907250);
  const std::string text = std::string(kHeader) + "\n" + formatRecord(r);
  EXPECT_EQ(text,
            "started,start_ms,direction,ms,code,char\n"
            "10/18/01 2:05:07 PM,1003413907250,sent,0,72,H\n"
            "10/18/01 2:05:07 PM,1003413907250,sent,167,44,\\x2C\n"
            "10/18/01 2:05:07 PM,1003413907250,received,1500,13,\\x0D\n"
            "10/18/01 2:05:07 PM,1003413907250,received,-20,177,\\xB1\n");
  const TimingFile read = readTimingFile(text);
  EXPECT_EQ(read.problem, "");
  EXPECT_EQ(read.badLines, 0);
  ASSERT_EQ(read.records.size(), 1u);
  expectSame(read.records[0], r);
}

TEST(TimingFile, RecordsGatheredByStartAndColumnsFoundByName) {
  // Two records with the same "Started at" second keep apart by their start in milliseconds;
  // a writer's own columns, in another order, do not disturb the reader; CR LF ends lines too.
  const std::string text =
      "ms,direction,code,started,start_ms,note\r\n"
      "5,sent,65,10/18/01 14:05:07,1000,x\r\n"
      "7,received,66,10/18/01 14:05:07,1500,y\r\n"
      "9,sent,67,10/18/01 14:05:07,1000,z\r\n";
  const TimingFile read = readTimingFile(text);
  EXPECT_EQ(read.badLines, 0);
  ASSERT_EQ(read.records.size(), 2u);
  EXPECT_EQ(read.records[0].startMs, 1000);
  ASSERT_EQ(read.records[0].chars.size(), 2u);
  EXPECT_EQ(read.records[0].chars[1].code, 'C');
  EXPECT_EQ(read.records[1].chars.size(), 1u);
  EXPECT_EQ(read.records[1].chars[0].direction, Direction::Received);
}

TEST(TimingFile, LinesThatDoNotReadWholeAreCountedAndSkipped) {
  const std::string good = "10/18/01 14:05:07,1000,sent,5,65,A\n";
  const std::string text =
      std::string(kHeader) + "\n" + good +
      "10/18/01 14:05:07,1000,sent,5,65\n"       // a field missing
      "10/18/01 14:05:07,1000,sent,5,65,A,B\n"   // one too many
      "10/18/01 14:05:07,1000,typed,5,65,A\n"    // no direction
      "10/18/01 14:05:07,1000,sent,5.5,65,A\n"   // not whole milliseconds
      "10/18/01 14:05:07,1000,sent,5,300,A\n"    // not a byte
      "10/18/01 14:05:07,1000,sent,5,66,A\n"     // char and code disagree
      "10/18/01 14:05:07,1000,sent,5,65,\\x4\n"  // a broken escape
      "started,start_ms,direction,ms,code,char\n" +
      good + "10/18/01 14:05:07,1000,sent,7,65,";  // broken off by a crash, though its fields read
  const TimingFile read = readTimingFile(text);
  EXPECT_EQ(read.badLines, 8);
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(read.records[0].chars.size(), 2u);
  EXPECT_EQ(readTimingFile("HELLO\n").problem,
            "not a timing file (its first line is not \"" + std::string(kHeader) + "\")");
  EXPECT_EQ(readTimingFile("").problem, "empty file");
}

TEST(TimingFile, AppendingAfterACrashKeepsEveryWholeLine) {
  TempDir dir;
  const std::string path = dir.file("0101-1200-LAB1.timing.csv");
  const RecordTimes first = sampleRecord("01/01/26 12:00:01", 1767268801000);
  ASSERT_EQ(appendRecord(path, first), "");
  // The program was killed in the middle of a line of the next record.
  {
    const std::string torn = readFile(path) + "01/01/26 12:00:40,1767268840000,sent,12";
    dir.write("0101-1200-LAB1.timing.csv", torn);
  }
  const RecordTimes second = sampleRecord("01/01/26 12:00:59", 1767268859000);
  ASSERT_EQ(appendRecord(path, second), "");
  const std::string bytes = readFile(path);
  EXPECT_TRUE(bytes.starts_with(std::string(kHeader) + "\n"));
  EXPECT_EQ(bytes.find(std::string(kHeader), 1), std::string::npos) << "the header once";
  const TimingFile read = readTimingFile(bytes);
  EXPECT_EQ(read.badLines, 1);
  ASSERT_EQ(read.records.size(), 2u);
  expectSame(read.records[0], first);
  expectSame(read.records[1], second);
}

TEST(TimingFile, WriterAppendsLineByLine) {
  TempDir dir;
  const std::string path = dir.file("t.timing.csv");
  const RecordTimes r = sampleRecord("01/01/26 12:00:01", 1767268801000);
  {
    Writer w;
    ASSERT_EQ(w.open(path), "");
    for (const CharTime& c : r.chars) {
      ASSERT_EQ(w.append(r.started, r.startMs, c), "");
      // Each line is in the file as soon as it is appended.
      EXPECT_EQ(readTimingFile(readFile(path)).badLines, 0);
    }
    EXPECT_EQ(w.close(), "");
  }
  const TimingFile read = readTimingFile(readFile(path));
  ASSERT_EQ(read.records.size(), 1u);
  expectSame(read.records[0], r);
}

TEST(TimingFile, SomethingElseIsNeverAppendedTo) {
  TempDir dir;
  const std::string capture = dir.write("0101-1200-LAB1.TXT", "================\r\nStarted at 01/01/26\r\n");
  EXPECT_NE(appendRecord(capture, sampleRecord("x", 1)).find("is not a timing file"), std::string::npos);
  EXPECT_EQ(readFile(capture), "================\r\nStarted at 01/01/26\r\n");
  const std::string why = appendRecord(dir.file("no/such/folder/t.timing.csv"), sampleRecord("x", 1));
  EXPECT_NE(why.find("cannot open"), std::string::npos) << why;
}

// A record that does not fit (a full disk; here the process's file size limit) is not left in part:
// a reader would take its first lines for all its times. A file made for it goes again.
TEST(TimingFile, ARecordThatCannotBeWrittenWholeIsNotWrittenAtAll) {
  TempDir dir;
  const std::string path = dir.file("t.timing.csv");
  ASSERT_EQ(appendRecord(path, sampleRecord("01/01/26 12:00:01", 1767268801000)), "");
  const std::string before = readFile(path);
  RecordTimes big = sampleRecord("01/01/26 12:00:59", 1767268859000);
  big.chars.resize(2000, {Direction::Sent, 99, 'X'});
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = before.size() + 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string why = appendRecord(path, big);
  const std::string fresh = dir.file("fresh.timing.csv");
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string whyFresh = appendRecord(fresh, big);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_NE(why.find("cannot write"), std::string::npos) << why;
  EXPECT_EQ(readFile(path), before);
  EXPECT_NE(whyFresh, "");
  EXPECT_FALSE(std::filesystem::exists(fresh));
}

}  // namespace
}  // namespace timing
