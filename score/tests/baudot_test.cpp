// SPDX-License-Identifier: Apache-2.0
// The character table checked row by row against the code chart, and the input filter as a score
// shows it.
#include <gtest/gtest.h>
#include <rapidcheck.h>

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

TEST(InputFilter, WhatATtyCannotSendNeitherCountsAsAnErrorNorHidesOne) {
  // A received copy with small letters, line ends and bytes no TTY sends (ASCII controls, DEL, and
  // the same with the top bit set) scored against its reference: as clean as the copy without
  // them, and an error in it is still found.
  EXPECT_TRUE(rc::check("the filter as a score shows it", [] {
    const std::string reference =
        *rc::gen::nonEmpty(rc::gen::container<std::string>(rc::gen::element('A', 'E', 'Z', '7', ' ', '?', '$')));
    const std::vector<int> dropped = {0, 3, 6, 10, 13, 14, 20, 25, 27, 127, 0x80 | 3, 0x80 | 27, 0xFF};
    std::string received;
    for (char c : reference) {
      received += *rc::gen::arbitrary<bool>() && c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
      for (int n = *rc::gen::inRange(0, 3); n > 0; --n) received += static_cast<char>(*rc::gen::elementOf(dropped));
    }
    const ScoreRun clean = runScore(reference, received);
    RC_ASSERT(clean.ok);
    RC_ASSERT(clean.character == 0.0);
    RC_ASSERT(clean.consumer == 0.0);
    RC_ASSERT(clean.shift == 0.0);
    // Nothing counted as added either (which no rate shows).
    auto count = [&clean](const std::string& what) {
      std::size_t n = 0;
      for (auto at = clean.scoreFile.find(what); at != std::string::npos; at = clean.scoreFile.find(what, at + 1)) ++n;
      return n;
    };
    RC_ASSERT(count("Total = ") > 0);
    RC_ASSERT(count("Added = 0, Missed = 0, Changed = 0") == count("Total = "));

    // One character replaced by another the TTY can send: found among the noise. (It is followed
    // by text in common: a window of the texts' ends with no pair in common is not scored.)
    const std::size_t at = *rc::gen::inRange<std::size_t>(0, received.size());
    RC_PRE(std::string(1, received[at]).find_first_of("AEZaez7 ?$") == 0);
    std::string wrong = received;
    wrong[at] = received[at] == 'X' ? 'Y' : 'X';
    RC_ASSERT(runScore(reference + "THE END", wrong + "THE END").character > 0.0);
  }));
}

}  // namespace
}  // namespace score
