// SPDX-License-Identifier: Apache-2.0
#include "charset.h"

#include <gtest/gtest.h>

namespace rttmodem::text {
namespace {

const std::string kLs = "\xE2\x80\xA8";  // U+2028

TEST(Charset, ProgramTextBecomesT140) {
  ToNetwork t;
  EXPECT_EQ(t.convert("Caf\xE9 \x80 5\x80\r\nnext\nline\r"),
            "Caf\xC3\xA9 \xE2\x82\xAC 5\xE2\x82\xAC" + kLs + "next" + kLs + "line" + kLs);
  // The LF of a CR LF that arrives in a later write is not a second line end.
  EXPECT_EQ(t.convert("\nok"), "ok");
  EXPECT_EQ(t.convert("ab\bc"), "ab\bc");  // BS is T.140's erase as it is
  EXPECT_EQ(t.convert(std::string("a\0\x1B\x7F"
                                  "b",
                                  5)),
            "ab");  // controls with no meaning
  EXPECT_EQ(t.unrepresentable(), 0u);
  EXPECT_EQ(t.convert("x\x81y\x9D"), "x?y?");  // bytes Windows-1252 leaves undefined
  EXPECT_EQ(t.unrepresentable(), 2u);
}

TEST(Charset, T140BecomesProgramText) {
  FromNetwork f;
  EXPECT_EQ(f.convert("Caf\xC3\xA9" + kLs + "x\r\ny\nz\xE2\x80\xA9"), "Caf\xE9\r\nx\r\ny\r\nz\r\n");
  EXPECT_EQ(f.convert("\r"), "\r\n");
  EXPECT_EQ(f.convert("\nA"), "A");  // CR LF split over two blocks
  EXPECT_EQ(f.convert("ab\x08"
                      "c"),
            "ab\bc");
  EXPECT_EQ(f.unrepresentable(), 0u);
  // No Windows-1252 form: a question mark each, counted; the lost-text mark is a '?' too but is
  // not a character the code page lacks.
  EXPECT_EQ(f.convert("\xE4\xBD\xA0\xF0\x9F\x98\x80!\xEF\xBF\xBD"),
            "??"
            "!?");
  EXPECT_EQ(f.unrepresentable(), 2u);
  // Keep-alive byte order marks and control sequences (colours) never reach the program.
  EXPECT_EQ(f.convert("\xEF\xBB\xBF"), "");
  EXPECT_EQ(f.convert("a\x1B[31mred\x1B[0m b"), "ared b");
  EXPECT_EQ(f.convert("\xC2\x98"
                      "hidden\xC2\x9C"
                      "shown"),
            "shown");
}

TEST(Charset, AControlSequenceNeverHidesMoreThanItsBoundNorAMarkNorALineEnd) {
  const std::string mark = "\xEF\xBF\xBD";
  {
    // An OSC never terminated: what follows it is text after all, shown once the sequence has
    // run past its bound.
    FromNetwork f;
    std::string out = f.convert("A\x1B]title");
    out += f.convert(" and the rest of the call goes on and on");
    EXPECT_EQ(out, "A]title and the rest of the call goes on and on");
  }
  {
    // A lone start of string (U+0098) ends at the line's end.
    FromNetwork f;
    EXPECT_EQ(f.convert("\xC2\x98" "more" + kLs + "next"), "more\r\nnext");
  }
  {
    // A loss right after a stray ESC is shown.
    FromNetwork f;
    EXPECT_EQ(f.convert("x\x1B"), "x");
    EXPECT_EQ(f.convert(mark + "after"), "?after");
  }
  {
    // A sequence that spans blocks is still taken out whole, and ESC \\ ends a string.
    FromNetwork f;
    EXPECT_EQ(f.convert("a\x1B[3"), "a");
    EXPECT_EQ(f.convert("1mb\x1B]0;t\x1B\\c"), "bc");
  }
}

TEST(Charset, InvalidUtf8IsShownAndCounted) {
  FromNetwork f;
  EXPECT_EQ(f.convert("a\xFF"
                      "b"),
            "a?b");  // a byte no sequence starts with
  EXPECT_EQ(f.convert("a\x80\x80"
                      "b"),
            "a??b");                    // stray continuation bytes
  EXPECT_EQ(f.convert("a\xC3"), "a?");  // cut at the end of the block
  EXPECT_EQ(f.convert("\xE2\x82"
                      "x"),
            "?x");                                // cut short inside
  EXPECT_EQ(f.convert("\xC0\xAF"), "?");          // overlong '/'
  EXPECT_EQ(f.convert("\xED\xA0\x80"), "?");      // a surrogate
  EXPECT_EQ(f.convert("\xF4\x90\x80\x80"), "?");  // beyond U+10FFFF
  EXPECT_EQ(f.invalid(), 1u + 2u + 1u + 2u + 2u + 3u + 4u);
  EXPECT_EQ(f.unrepresentable(), 0u);
}

TEST(Charset, EveryWindows1252CharacterCrossesBothWays) {
  for (int b = 0x20; b <= 0xFF; ++b) {
    if (b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;
    ToNetwork to;
    FromNetwork from;
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(from.convert(to.convert(one)), one) << "byte " << b;
    EXPECT_EQ(to.unrepresentable() + from.unrepresentable(), 0u);
  }
}

TEST(Charset, CutsOnlyBetweenCharacters) {
  const std::string s =
      "ab\xE2\x82\xAC"
      "c";  // a b EURO c
  EXPECT_EQ(wholeCharacterPrefix(s, 3), 2u);
  EXPECT_EQ(wholeCharacterPrefix(s, 5), 5u);
  EXPECT_EQ(wholeCharacterPrefix(s, 100), s.size());
  EXPECT_EQ(wholeCharacterPrefix("\xE2\x82\xAC", 1), 3u);  // never an empty cut
  EXPECT_EQ(countCodePoints(s), 4u);
}

}  // namespace
}  // namespace rttmodem::text
