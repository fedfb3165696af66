// SPDX-License-Identifier: Apache-2.0
// Reading a script's turns, typing at a pace, and hearing the end of the other side's turn.
#include <gtest/gtest.h>

#include "pacing.h"
#include "script.h"

namespace ttysim {
namespace {

TEST(Script, TurnsAreRunsOfNonEmptyLines) {
  Script s =
      Script::parse("\r\nHELLO\r\nHOW ARE YOU~ GA\r\n\r\n\r\nFINE GA\r\n   \r\nSTILL TURN 2\r\n\r\nBYE SK");
  ASSERT_EQ(s.count(), 3);
  EXPECT_EQ(s.turn(1), (Turn{"HELLO", "HOW ARE YOU~ GA"}));
  EXPECT_EQ(s.turn(2), (Turn{"FINE GA", "   ", "STILL TURN 2"}));  // a line of spaces is not empty
  EXPECT_EQ(s.turn(3), (Turn{"BYE SK"}));                          // no empty line after the last
  EXPECT_EQ(Script::parse("A\nB\n\nC\n").count(), 2);              // LF alone ends lines too
  EXPECT_EQ(Script::parse("").count(), 0);
}

TEST(Script, TurnsAreTypedLineByLineAndShownJoined) {
  Turn t{"HELLO", "HOW ARE YOU~ GA"};
  EXPECT_EQ(typedTurn(t, " "), "HELLO HOW ARE YOU~ GA ");
  EXPECT_EQ(typedTurn(t, "\r\n"), "HELLO\r\nHOW ARE YOU~ GA\r\n");
  EXPECT_EQ(shownTurn(t), "HELLOHOW ARE YOU GA");
  EXPECT_TRUE(sideOwns(Side::Odd, 1));
  EXPECT_FALSE(sideOwns(Side::Odd, 2));
  EXPECT_TRUE(sideOwns(Side::Even, 4));
}

TEST(Script, MissingFileIsAClearError) {
  std::string why;
  EXPECT_FALSE(Script::load("/nonexistent/script.txt", &why));
  EXPECT_NE(why.find("/nonexistent/script.txt"), std::string::npos);
}

TEST(Typist, TypesOneCharacterPerSlotWithPausesAndCatchesUpWhenLate) {
  Typist t;
  t.start("AB~C", 4, 10.0);
  EXPECT_EQ(t.poll(10.0), "A");
  EXPECT_EQ(t.poll(10.2), std::nullopt);  // next slot at 10.25
  EXPECT_DOUBLE_EQ(*t.nextDue(), 10.25);
  EXPECT_EQ(t.poll(10.25), "B");
  EXPECT_EQ(t.poll(10.5), "");   // the pause takes its slot
  EXPECT_EQ(t.poll(12.0), "C");  // late: typed at once
  EXPECT_FALSE(t.busy());
  EXPECT_EQ(t.nextDue(), std::nullopt);
}

TEST(TurnDetector, WaitsForTheSignAndSilenceOrGivesUpAfterLongSilence) {
  TurnDetector d(1.5, 6);
  EXPECT_FALSE(d.turnOver(100));
  for (char c : std::string("I AM FINE ga \r\n")) d.hear(c, 10);
  EXPECT_TRUE(d.endsWithSign());
  EXPECT_FALSE(d.turnOver(11.4));
  EXPECT_TRUE(d.turnOver(11.5));
  EXPECT_DOUBLE_EQ(*d.nextCheck(), 11.5);

  d.reset();
  for (char c : std::string("BYE SK")) d.hear(c, 20);
  EXPECT_TRUE(d.turnOver(21.5));

  d.reset();
  for (char c : std::string("I AM FINE GAS")) d.hear(c, 30);  // not a sign
  EXPECT_FALSE(d.turnOver(35.9));
  EXPECT_TRUE(d.turnOver(36));
  EXPECT_DOUBLE_EQ(*d.nextCheck(), 36);
}

}  // namespace
}  // namespace ttysim
