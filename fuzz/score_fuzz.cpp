// SPDX-License-Identifier: Apache-2.0
// The fast score chain search against the literal one on fuzzed text pairs: every node of the
// first window, and whole alignments (annotated text, progress output, counters) byte for byte.
//
// Input: two bytes choose where the master text ends, one byte may fold both texts onto a few
// characters (one to nine of "E3A- T5Q1": letters with their figures on the same code, and a
// space), so that ties, long runs and shift confusions are common; the rest are the master and
// then the compare text. Texts are cut short where the literal search would take too long.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The fuzz build compiles one file: the scorer's units come in here, without its main.
#define SCORE_NO_MAIN
#include "diff.cpp"
#include "score.cpp"

using namespace score;

namespace {

std::string kept(const std::uint8_t* data, std::size_t size, int fold) {
  static const char kFold[] = "E3A- T5Q1";
  std::string s;
  for (std::size_t i = 0; i < size; ++i) {
    const int c = fold > 0 ? kFold[data[i] % fold] : keepByte(data[i]);
    if (c >= 0) s += static_cast<char>(c);
  }
  return s;
}

// About the literal search's steps: the square of a window's pairs, for every window.
double literalWork(const std::string& master, const std::string& compare) {
  long m[32] = {}, c[32] = {};
  for (unsigned char ch : master) m[baudotCode(ch)]++;
  for (unsigned char ch : compare) c[baudotCode(ch)]++;
  double pairs = 0;
  for (int code = 0; code < 32; ++code) {
    pairs += static_cast<double>(std::min<long>(m[code], kWindow)) * std::min<long>(c[code], kWindow);
  }
  return (static_cast<double>(master.size()) / kStep + 1) * pairs * pairs;
}

[[noreturn]] void differ(const char* what, const std::string& master, const std::string& compare) {
  std::fprintf(stderr, "%s differ\nmaster  (%zu) \"%s\"\ncompare (%zu) \"%s\"\n", what, master.size(),
               master.c_str(), compare.size(), compare.c_str());
  std::abort();
}

// One node table for every input (a table per run would cost more than the run here).
node* table() {
  static node* const nodes = static_cast<node*>(std::malloc(kNodeCount * sizeof(node)));
  if (!nodes) std::abort();
  return nodes;
}

void compareFirstWindow(const std::string& master, const std::string& compare) {
  static std::vector<node> literal(kNodeCount);
  ScoreState st{};
  st.console = stderr;
  st.nodes = table();
  const int mlength = std::min<int>(static_cast<int>(master.size()), kWindow);
  const int clength = std::min<int>(static_cast<int>(compare.size()), kWindow);
  if (!build(st, mlength, reinterpret_cast<const unsigned char*>(master.data()), clength,
             reinterpret_cast<const unsigned char*>(compare.data()))) {
    std::abort();
  }
  std::copy(st.nodes, st.nodes + st.total, literal.begin());
  chainSearch(literal.data(), st.total);
  fastChainSearch(st.nodes, st.total, kNodeCount);
  for (std::uint32_t k = 0; k < st.total; ++k) {
    if (literal[k].length != st.nodes[k].length || literal[k].parent != st.nodes[k].parent) {
      std::fprintf(stderr, "node %u: literal length %d parent %d, fast length %d parent %d\n", k,
                   literal[k].length, literal[k].parent, st.nodes[k].length, st.nodes[k].parent);
      differ("first windows", master, compare);
    }
  }
}

// The annotated text, the console output and the state after aligning the two texts.
struct Aligned {
  std::string text, console;
  ScoreState state{};
};

Aligned align(const std::string& master, const std::string& compare, bool literalSearch) {
  Aligned out;
  char* textBytes = nullptr;
  char* consoleBytes = nullptr;
  std::size_t textSize = 0;
  std::size_t consoleSize = 0;
  FILE* text = open_memstream(&textBytes, &textSize);
  FILE* console = open_memstream(&consoleBytes, &consoleSize);
  if (!text || !console) std::abort();
  // As init leaves it, with the shared table.
  ScoreState& st = out.state;
  st.console = console;
  st.nodes = table();
  st.mlength = static_cast<int>(master.size());
  st.literalSearch = literalSearch;
  if (!alignTexts(st, st.mlength, reinterpret_cast<const unsigned char*>(master.data()),
                  static_cast<int>(compare.size()), reinterpret_cast<const unsigned char*>(compare.data()),
                  text)) {
    differ("failed runs", master, compare);
  }
  st.nodes = nullptr;
  st.console = nullptr;
  std::fclose(text);
  std::fclose(console);
  out.text.assign(textBytes, textSize);
  out.console.assign(consoleBytes, consoleSize);
  std::free(textBytes);
  std::free(consoleBytes);
  return out;
}

bool sameState(const ScoreState& a, const ScoreState& b) {
  const std::int32_t x[] = {a.totalTotal,     a.totalCorrect,   a.totalAdded,     a.totalMissing,
                            a.totalChanged,   a.totalTotalCM,   a.totalCorrectCM, a.totalAddedCM,
                            a.totalMissingCM, a.totalChangedCM, a.totalTotalSM,   a.totalCorrectSM,
                            a.totalAddedSM,   a.totalMissingSM, a.totalChangedSM, a.lastMasterShift,
                            a.lastCompShift,  a.stringCM,       a.percentageDone};
  const std::int32_t y[] = {b.totalTotal,     b.totalCorrect,   b.totalAdded,     b.totalMissing,
                            b.totalChanged,   b.totalTotalCM,   b.totalCorrectCM, b.totalAddedCM,
                            b.totalMissingCM, b.totalChangedCM, b.totalTotalSM,   b.totalCorrectSM,
                            b.totalAddedSM,   b.totalMissingSM, b.totalChangedSM, b.lastMasterShift,
                            b.lastCompShift,  b.stringCM,       b.percentageDone};
  return std::memcmp(x, y, sizeof x) == 0 && std::memcmp(&a.counter, &b.counter, sizeof a.counter) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t split = (data[0] | std::size_t{data[1]} << 8) % (size - 3 + 1);
  const int fold = data[2] % 10;
  std::string master = kept(data + 3, split, fold);
  std::string compare = kept(data + 3 + split, size - 3 - split, fold);
  while (literalWork(master, compare) > 3e8) {
    std::string& longer = master.size() >= compare.size() ? master : compare;
    longer.resize(longer.size() * 3 / 4);
  }

  compareFirstWindow(master, compare);

  const Aligned fast = align(master, compare, false);
  const Aligned literal = align(master, compare, true);
  if (fast.text != literal.text) differ("annotated texts", master, compare);
  if (fast.console != literal.console) differ("console outputs", master, compare);
  if (!sameState(fast.state, literal.state)) differ("counters", master, compare);
  return 0;
}
