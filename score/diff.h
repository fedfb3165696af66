// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared declarations of the Baudot score utility: the character table, the run state and the
// steps of a scoring run (build, solve, done, init in diff.cpp; block in score.cpp).
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Everything of the scorer is in namespace score: fieldreport links it beside its own code.
// Errors: a step that cannot go on prints the program's own message on the run's console
// ("malloc Failed", "Allocation Error") and returns false; nothing throws.
namespace score {

constexpr int kTextLimit = 80000;             // characters kept per input text
constexpr int kWindow = 400;                  // characters of each text aligned at once
constexpr int kStep = 200;                    // master characters committed per window
constexpr std::uint32_t kNodeCount = 800000;  // room in the node table

extern const char ver[80];
extern const char cpy[80];

// Indexed by the low 7 bits of a character: 5-bit code in bits 0-4, figures shift in bit 5,
// 255 when the character has no Baudot form.
extern const unsigned char asciiToBaudotTable[128];
// Indexed by the 5-bit code: 1 for the codes that mean the same in both shifts.
extern const unsigned char inBoth[32];

// One candidate pair: a compare character and a master character on the same code.
struct node {
  std::int32_t pos;      // compare index in the window, -1 in the start node
  std::int32_t match;    // master index in the window, -1 in the start node
  std::int32_t length;   // pairs in the best chain ending here, -1 while unreached
  std::int32_t parent;   // previous pair of that chain, -1 while none
  std::int32_t forward;  // next pair of the kept chain, 0 at its end
};

// Everything a scoring run keeps from start to end.
struct ScoreState {
  std::int32_t totalTotal, totalCorrect, totalAdded, totalMissing, totalChanged;
  std::int32_t totalTotalCM, totalCorrectCM, totalAddedCM, totalMissingCM, totalChangedCM;
  std::int32_t totalTotalSM, totalCorrectSM, totalAddedSM, totalMissingSM, totalChangedSM;
  int lastMasterShift, lastCompShift;  // 0 letters, 1 figures
  int stringCM;                        // wrong-shift characters charged to CM in a row
  int percentageDone;
  double counter;
  node* nodes;
  std::uint32_t total;  // nodes in use
  int mlength;          // whole master length, for the rates of an empty run
  FILE* console;        // where progress and messages go
  bool literalSearch;   // use the quadratic chain search (to compare the two)
};

// Baudot code (0-31) of a character.
inline int baudotCode(unsigned char c) {
  return asciiToBaudotTable[c & 0x7f] & 31;
}

// The byte as it is kept from an input file, or -1 when it is dropped.
int keepByte(int c);

// Zeroes the counters and shift states and allocates the node table; prints
// "malloc Failed" and returns false when that fails.
bool init(ScoreState& st);
// Fills the node table with the candidate pairs of a window; prints "Allocation Error" and
// returns false when the table is full.
bool build(ScoreState& st, int length, const unsigned char* master, int clength, const unsigned char* comp);
// Finds for every node the longest chain of pairs ending there (length and parent) by trying
// every reached node against every later one. Quadratic: kept to check the fast search against.
void chainSearch(node* nodes, std::uint32_t total);
// The same lengths and parents in O(n log n) for a table filled by build. Uses the table's
// room after its last node (capacity nodes in all) as scratch; with too little room it falls
// back to chainSearch.
void fastChainSearch(node* nodes, std::uint32_t total, std::uint32_t capacity);
// Chooses and counts the chain of a window, writes its first olength master characters and
// returns how many compare characters they consumed.
int solve(ScoreState& st, int mlength, const unsigned char* master, int clength, const unsigned char* comp,
          int olength, FILE* fp, double dots);
// Writes the report, releases the node table and stores the three rates.
void done(ScoreState& st, FILE* fp, double* character, double* consumer, double* shift);

// Shift bookkeeping for a character of a matched run and for a kept pair; both write the
// character (and any mark before it) to fp.
void scoreMatched(ScoreState& st, unsigned char m, unsigned char c, FILE* fp);
void scorePair(ScoreState& st, unsigned char m, unsigned char c, FILE* fp);

// The matched runs and windows of a scoring run, between init and done: counts and writes
// the annotated text. False after a failure already reported on st.console.
bool alignTexts(ScoreState& st, int mlength, const unsigned char* master, int clength,
                const unsigned char* buffer, FILE* fp);
// The whole scoring run; false after a failure already reported on st.console.
bool block(ScoreState& st, int mlength, const unsigned char* master, int clength, const unsigned char* buffer,
           FILE* fp, double* character, double* consumer, double* shift);

// A scoring run in-process on two texts given as file contents (bytes are kept or dropped
// as when reading files; there is no size limit).
struct ScoreRun {
  bool ok = false;
  std::string scoreFile;                          // bytes written to the score file
  std::string console;                            // progress and messages
  ScoreState state{};                             // counters and shift states at the end
  double character = 0, consumer = 0, shift = 0;  // PCER, CCER, TCER
};
ScoreRun runScore(std::string_view master, std::string_view compare, bool literalSearch = false);

}  // namespace score
