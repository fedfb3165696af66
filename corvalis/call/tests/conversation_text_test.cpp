// SPDX-License-Identifier: Apache-2.0
#include "common/conversation_text.h"

#include <gtest/gtest.h>

#include "call/engine_state.h"
#include "common/cp1252.h"

using namespace corvalis;

TEST(Cp1252, ConvertsBothWaysAndReplacesWhatItCannotHold) {
  EXPECT_EQ(Cp1252ToUtf8("\xB1\xB2\xB7"), "\u00B1\u00B2\u00B7");
  EXPECT_EQ(Cp1252ToUtf8("\x80\x93"), "\u20AC\u201C");
  EXPECT_EQ(Utf8ToCp1252("caf\u00E9 \u20AC \u4E2D"), "caf\xE9 \x80 ?");
  EXPECT_EQ(Utf8ToCp1252("bad \xC3"), "bad ?");
  EXPECT_EQ(Utf8ToCp1252("\xFF"
                         "A"),
            "?A");
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(UnicodeToCp1252(Cp1252ToUnicode(static_cast<unsigned char>(b))), b);
  }
}

TEST(ConversationText, DisplayKeepsEveryByteAndShowsControlCodes) {
  std::string text =
      "SEND: HI\x08\x1B"
      "\xB1\xB2\r\n\r\nRECD: \xB7\x7F\rZ\n";
  std::u32string shown = ViewTextToDisplay(text);
  EXPECT_EQ(shown, U"SEND: HI\u2408\u241B\u00B1\u00B2\u2029\u2029RECD: \u00B7\u2421\u240DZ\u240A");
  EXPECT_EQ(DisplayToViewText(shown), text);
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(DisplayToViewText(ViewTextToDisplay(all)), all);
  // Typed text: a line break and a character outside the code page.
  EXPECT_EQ(DisplayToViewText(U"A\nB\u2029\u4E2D"), "A\r\nB\r\n?");
}

TEST(ConversationText, LinesSplitAtCrLf) {
  EXPECT_EQ(SplitLines(""), std::vector<std::string>{""});
  EXPECT_EQ(SplitLines("a\r\n"), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(SplitLines("a\rb\nc\r\nd"), (std::vector<std::string>{"a\rb\nc", "d"}));
  EXPECT_EQ(JoinLines(SplitLines("x\r\n\r\ny")), "x\r\n\r\ny");
}

TEST(ConversationText, CleanUpLastLineRemovesModemEscapeAndTrailingSpaces) {
  EXPECT_EQ(CleanUpLastLine("RECD: HI\r\n\r\nRECD: BYE SK +++ATH"), "RECD: HI\r\n\r\nRECD: BYE SK");
  EXPECT_EQ(CleanUpLastLine("SEND: GA SK   "), "SEND: GA SK");
  EXPECT_EQ(CleanUpLastLine("first  \r\n    "), "first  \r\n ");  // only the last line; one space stays
  EXPECT_EQ(CleanUpLastLine("+++ATH"), "");
  EXPECT_EQ(CleanUpLastLine("A +++ B +++"), "A");
  EXPECT_EQ(CleanUpLastLine(""), "");
}

TEST(ConversationText, TrimDropsEmptyLinesAndABareMarkAtTheEnd) {
  EXPECT_EQ(TrimConversationEnd("SEND: HELLO GA\r\n\r\nRECD: \r\n\r\n"), "SEND: HELLO GA");
  EXPECT_EQ(TrimConversationEnd("SEND: HELLO GA\r\n\r\nRECD: H"), "SEND: HELLO GA");
  EXPECT_EQ(TrimConversationEnd("SEND: HELLO GA\r\n\r\nRECD: HI GA"), "SEND: HELLO GA\r\n\r\nRECD: HI GA");
  EXPECT_EQ(TrimConversationEnd("SEND: HELLO GA\r\n1234567\r\n"), "SEND: HELLO GA");
  EXPECT_EQ(TrimConversationEnd("SEND: HELLO GA\r\n12345678\r\n"), "SEND: HELLO GA\r\n12345678");
  // The first line is never examined or removed.
  EXPECT_EQ(TrimConversationEnd("RECD: "), "RECD: ");
  EXPECT_EQ(TrimConversationEnd("RECD: \r\n\r\n"), "RECD: ");
  EXPECT_EQ(TrimConversationEnd("\r\nRECD: "), "");
  EXPECT_EQ(TrimConversationEnd(""), "");
}

TEST(CallClock, MinutesAndTwoDigitSeconds) {
  EXPECT_EQ(CallClockText(0), "0:00 Min");
  EXPECT_EQ(CallClockText(65), "1:05 Min");
  EXPECT_EQ(CallClockText(600), "10:00 Min");
  EXPECT_EQ(CallClockText(7325), "122:05 Min");
}

TEST(AutoSend, RecentCharsKeepTheLastFourShownUpperCase) {
  std::string r;
  for (char c : std::string("gaxyzga")) PushRecentChar(r, c);
  EXPECT_EQ(r, "YZGA");
  std::string d;
  for (char c : std::string("ga\xB1\xB2")) PushRecentChar(d, c);
  EXPECT_EQ(d, "GA\xB1\xB2");
}

TEST(AutoSend, SilenceAndSignRules) {
  // More than 3 s after at least 4 characters; more than 6 s after at least one.
  EXPECT_FALSE(AutoSendDue(15, 4, ""));
  EXPECT_TRUE(AutoSendDue(16, 4, ""));
  EXPECT_FALSE(AutoSendDue(16, 3, ""));
  EXPECT_FALSE(AutoSendDue(30, 1, ""));
  EXPECT_TRUE(AutoSendDue(31, 1, ""));
  EXPECT_FALSE(AutoSendDue(100, 0, ""));
  // GA or SK ending four characters, after more than 1.2 s.
  EXPECT_TRUE(AutoSendDue(7, 0, "QQGA"));
  EXPECT_FALSE(AutoSendDue(6, 0, "QQGA"));
  EXPECT_TRUE(AutoSendDue(7, 0, "BYSK"));
  EXPECT_FALSE(AutoSendDue(7, 0, "GA"));
  EXPECT_FALSE(AutoSendDue(7, 0, "GAGA"));
  EXPECT_FALSE(AutoSendDue(7, 0, "QGAQ"));
  EXPECT_FALSE(AutoSendDue(7, 0, "SKSK"));  // the first SK starts the run
}
