// The texts the demo scores: a side's turns from a script, one speaker's text from a capture.
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

  // Each record on its own, as the calls of a day were saved.
  auto each = records(capture + Record("RECD: THIRD"));
  ASSERT_EQ(each.size(), 3u);
  EXPECT_EQ(lastConversation(each[0]), "SEND: FIRST CALL");
  EXPECT_EQ(lastRecordValue(each[0], "DIAL#"), std::nullopt);
  EXPECT_EQ(lastRecordValue(each[1], "DIAL#"), "5");
  EXPECT_EQ(lastConversation(each[2]), "RECD: THIRD");
  EXPECT_TRUE(records("no record here\r\n").empty());
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
