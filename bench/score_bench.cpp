// SPDX-License-Identifier: Apache-2.0
// Times the literal and the fast score chain search side by side and prints the ratios.
//
//   score_bench [build_folder]
//
// On a 60,000-character call with about 30 % of its characters garbled (substitutions, words
// received in the wrong shift, drops) and on two identical texts: whole scoring runs in process
// both ways, and the chain search alone, window by window on the same node tables. Exits with 1
// when the two searches differ in any byte of output or any node. Last, the densest windows
// there can be (400 x 400 characters on one code), chain search alone.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "diff.h"

using namespace score;

namespace {

constexpr int kLength = 60000;

// Text as a TTY call carries it: upper-case words, some of figures, separated by spaces.
std::string callText(std::mt19937_64& rng, int length) {
  static const std::string kLetters = "ETAOINSHRDLCUMWFGYPBVKJXQZ";
  static const std::string kFigures = "0123456789.,?-'()/:;";
  std::string s;
  while (static_cast<int>(s.size()) < length) {
    const int word = 1 + static_cast<int>(rng() % 9);
    const bool figures = rng() % 6 == 0;
    for (int i = 0; i < word; ++i) {
      // Skewed towards the common letters, like running text.
      const auto a = rng() % kLetters.size(), b = rng() % kLetters.size();
      s += figures ? kFigures[rng() % kFigures.size()] : kLetters[std::min(a, b)];
    }
    s += ' ';
  }
  s.resize(static_cast<std::size_t>(length));
  return s;
}

// The other character on the same code (the letter for a figure and the reverse), or c.
char otherShift(char c) {
  const int code = baudotCode(static_cast<unsigned char>(c));
  for (int o = ' '; o < 127; ++o) {
    if (o != c && keepByte(o) == o && baudotCode(static_cast<unsigned char>(o)) == code && !inBoth[code]) {
      return static_cast<char>(o);
    }
  }
  return c;
}

// The call as received with some of its characters garbled: one word in eight received in the
// other shift (a lost shift code), and of the other characters one in five substituted or
// dropped (half each). `changed` counts the garbled characters.
std::string garbled(std::mt19937_64& rng, const std::string& text, int& changed) {
  std::string out;
  changed = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != ' ' && (i == 0 || text[i - 1] == ' ') && rng() % 8 == 0) {
      std::size_t end = i;
      while (end < text.size() && text[end] != ' ') out += otherShift(text[end++]);
      changed += static_cast<int>(end - i);
      i = end - 1;
    } else if (rng() % 10 == 0) {
      out += static_cast<char>('A' + rng() % 26);
      ++changed;
    } else if (rng() % 9 == 0) {
      ++changed;
    } else {
      out += text[i];
    }
  }
  return out;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double timed(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return secondsSince(start);
}

bool sameRun(const ScoreRun& a, const ScoreRun& b) {
  return a.ok && b.ok && a.scoreFile == b.scoreFile && a.console == b.console &&
         std::memcmp(&a.state.counter, &b.state.counter, sizeof(double)) == 0 && a.character == b.character &&
         a.consumer == b.consumer && a.shift == b.shift;
}

// Whole runs both ways; false when they differ.
bool timeRuns(const char* name, const std::string& master, const std::string& compare, int literalRuns,
              int fastRuns) {
  // Taken in turns, so that a change in the machine's load falls on both.
  ScoreRun literal, fast;
  double tLiteral = 1e300, tFast = 1e300;
  for (int r = 0; r < std::max(literalRuns, fastRuns); ++r) {
    if (r < literalRuns)
      tLiteral = std::min(tLiteral, timed([&] { literal = runScore(master, compare, true); }));
    if (r < fastRuns) tFast = std::min(tFast, timed([&] { fast = runScore(master, compare); }));
  }
  std::printf("%s: whole scoring run (PCER %.2f, CCER %.2f, TCER %.2f)\n", name, fast.character,
              fast.consumer, fast.shift);
  std::printf("  literal chain search  %10.2f ms\n", tLiteral * 1e3);
  std::printf("  fast chain search     %10.2f ms   %7.1f x faster\n", tFast * 1e3, tLiteral / tFast);
  const bool same = sameRun(literal, fast);
  std::printf("  outputs (%zu bytes of score file, %zu of console) %s\n", fast.scoreFile.size(),
              fast.console.size(), same ? "identical" : "DIFFERENT");
  return same;
}

// The windows of a run, formed as alignTexts forms them, with each chain search timed alone on copies of the
// same node table; false when any node differs.
bool timeSearches(const char* name, const std::string& masterText, const std::string& compareText) {
  const auto keep = [](const std::string& text) {
    std::string kept;
    for (char ch : text) {
      const int c = keepByte(static_cast<unsigned char>(ch));
      if (c >= 0) kept += static_cast<char>(c);
    }
    return kept;
  };
  const std::string master = keep(masterText), compare = keep(compareText);
  const auto* m = reinterpret_cast<const unsigned char*>(master.data());
  const auto* c = reinterpret_cast<const unsigned char*>(compare.data());
  const int mlength = static_cast<int>(master.size()), clength = static_cast<int>(compare.size());

  FILE* sink = std::fopen("/dev/null", "wb");
  ScoreState st{};
  st.console = sink;
  st.mlength = mlength;
  if (!sink || !init(st)) std::abort();
  std::vector<node> literal(kNodeCount), fast(kNodeCount);
  double tLiteral = 0, tFast = 0;
  long windows = 0, nodes = 0, largest = 0;
  bool same = true;
  for (int mpos = 0, cpos = 0; mpos < mlength;) {
    while (mpos < mlength && cpos < clength && m[mpos] == c[cpos]) {
      scoreMatched(st, m[mpos++], c[cpos++], sink);
    }
    if (mpos >= mlength) break;
    const int left = mlength - mpos;
    const int mwindow = std::min(left, kWindow);
    const int cwindow = std::min(clength - cpos, kWindow);
    const int step = left >= kWindow ? kStep : left;
    if (!build(st, mwindow, m + mpos, cwindow, c + cpos)) std::abort();
    std::copy(st.nodes, st.nodes + st.total, literal.begin());
    std::copy(st.nodes, st.nodes + st.total, fast.begin());
    auto start = std::chrono::steady_clock::now();
    chainSearch(literal.data(), st.total);
    tLiteral += secondsSince(start);
    start = std::chrono::steady_clock::now();
    fastChainSearch(fast.data(), st.total, kNodeCount);
    tFast += secondsSince(start);
    for (std::uint32_t k = 0; k < st.total; ++k) {
      same = same && literal[k].length == fast[k].length && literal[k].parent == fast[k].parent;
    }
    ++windows;
    nodes += st.total;
    largest = std::max<long>(largest, st.total);
    cpos += solve(st, mwindow, m + mpos, cwindow, c + cpos, step, sink, static_cast<double>(step) / mlength);
    mpos += step;
  }
  std::free(st.nodes);
  std::fclose(sink);

  std::printf("%s: chain search alone, %ld windows, %ld nodes (largest window %ld)\n", name, windows, nodes,
              largest);
  if (windows == 0) return true;
  std::printf("  literal chain search  %10.2f ms\n", tLiteral * 1e3);
  std::printf("  fast chain search     %10.2f ms   %7.1f x faster\n", tFast * 1e3, tLiteral / tFast);
  std::printf("  lengths and parents of every node %s\n", same ? "identical" : "DIFFERENT");
  return same;
}

}  // namespace

int main() {
  std::mt19937_64 rng(60000);
  const std::string master = callText(rng, kLength);
  int changed = 0;
  const std::string received = garbled(rng, master, changed);
  std::printf("score, %d-character call; received with %d characters garbled (%.1f %%), %zu long\n\n",
              kLength, changed, 100.0 * changed / kLength, received.size());

  bool ok = timeRuns("garbled", master, received, 1, 10);
  ok = timeSearches("garbled", master, received) && ok;
  std::printf("\n");
  ok = timeRuns("identical texts", master, master, 50, 50) && ok;
  std::printf("\n");
  // The densest windows there can be: every pair of a 400 x 400 window on one code.
  ok = timeSearches("one code (400 E against 400 3)", std::string(kWindow, 'E'), std::string(kWindow, '3')) &&
       ok;
  std::printf(
      "\nMemory: the node table, %u nodes of %zu bytes (%zu KB), allocated once per run; the fast search "
      "keeps "
      "its scratch in the table's unused room.\n",
      kNodeCount, sizeof(node), kNodeCount * sizeof(node) / 1024);
  return ok ? 0 : 1;
}
