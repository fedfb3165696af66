// SPDX-License-Identifier: Apache-2.0
// The call record written and read back: random records survive the trip through bytes, alone,
// several to a file and with the file cut off anywhere; the value lines follow the landline and
// dialling rules; a file's name carries its month and day.
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "capture/dates.h"
#include "property.h"

namespace capture {
namespace {

// Text for one line: any Windows-1252 byte but the line ends, mostly printable, with the bytes
// the reader looks for (": ", "=", the view's marks) often.
rc::Gen<std::string> lineText() {
  const auto byte = rc::gen::weightedOneOf<char>(
      {{6, rc::gen::cast<char>(rc::gen::inRange(32, 127))},
       {2, rc::gen::cast<char>(rc::gen::inRange(0, 256))},
       {2, rc::gen::element<char>(' ', ':', '=', '(', ')', '\0', '\t', '\xB1', '\xB2', '\xE9')}});
  return rc::gen::container<std::string>(rc::gen::suchThat(byte, [](char c) { return c != '\r' && c != '\n'; }));
}

// The view's text: paragraphs, each one speaker's, joined by an empty line.
rc::Gen<std::string> conversation() {
  return rc::gen::map(rc::gen::container<std::vector<std::pair<bool, std::string>>>(
                          rc::gen::pair(rc::gen::arbitrary<bool>(), lineText())),
                      [](const std::vector<std::pair<bool, std::string>>& paragraphs) {
                        std::string text;
                        for (const auto& [sent, line] : paragraphs)
                          text += (text.empty() ? "" : "\r\n\r\n") + std::string(sent ? "SEND: " : "RECD: ") + line;
                        return text;
                      });
}

rc::Gen<Record> record() {
  return rc::gen::apply(
      [](std::string started, std::string ended, unsigned tenths, std::string text, CallValues v) {
        Record r;
        r.started = std::move(started);
        r.ended = endedText(ended, std::to_string(tenths / 10) + "." + std::to_string(tenths % 10));
        r.seconds = tenths / 10.0;
        r.conversation = std::move(text);
        r.values = valueLines(v);
        return r;
      },
      lineText(), lineText(), rc::gen::inRange(0u, 100000u), conversation(),
      rc::gen::build<CallValues>(
          rc::gen::set(&CallValues::computerId, lineText()),
          rc::gen::set(&CallValues::type, rc::gen::element<std::string>(kLandlineDirect, kLandlineAcoustic,
                                                                         "Wireless Calls", "")),
          rc::gen::set(&CallValues::direction, rc::gen::element<std::string>(kOutgoingCall, "Incoming Call")),
          rc::gen::set(&CallValues::signal, lineText()), rc::gen::set(&CallValues::cableId, lineText()),
          rc::gen::set(&CallValues::userName, lineText()), rc::gen::set(&CallValues::location, lineText()),
          rc::gen::set(&CallValues::device, rc::gen::element<std::string>("NXi modem", "Ultratec Custom Compact")),
          rc::gen::set(&CallValues::turboDetected), rc::gen::set(&CallValues::dialNumber, lineText()),
          rc::gen::set(&CallValues::scriptCompleted), rc::gen::set(&CallValues::scriptUsed, lineText())));
}

void sameRecord(const Record& back, const Record& written) {
  RC_ASSERT(back.started == written.started);
  RC_ASSERT(back.ended == written.ended);
  RC_ASSERT(back.seconds == written.seconds);
  RC_ASSERT(back.conversation == written.conversation);
  RC_ASSERT(back.values == written.values);
}

// Windows-1252 bytes that also make UTF-8 are read as UTF-8: such a file says so, and the
// property is about files read as written.
bool readAsWritten(const std::string& bytes) {
  std::string encoding;
  asCp1252(bytes, encoding);
  return encoding.empty();
}

rc::detail::TestParams params() {
  rc::detail::TestParams p;
  p.seed = 20011018;
  p.maxSuccess = 300;
  p.maxSize = 60;
  return p;
}

TEST(CaptureRecord, RecordsWrittenReadBackTheSameInOrder) {
  ASSERT_TRUE(kit::testing::PropertyHolds("CaptureRecord/RoundTrip", params(), [] {
    const auto records = *rc::gen::nonEmpty(rc::gen::container<std::vector<Record>>(record()));
    std::string file;
    for (const Record& r : records) file += recordBytes(r);
    RC_PRE(readAsWritten(file));
    const Capture back = readCapture(file);
    RC_ASSERT(back.problem.empty());
    RC_ASSERT(back.broken.empty());
    RC_ASSERT(back.records.size() == records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      RC_ASSERT(back.records[i].number == static_cast<int>(i) + 1);
      sameRecord(back.records[i], records[i]);
    }
  }));
}

// A file cut off anywhere in its last record (a full disk, a crash): the records before it read
// whole and unchanged, the last is whole only when nothing but its closing empty line is gone,
// and a record appended after the cut reads whole.
TEST(CaptureRecord, AFileCutOffKeepsEveryRecordBeforeTheCut) {
  ASSERT_TRUE(kit::testing::PropertyHolds("CaptureRecord/CutOff", params(), [] {
    const auto records = *rc::gen::nonEmpty(rc::gen::container<std::vector<Record>>(record()));
    std::string file;
    for (const Record& r : records) file += recordBytes(r);
    RC_PRE(readAsWritten(file));
    const std::size_t size = file.size(), lastStart = size - recordBytes(records.back()).size();
    // Anywhere in the last record, and often in its last lines.
    const std::size_t cut = *rc::gen::weightedOneOf<std::size_t>(
        {{2, rc::gen::inRange(lastStart, size)}, {1, rc::gen::inRange(std::max(lastStart, size - 40), size)}});
    const Capture back = readCapture(file.substr(0, cut));
    if (cut == 0) return RC_ASSERT(back.problem == "empty file");
    RC_ASSERT(back.records.size() >= records.size() - 1);
    for (std::size_t i = 0; i + 1 < records.size(); ++i) sameRecord(back.records[i], records[i]);
    // A CR alone ends the last line too.
    const bool scriptUsedEnded = cut >= size - 3;
    RC_ASSERT((back.records.size() == records.size()) == scriptUsedEnded);
    for (const BrokenRecord& b : back.broken) {
      RC_ASSERT(b.number == static_cast<int>(records.size()));
      RC_ASSERT(!b.reason.empty());
    }

    // A record saved after the cut (there is room again) reads whole, whatever the cut left.
    const Record next = *record();
    const std::string resumed = file.substr(0, cut) + recordBytes(next);
    RC_PRE(readAsWritten(resumed));
    const Capture after = readCapture(resumed);
    RC_ASSERT(!after.records.empty());
    sameRecord(after.records.back(), next);
    for (std::size_t i = 0; i + 1 < records.size(); ++i) sameRecord(after.records[i], records[i]);
  }));
}

TEST(CaptureRecord, WrittenLineByLine) {
  Record r;
  r.started = "10/18/01 14:05:07";
  r.ended = endedText("10/18/01 14:07:12", "125.3");
  r.conversation = "SEND: HELLO GA\r\n\r\nRECD: HI \xE9 GA";
  r.values = {{"COMPUTERID", "LAB1"}, {"SCRIPTUSED", "s.txt"}};
  EXPECT_EQ(recordBytes(r), std::string(64, '=') +
                                "\r\nStarted at 10/18/01 14:05:07\r\n\r\nSEND: HELLO GA\r\n\r\nRECD: HI \xE9 GA\r\n\r\n"
                                "Ended at 10/18/01 14:07:12 (125.3 seconds)\r\nCOMPUTERID: LAB1\r\nSCRIPTUSED: s.txt\r\n\r\n");
}

std::vector<std::string> keys(const CallValues& v) {
  std::vector<std::string> k;
  for (const auto& [key, value] : valueLines(v)) k.push_back(key);
  return k;
}

TEST(CaptureRecord, ValueLinesFollowTheLandlineAndDiallingRules) {
  CallValues v;
  v.type = "Wireless";
  v.signal = "Strong";
  v.cableId = "C7";
  v.device = "NXi modem";
  v.direction = kOutgoingCall;
  v.dialNumber = "5551234";
  const std::vector<std::string> all = {"COMPUTERID", "TYPE", "DIRECTION", "SIGNAL", "CABLEID", "PHONEMODEL",
                                        "PHONETECH", "USERNAME", "LOCATION", "NETWORKINFO", "DEVICE", "PORT",
                                        "TURBOCODEDETECTED", "DIAL#", "SCRIPTCOMPLETED", "SCRIPTUSED"};
  EXPECT_EQ(keys(v), all);
  EXPECT_EQ(valueLines(v)[3].second, "Strong");
  EXPECT_EQ(valueLines(v)[13].second, "5551234");

  // No number is dialled on an incoming call, nor by a TTY.
  std::vector<std::string> noDial = all;
  noDial.erase(noDial.begin() + 13);
  v.direction = "Incoming Call";
  EXPECT_EQ(keys(v), noDial);
  v.direction = kOutgoingCall;
  v.device = "Ultratec Custom Compact";
  EXPECT_EQ(keys(v), noDial);

  for (const char* landline : {kLandlineDirect, kLandlineAcoustic}) {
    v.type = landline;
    const auto lines = valueLines(v);
    EXPECT_EQ(lines[3].second, "N/A (Landline calls)");
    EXPECT_EQ(lines[4].second, "N/A");
    EXPECT_EQ(lines[5].second, "N/A");
    EXPECT_EQ(lines[6].second, "N/A");
  }
}

TEST(CaptureName, PrefixNameAndTheMonthAndDayReadBack) {
  std::tm local{};
  local.tm_mon = 0;
  local.tm_mday = 5;
  local.tm_hour = 9;
  local.tm_min = 3;
  const std::string name = fileName(filePrefix(local), "LAB1");
  EXPECT_EQ(name, "0105-0903-LAB1.TXT");
  const auto md = monthDayOfName(name);
  ASSERT_TRUE(md);
  EXPECT_EQ(md->month, 1);
  EXPECT_EQ(md->day, 5);
  EXPECT_EQ(orderFromName("05/01/26 09:03:00", *md), DateOrder::DayFirst);
}

}  // namespace
}  // namespace capture
