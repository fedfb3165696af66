// SPDX-License-Identifier: Apache-2.0
// Reading capture files and scripts: every record of a file, a side's turns, a speaker's text.
#include "fieldtext.h"

#include <gtest/gtest.h>

namespace fieldtext {
namespace {

TEST(FieldText, TurnsAreRunsOfNonEmptyLinesWhateverTheLineEnds) {
  // Leading and repeated empty lines make no turns; a line of spaces is text; no end at the end.
  auto turns = readTurns("\r\nHELLO\r\nHOW ARE YOU~ GA\r\n\r\n\r\n  \nOK GA\n\nBYE SK");
  ASSERT_EQ(turns.size(), 3u);
  EXPECT_EQ(turns[0], (Turn{"HELLO", "HOW ARE YOU~ GA"}));
  EXPECT_EQ(turns[1], (Turn{"  ", "OK GA"}));
  EXPECT_EQ(turns[2], (Turn{"BYE SK"}));
  EXPECT_TRUE(readTurns("\r\n\r\n").empty());
}

TEST(FieldText, ASidesTurnsAsSentOrAsTypedFromTheWindow) {
  auto turns = readTurns("HELLO\r\nHOW ARE YOU~ GA\r\n\r\nFINE GA\r\n\r\nBYE~~ SK\r\n\r\n");
  EXPECT_EQ(sideText(turns, Side::Odd), "HELLO HOW ARE YOU GA BYE SK ");
  EXPECT_EQ(sideText(turns, Side::Even), "FINE GA ");
  EXPECT_EQ(sideText(turns, Side::Odd, ""), "HELLOHOW ARE YOU GABYE SK");
}

const std::string kRule(64, '=');

std::string Record(const std::string& conversation, const std::string& extra = "") {
  return kRule + "\r\nStarted at 10/18/01 14:05:07\r\n\r\n" + conversation +
         "\r\n\r\nEnded at 10/18/01 14:05:49 (42.0 seconds)\r\nCOMPUTERID: LAB1\r\n" + extra +
         "TURBOCODEDETECTED: Yes\r\nSCRIPTCOMPLETED: Yes\r\nSCRIPTUSED: /s.txt\r\n\r\n";
}

TEST(FieldText, TheLastCompleteRecordsConversationAndValues) {
  std::string capture =
      Record("SEND: FIRST CALL") + Record("SEND: HI GA \r\n\r\nRECD: HELLO\xB1\xB2 GA", "DIAL#: 5\r\n");
  EXPECT_EQ(lastConversation(capture), "SEND: HI GA \r\n\r\nRECD: HELLO\xB1\xB2 GA");
  EXPECT_EQ(lastRecordValue(capture, "DIAL#"), "5");
  EXPECT_EQ(lastRecordValue(capture, "SCRIPTUSED"), "/s.txt");
  EXPECT_EQ(lastRecordValue(Record("SEND: X"), "DIAL#"), std::nullopt);
  // A conversation line that looks like a value is not one.
  EXPECT_EQ(lastRecordValue(Record("RECD: COMPUTERID: X"), "COMPUTERID"), "LAB1");

  // An empty view is an empty conversation; a record broken off before its values is none.
  EXPECT_EQ(lastConversation(Record("")), "");
  std::string cut = Record("SEND: HI GA");
  EXPECT_EQ(lastConversation(cut.substr(0, cut.find("TURBO"))), std::nullopt);
  EXPECT_EQ(lastConversation("no record here\r\n"), std::nullopt);
}

TEST(FieldText, EveryRecordOfAFileIsReadAndABrokenOneDoesNotStopTheRest) {
  // Record 2 was broken off by a full disk before its values; record 3 was appended after it.
  // Record 4 has a conversation whose far end typed what looks like a record's lines.
  std::string broken = Record("SEND: SECOND");
  broken = broken.substr(0, broken.find("COMPUTERID"));
  std::string tricky = Record("RECD: X\xB1\xB2\r\n\r\nRECD: Ended at noon (5 seconds)\r\nSEND: OK");
  std::string lfOnly = Record("SEND: LF ONLY");
  for (std::size_t at; (at = lfOnly.find("\r\n")) != std::string::npos;) lfOnly.erase(at, 1);
  Capture capture =
      readCapture(Record("SEND: FIRST") + broken + Record("SEND: THIRD", "DIAL#: 5\r\n") + tricky + lfOnly);
  EXPECT_EQ(capture.problem, "");
  ASSERT_EQ(capture.records.size(), 4u);
  ASSERT_EQ(capture.broken.size(), 1u);
  EXPECT_EQ(capture.broken[0].number, 2);
  EXPECT_NE(capture.broken[0].reason.find("truncated"), std::string::npos);
  std::vector<int> numbers;
  for (const auto& r : capture.records) numbers.push_back(r.number);
  EXPECT_EQ(numbers, (std::vector<int>{1, 3, 4, 5}));
  const fieldtext::Record& third = capture.records[1];
  EXPECT_EQ(third.conversation, "SEND: THIRD");
  EXPECT_EQ(third.started, "10/18/01 14:05:07");
  EXPECT_EQ(third.seconds, 42.0);
  ASSERT_NE(third.value("DIAL#"), nullptr);
  EXPECT_EQ(*third.value("DIAL#"), "5");
  EXPECT_EQ(third.values.back(), (std::pair<std::string, std::string>{"SCRIPTUSED", "/s.txt"}));
  EXPECT_EQ(capture.records[2].conversation,
            "RECD: X\xB1\xB2\r\n\r\nRECD: Ended at noon (5 seconds)\r\nSEND: OK");
  EXPECT_EQ(capture.records[3].conversation, "SEND: LF ONLY");
}

TEST(FieldText, WhatIsNoCaptureFileOrNoWholeRecord) {
  EXPECT_EQ(readCapture("").problem, "empty file");
  EXPECT_EQ(readCapture(std::string("\x7f"
                                    "ELF\0\0\1",
                                    7))
                .problem,
            "not a capture file (binary data)");
  EXPECT_EQ(readCapture("HELLO THIS IS A SCRIPT GA\r\n\r\n").problem,
            "not a capture file (no call record in it)");

  // A last record cut short anywhere is reported, never read as a whole one.
  const std::string whole = Record("SEND: HI GA \r\n\r\nRECD: HELLO GA");
  for (std::size_t cut = 64; cut + 2 < whole.size(); cut += 7) {
    Capture capture = readCapture(Record("SEND: FIRST") + whole.substr(0, cut));
    ASSERT_EQ(capture.records.size(), 1u) << cut;
    ASSERT_EQ(capture.broken.size(), 1u) << cut;
    EXPECT_EQ(capture.broken[0].number, 2);
  }
  // Only the empty line after SCRIPTUSED missing: the record is whole.
  EXPECT_EQ(readCapture(whole.substr(0, whole.size() - 2)).records.size(), 1u);
}

TEST(FieldText, ARecordCutMidLineEndsThereAndTheNextOneIsReadWhole) {
  // The first record broke off in the middle of a received line; the program appended the next
  // record right after it, its rule line on the same line.
  const std::string first = Record("SEND: HI GA \r\n\r\nRECD: HELLO WORLD GA");
  const std::string cut = first.substr(0, first.find("WORLD") + 2);
  Capture capture = readCapture(Record("SEND: BEFORE") + cut + Record("SEND: AFTER", "DIAL#: 7\r\n"));
  ASSERT_EQ(capture.records.size(), 2u);
  ASSERT_EQ(capture.broken.size(), 1u);
  EXPECT_EQ(capture.records[1].number, 3);
  EXPECT_EQ(capture.records[1].conversation, "SEND: AFTER");
  ASSERT_NE(capture.records[1].value("DIAL#"), nullptr);
  const BrokenRecord& broken = capture.broken[0];
  EXPECT_EQ(broken.number, 2);
  EXPECT_TRUE(broken.started);
  EXPECT_FALSE(broken.conversationWhole);
  EXPECT_EQ(broken.partial.conversation, "SEND: HI GA \r\n\r\nRECD: HELLO WO");
  EXPECT_EQ(broken.partial.started, "10/18/01 14:05:07");

  // Cut in its values: the conversation is whole, the values up to the cut line are kept.
  const std::string inValues = first.substr(0, first.find("TURBOCODE") + 5);
  Capture values = readCapture(inValues);
  ASSERT_EQ(values.broken.size(), 1u);
  EXPECT_TRUE(values.broken[0].conversationWhole);
  EXPECT_EQ(values.broken[0].partial.values,
            (std::vector<std::pair<std::string, std::string>>{{"COMPUTERID", "LAB1"}}));
}

TEST(FieldText, FilesResavedByAnEditorReadAsTheProgramWroteThem) {
  const std::string program = Record(
      "RECD: MONTR\xC9"
      "AL GA\xB1\xB2 OK",
      "LOCATION: Montr\xE9"
      "al\r\n");
  auto same = [&](const std::string& bytes, const std::string& encoding) {
    Capture c = readCapture(bytes);
    EXPECT_EQ(c.encoding, encoding);
    ASSERT_EQ(c.records.size(), 1u) << encoding;
    EXPECT_EQ(c.records[0].conversation,
              "RECD: MONTR\xC9"
              "AL GA\xB1\xB2 OK")
        << encoding;
    ASSERT_NE(c.records[0].value("LOCATION"), nullptr);
    EXPECT_EQ(*c.records[0].value("LOCATION"),
              "Montr\xE9"
              "al")
        << encoding;
  };
  same(program, "");
  const std::string utf8 = cp1252ToUtf8(program);
  same(utf8, "UTF-8");
  same("\xEF\xBB\xBF" + utf8, "UTF-8 with a byte-order mark");
  std::string utf16 = "\xFF\xFE";
  for (unsigned char c : program) {
    const char16_t unit = c == 0xC9 ? 0xC9 : c == 0xE9 ? 0xE9 : c == 0xB1 ? 0xB1 : c == 0xB2 ? 0xB2 : c;
    utf16 += static_cast<char>(unit & 0xFF);
    utf16 += static_cast<char>(unit >> 8);
  }
  same(utf16, "UTF-16LE");
  // Saved with the old Macintosh line ends, CR alone.
  std::string crOnly = program;
  for (std::size_t at; (at = crOnly.find("\r\n")) != std::string::npos;) crOnly.erase(at + 1, 1);
  same(crOnly, "");
  // A character the code page lacks becomes a question mark.
  const Capture arrow =
      readCapture(Record("RECD: A\xE2\x86\x92"
                         "B"));
  EXPECT_EQ(arrow.encoding, "UTF-8");
  ASSERT_EQ(arrow.records.size(), 1u);
  EXPECT_EQ(arrow.records[0].conversation, "RECD: A?B");
}

TEST(FieldText, Windows1252BecomesUtf8) {
  EXPECT_EQ(cp1252ToUtf8("Caf\xE9 \x80 \x93x\x94 \xB1\xB2"),
            "Caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D \xC2\xB1\xC2\xB2");
}

TEST(FieldText, ASpeakersTextWithoutTheLineBreakMarks) {
  // A modem's automatic line break shows as the CR and LF marks in the middle of a turn.
  std::string conversation =
      "RECD: GOOD MORNING\xB1\xB2 GA\r\n\r\nSEND: THE NUMBERS ARE\xB1\xB2 911 GA \r\n\r\n"
      "RECD: OK\xB7K GA\r\n\r\nSEND: BYE SK";
  EXPECT_EQ(speakerText(conversation, "RECD: "), "GOOD MORNING GAOK\xB7K GA");
  EXPECT_EQ(speakerText(conversation, "SEND: "), "THE NUMBERS ARE 911 GA BYE SK");
  EXPECT_EQ(speakerText("", "SEND: "), "");
  EXPECT_EQ(withoutLineEnds("THE NUMBERS ARE\r\n 911 GA\r 5"), "THE NUMBERS ARE 911 GA 5");
}

}  // namespace
}  // namespace fieldtext
