// SPDX-License-Identifier: Apache-2.0
// The character table checked row by row against the code chart, and the input filter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diff.h"

namespace score {
namespace {

// The code chart by code: letters-shift characters (capitals; the small letter goes with
// each), figures-shift characters, and the characters that mean the same in both shifts.
struct ChartRow {
  int code;
  std::string letters;
  std::string figures;
  std::string both;
};

const std::vector<ChartRow>& chart() {
  static const std::vector<ChartRow> rows = {
      {0, "", "", "\b"},     {1, "E", "3", ""},       {2, "", "", "\n\v\f\x1c\x1d\x1e"},
      {3, "A", "-", ""},     {4, "", "", "\t\x1f ~"}, {5, "S", "\a", ""},
      {6, "I", "8", ""},     {7, "U", "7", ""},       {8, "", "", "\r"},
      {9, "D", "#$", ""},    {10, "R", "4", ""},      {11, "J", "'`", ""},
      {12, "N", ",", ""},    {13, "F", "!|", ""},     {14, "C", ":", ""},
      {15, "K", "(<[{", ""}, {16, "T", "5", ""},      {17, "Z", "\"", ""},
      {18, "L", ")>]}", ""}, {19, "W", "2", ""},      {20, "H", "=", ""},
      {21, "Y", "6", ""},    {22, "P", "0", ""},      {23, "Q", "1", ""},
      {24, "O", "9", ""},    {25, "B", "\x1a?", ""},  {26, "G", "&+", ""},
      {27, "", "", "^"},     {28, "M", "*.", ""},     {29, "X@", "%/\\", ""},
      {30, "V", ";", ""},    {31, "", "", "_"},
  };
  return rows;
}

TEST(BaudotTable, EveryCharacterMatchesTheChart) {
  // Expected entry per character; 0 marks "not listed".
  int expected[128] = {};
  int listed = 0;
  auto expect = [&](char ch, int entry) {
    const int c = static_cast<unsigned char>(ch);
    ASSERT_EQ(expected[c], 0) << "listed twice: " << c;
    expected[c] = entry + 1;
    ++listed;
  };
  for (const auto& row : chart()) {
    for (char ch : row.letters) {
      expect(ch, row.code);
      if (ch >= 'A' && ch <= 'Z') expect(static_cast<char>(ch - 'A' + 'a'), row.code);
    }
    for (char ch : row.figures) expect(ch, row.code | 32);
    for (char ch : row.both) expect(ch, row.code);
  }
  for (int c : {0, 1, 2, 3, 4, 5, 6, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 27, 127}) {
    expect(static_cast<char>(c), 255);
  }
  ASSERT_EQ(listed, 128);  // the chart covers every 7-bit character exactly once
  for (int c = 0; c < 128; ++c) {
    EXPECT_EQ(asciiToBaudotTable[c], expected[c] - 1) << "character " << c;
  }
}

TEST(BaudotTable, BothShiftCodes) {
  for (const auto& row : chart()) {
    EXPECT_EQ(inBoth[row.code], row.both.empty() ? 0 : 1) << "code " << row.code;
  }
}

TEST(InputFilter, KeepsDropsAndUpperCases) {
  for (int c = 0; c < 256; ++c) {
    const int low = c & 0x7f;
    const bool unrepresentable = low <= 6 || (low >= 14 && low <= 25) || low == 27 || low == 127;
    int want = c;
    if (c == 13 || c == 10 || unrepresentable) want = -1;
    if (c >= 'a' && c <= 'z') want = c - 32;
    EXPECT_EQ(keepByte(c), want) << "byte " << c;
  }
  // From 128 up the low 7 bits give the code; CR and LF are dropped only as themselves.
  EXPECT_EQ(baudotCode(0xC8), baudotCode('H'));
  EXPECT_EQ(keepByte(0x8D), 0x8D);
  EXPECT_EQ(keepByte(0xE1), 0xE1);  // not upper-cased
}

}  // namespace
}  // namespace score
