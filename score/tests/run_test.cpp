// SPDX-License-Identifier: Apache-2.0
// Scoring runs in-process: annotated text, the fifteen counters and the three rates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diff.h"

namespace score {
namespace {

struct Counts {
  int total, correct, added, missed, changed;
  bool operator==(const Counts&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Counts& c) {
  return os << "{" << c.total << ", " << c.correct << ", " << c.added << ", " << c.missed << ", " << c.changed
            << "}";
}

Counts plain(const ScoreState& s) {
  return {s.totalTotal, s.totalCorrect, s.totalAdded, s.totalMissing, s.totalChanged};
}
Counts cm(const ScoreState& s) {
  return {s.totalTotalCM, s.totalCorrectCM, s.totalAddedCM, s.totalMissingCM, s.totalChangedCM};
}
Counts sm(const ScoreState& s) {
  return {s.totalTotalSM, s.totalCorrectSM, s.totalAddedSM, s.totalMissingSM, s.totalChangedSM};
}

// The annotated text: everything the run wrote before the report.
std::string annotated(const ScoreRun& run) {
  return run.scoreFile.substr(0, run.scoreFile.find("\n\n"));
}

struct Example {
  const char* name;
  std::string master, compare, annotated;
  Counts plain, cm, sm;
  double pcer, ccer, tcer;
};

void check(const Example& e) {
  SCOPED_TRACE(e.name);
  const ScoreRun run = runScore(e.master, e.compare);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(annotated(run), e.annotated);
  EXPECT_EQ(plain(run.state), e.plain);
  EXPECT_EQ(cm(run.state), e.cm);
  EXPECT_EQ(sm(run.state), e.sm);
  EXPECT_NEAR(run.character, e.pcer, 0.005);
  EXPECT_NEAR(run.consumer, e.ccer, 0.005);
  EXPECT_NEAR(run.shift, e.tcer, 0.005);
}

TEST(ScoringRun, AlignmentWithoutShifts) {
  const std::string others = [] {
    std::string s;  // 500 characters, none on the code of C
    for (int i = 0; s.size() < 500; ++i) s += "ABDEFGHIJKLMNOPQRSTUVWXYZ"[i % 25];
    return s;
  }();
  const double third = 100.0 / 3;
  // clang-format off
  const std::vector<Example> examples = {
      {"one dropped", "HELLO", "HELO", "HEL#O",
       {5, 4, 0, 1, 0}, {5, 4, 0, 1, 0}, {5, 4, 0, 1, 0}, 20, 20, 20},
      {"one inserted", "HELLO", "HELXLO", "HELLO",
       {5, 5, 1, 0, 0}, {5, 5, 1, 0, 0}, {5, 5, 1, 0, 0}, 0, 0, 0},
      {"identical", "HELLO", "HELLO", "HELLO",
       {5, 5, 0, 0, 0}, {5, 5, 0, 0, 0}, {5, 5, 0, 0, 0}, 0, 0, 0},
      // The rest of the master has no compare window left: not counted at all.
      {"compare is a prefix", "HELLO WORLD", "HELLO", "HELLO",
       {5, 5, 0, 0, 0}, {5, 5, 0, 0, 0}, {5, 5, 0, 0, 0}, 0, 0, 0},
      {"master is a prefix", "HELLO", "HELLO WORLD", "HELLO",
       {5, 5, 0, 0, 0}, {5, 5, 0, 0, 0}, {5, 5, 0, 0, 0}, 0, 0, 0},
      // Surplus compare characters count only as far as the final window reaches.
      {"surplus beyond the window", "ABC", "ABXC" + others, "ABC",
       {3, 3, 399, 0, 0}, {3, 3, 399, 0, 0}, {3, 3, 399, 0, 0}, 0, 0, 0},
      // Equal chains: the one ending first in compare order.
      {"swapped", "AB", "BA", "#B",
       {2, 1, 1, 1, 0}, {2, 1, 1, 1, 0}, {2, 1, 1, 1, 0}, 50, 50, 50},
      // B is reached equally long via A and via Q; Q implies no added character.
      {"predecessor tie", "QAB", "AQB", "Q#B",
       {3, 2, 1, 1, 0}, {3, 2, 1, 1, 0}, {3, 2, 1, 1, 0}, third, third, third},
  };
  // clang-format on
  for (const auto& e : examples) check(e);
}

TEST(ScoringRun, ShiftBookkeeping) {
  const double third = 100.0 / 3;
  // clang-format off
  const std::vector<Example> examples = {
      {"figures in both texts", "AB1", "AB1", "AB^1",
       {3, 3, 0, 0, 0}, {4, 4, 0, 0, 0}, {4, 4, 0, 0, 0}, 0, 0, 0},
      {"back to letters in both", "1A", "1A", "^1_A",
       {2, 2, 0, 0, 0}, {4, 4, 0, 0, 0}, {4, 4, 0, 0, 0}, 0, 0, 0},
      {"space keeps figures", "1 2", "1 2", "^1 2",
       {3, 3, 0, 0, 0}, {4, 4, 0, 0, 0}, {4, 4, 0, 0, 0}, 0, 0, 0},
      // The shift code characters sit on both-shift codes and move no shift themselves.
      {"shift code characters", "^1", "^1", "^^1",
       {2, 2, 0, 0, 0}, {3, 3, 0, 0, 0}, {3, 3, 0, 0, 0}, 0, 0, 0},
      {"figures shift lost", "A3B", "AEB", "A%3B",
       {3, 2, 0, 0, 1}, {4, 2, 0, 1, 1}, {4, 3, 0, 1, 0}, third, 50, 25},
      {"word in the wrong shift", "ABC 123 DEF", "ABC QWE DEF", "ABC %123 DEF",
       {11, 8, 0, 0, 3}, {12, 8, 0, 1, 3}, {12, 11, 0, 1, 0}, 27.27, 33.33, 8.33},
      {"all wrong shift", "12", "QW", "%12",
       {2, 0, 0, 0, 2}, {3, 0, 0, 1, 2}, {3, 2, 0, 1, 0}, 100, 100, third},
      {"20 digits as letters", "A 12345678901234567890 B", "A QWERTYUIOPQWERTYUIOP B",
       "A %12345678901234567890 B",
       {24, 4, 0, 0, 20}, {25, 16, 0, 1, 8}, {25, 24, 0, 1, 0}, 83.33, 36, 4},
      // The CM charge starts again once the shifts agree (at A).
      {"two wrong-shift stretches", "1234567890 A 1234567890", "QWERTYUIOP A QWERTYUIOP",
       "%1234567890 A %1234567890",
       {23, 3, 0, 0, 20}, {25, 7, 0, 2, 16}, {25, 23, 0, 2, 0}, 86.96, 72, 8},
      // T/5: only the compare text goes to figures; 1/Q: both texts change, in opposite ways.
      {"compare shift and crossed shifts", "T1", "5Q", "T%1",
       {2, 0, 0, 0, 2}, {3, 0, 1, 0, 3}, {3, 2, 1, 0, 1}, 100, 100, third},
      // A byte from 128 up is coded by its low 7 bits but compared whole.
      {"high byte", "\xC8I", "HI", "\xC8I",
       {2, 1, 0, 0, 1}, {2, 1, 0, 0, 1}, {2, 2, 0, 0, 0}, 50, 50, 0},
  };
  // clang-format on
  for (const auto& e : examples) check(e);
}

TEST(ScoringRun, EmptyAndUnalignedTexts) {
  const Counts none{0, 0, 0, 0, 0};
  // Nothing to get wrong in an empty master; nothing aligned of a non-empty one.
  check({"empty master", "", "ABC", "", none, none, none, 0, 0, 0});
  check({"both empty", "", "", "", none, none, none, 0, 0, 0});
  check({"empty compare", "ABC", "", "", none, none, none, 100, 100, 100});
  check({"only dropped bytes", "ABC", "\r\n\x1b", "", none, none, none, 100, 100, 100});
  // A window without candidate pairs is skipped, not counted.
  check({"no code in common", "AAA", "EEE", "", none, none, none, 100, 100, 100});
  const ScoreRun run = runScore("ABC", "");
  EXPECT_NE(run.scoreFile.find("Percent Error (PCER)   = 100.00\n"), std::string::npos);
}

// 400 letters without X, repeating only over long stretches.
std::string letters400() {
  std::string s;
  unsigned x = 12345;
  while (s.size() < 400) {
    x = x * 1103515245u + 12345u;
    const char c = static_cast<char>('A' + (x >> 16) % 26);
    if (c != 'X') s += c;
  }
  return s;
}

TEST(ScoringRun, FourHundredLeftIsAStepOfTwoHundred) {
  // The leading X blocks a matched run. A final window would leave the last master character
  // unpaired (missed); a step of 200 instead realigns and the rest is a matched run.
  const std::string master = letters400();
  const ScoreRun run = runScore(master, "X" + master);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(annotated(run), master);
  EXPECT_EQ(plain(run.state), (Counts{400, 400, 1, 0, 0}));
  EXPECT_EQ(sm(run.state), (Counts{400, 400, 1, 0, 0}));
}

TEST(ScoringRun, ProgressIsAccumulatedNodeByNode) {
  // Identical texts: only the closing line.
  EXPECT_EQ(runScore("SAME TEXT", "SAME TEXT").console, "\r100% Done\n");
  // A (matched) puts 33.3 into the counter; the window's three nodes add 22.2 each and print
  // one percent each.
  EXPECT_EQ(runScore("A3B", "AEB").console, "\r  1% Done\r  2% Done\r  3% Done\r100% Done\n");
  // The matched run fills the counter to 90, yet each node moves the display by one percent.
  EXPECT_EQ(runScore("AAAAAAAAA3", "AAAAAAAAAE").console, "\r  1% Done\r  2% Done\r100% Done\n");
}

TEST(ChainSearch, CandidatePairsAndLongestChains) {
  ScoreState st{};
  char* bytes = nullptr;
  std::size_t size = 0;
  st.console = open_memstream(&bytes, &size);
  ASSERT_TRUE(init(st));
  // Pairs by compare index, then master index; 3 and E share a code.
  const unsigned char master[] = {'3', 'E'};
  const unsigned char comp[] = {'E', 'E'};
  ASSERT_TRUE(build(st, 2, master, 2, comp));
  ASSERT_EQ(st.total, 5u);
  chainSearch(st.nodes, st.total);
  struct Want {
    int pos, match, length, parent;
  } want[] = {{-1, -1, 0, -1}, {0, 0, 1, 0}, {0, 1, 1, 0}, {1, 0, 1, 0}, {1, 1, 2, 1}};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(st.nodes[i].pos, want[i].pos);
    EXPECT_EQ(st.nodes[i].match, want[i].match);
    EXPECT_EQ(st.nodes[i].length, want[i].length);
    EXPECT_EQ(st.nodes[i].parent, want[i].parent);
  }
  std::free(st.nodes);
  std::fclose(st.console);
  std::free(bytes);
}

}  // namespace
}  // namespace score
