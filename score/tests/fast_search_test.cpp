// SPDX-License-Identifier: Apache-2.0
// The fast chain search against the literal one: every node's length and parent on random
// windows, and whole scoring runs byte for byte, biased to the cases where ties abound.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "diff.h"

namespace score {
namespace {

// Characters kept by the input filter, grouped by Baudot code.
const std::vector<std::string>& charsByCode() {
  static const std::vector<std::string> codes = [] {
    std::vector<std::string> v(32);
    for (int c = 1; c < 256; ++c) {
      if (keepByte(c) == c) v[baudotCode(static_cast<unsigned char>(c))] += static_cast<char>(c);
    }
    return v;
  }();
  return codes;
}

class Texts {
 public:
  explicit Texts(unsigned seed) : rng_(seed) {}

  int below(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
  bool chance(int percent) { return below(100) < percent; }

  // A character on the same code as c, possibly c itself: letters for figures and back.
  char sameCode(char c) {
    const std::string& group = charsByCode()[baudotCode(static_cast<unsigned char>(c))];
    return group[below(static_cast<int>(group.size()))];
  }

  // An alphabet of a few characters: small ones make ties and dense windows.
  std::string alphabet(int size) {
    static const std::string pool = "ETAOINSHRDLU 3-8745,:5\"2=6019?&.%;CMWFGYPBVKJXQZ";
    std::string a;
    while (static_cast<int>(a.size()) < size) {
      const char c = pool[below(static_cast<int>(pool.size()))];
      if (a.find(c) == std::string::npos) a += c;
    }
    return a;
  }

  std::string random(const std::string& alpha, int length) {
    std::string s;
    for (int i = 0; i < length; ++i) s += alpha[below(static_cast<int>(alpha.size()))];
    return s;
  }

  // Runs of one character, some of them long.
  std::string runs(const std::string& alpha, int length) {
    std::string s;
    while (static_cast<int>(s.size()) < length) {
      const int run = chance(20) ? 1 + below(80) : 1 + below(6);
      s.append(std::min(run, length - static_cast<int>(s.size())),
               alpha[below(static_cast<int>(alpha.size()))]);
    }
    return s;
  }

  // Words of letters and of figures, as typed, from the first `width` letters (1 to 26).
  std::string prose(int length, int width = 26) {
    static const std::string letters = "ETAOINSHRDLUCMWFGYPBVKJXQZ";
    static const std::string figures = "0123456789-,.:?";
    std::string s;
    while (static_cast<int>(s.size()) < length) {
      const bool fig = chance(20);
      const int word = 1 + below(8);
      for (int i = 0; i < word; ++i) s += fig ? figures[below(15)] : letters[below(width)];
      s += ' ';
    }
    s.resize(length);
    return s;
  }

  // The text as received with about percent of its characters garbled: substituted (often
  // on the same code, as after a lost shift), dropped, or with characters added; stretches
  // received in the other shift.
  std::string garble(const std::string& text, int percent, const std::string& alpha) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!chance(percent)) {
        out += text[i];
        continue;
      }
      switch (below(5)) {
        case 0:
          out += alpha[below(static_cast<int>(alpha.size()))];
          break;
        case 1:
          break;  // dropped
        case 2:
          out += text[i];
          out += alpha[below(static_cast<int>(alpha.size()))];
          break;
        default: {
          // A stretch in the other shift.
          const std::size_t n = std::min(text.size() - i, std::size_t(1 + below(12)));
          for (std::size_t k = 0; k < n; ++k) out += sameCode(text[i + k]);
          i += n - 1;
        }
      }
    }
    return out;
  }

  // A master and compare text of one of the hard kinds, at most about `size` characters long.
  // Dense kinds stay short: the literal search takes the square of a window's pairs.
  std::pair<std::string, std::string> pair(int size, int kind = -1) {
    const int length = below(size + 1);
    switch (kind >= 0 ? kind : below(6)) {
      case 0: {  // ties: two or three characters
        const std::string a = alphabet(2 + below(2));
        return {random(a, std::min(length, 40)), random(a, below(std::min(size, 40) + 1))};
      }
      case 1: {  // long runs of one character
        if (chance(50)) {
          const std::string a = alphabet(2 + below(3));
          const std::string m = runs(a, std::min(length, 100));
          return {m, chance(50) ? runs(a, below(std::min(size, 100) + 1)) : garble(m, below(40), a)};
        }
        std::string m = prose(length);
        for (int n = below(4); n > 0 && !m.empty(); --n) {
          m.insert(below(static_cast<int>(m.size())),
                   std::string(5 + below(std::min(60, size / 3) + 1), m[below(static_cast<int>(m.size()))]));
        }
        return {m, garble(m, below(40), alphabet(6))};
      }
      case 2: {  // texts sharing few codes
        const std::string a = alphabet(6 + below(6));
        const std::string b = a.substr(0, 1 + below(2)) + alphabet(4 + below(4));
        return {random(a, length), random(b, below(size + 1))};
      }
      case 3: {  // figures received as letters and the reverse
        const std::string m = prose(length);
        std::string c;
        for (char ch : m) c += chance(60) ? sameCode(ch) : ch;
        return {m, chance(50) ? c : garble(c, 10, "ETAOIN 123")};
      }
      case 4: {  // narrow vocabulary: many equal codes
        const std::string m = prose(std::min(length, 150), 3 + below(5));
        return {m, garble(m, below(50), "ETAOIN 123")};
      }
      default: {  // ordinary garbling at any rate
        const std::string m = prose(length);
        return {m, garble(m, below(60), alphabet(8))};
      }
    }
  }

 private:
  std::mt19937 rng_;
};

unsigned baseSeed() {
  const char* s = std::getenv("SCORE_DIFF_SEED");
  return s ? static_cast<unsigned>(std::strtoul(s, nullptr, 10)) : 20240611u;
}

std::string shown(const std::string& s) {
  return s.size() <= 200 ? s : s.substr(0, 200) + "...";
}

// Windows built from two texts, searched both ways.
struct Tables {
  ScoreState st{};
  std::vector<node> literal = std::vector<node>(kNodeCount);

  Tables() {
    st.console = stdout;
    init(st);
  }
  ~Tables() { std::free(st.nodes); }

  // Compares every node; false (with a failure recorded) on the first difference.
  // With `spare` nodes of room after the window's (all of the table by default).
  bool same(const std::string& m, const std::string& c, std::uint32_t spare = kNodeCount) {
    const auto* mp = reinterpret_cast<const unsigned char*>(m.data());
    const auto* cp = reinterpret_cast<const unsigned char*>(c.data());
    if (!build(st, static_cast<int>(m.size()), mp, static_cast<int>(c.size()), cp)) {
      ADD_FAILURE() << "table full";
      return false;
    }
    std::copy(st.nodes, st.nodes + st.total, literal.begin());
    chainSearch(literal.data(), st.total);
    fastChainSearch(st.nodes, st.total, std::min(kNodeCount, st.total + spare));
    for (std::uint32_t k = 0; k < st.total; ++k) {
      const node& a = literal[k];
      const node& b = st.nodes[k];
      if (a.length != b.length || a.parent != b.parent) {
        ADD_FAILURE() << "node " << k << " (" << a.pos << ", " << a.match << "): literal length " << a.length
                      << " parent " << a.parent << ", fast length " << b.length << " parent " << b.parent
                      << "\nmaster  \"" << shown(m) << "\"\ncompare \"" << shown(c) << "\"";
        return false;
      }
    }
    return true;
  }
};

TEST(FastChainSearch, SameLengthsAndParentsOnRandomWindows) {
  Tables tables;
  Texts texts(baseSeed());
  for (int n = 0; n < 3000; ++n) {
    auto [m, c] = texts.pair(n % 20 == 0 ? 400 : 120);
    m.resize(std::min<std::size_t>(m.size(), kWindow));
    c.resize(std::min<std::size_t>(c.size(), kWindow));
    if (!tables.same(m, c)) {
      ADD_FAILURE() << "window " << n << ", seed " << baseSeed();
      return;
    }
  }
}

TEST(FastChainSearch, SameOnDenseWindows) {
  Tables tables;
  Texts texts(baseSeed() + 1);
  // One code throughout: every pair ties with many others.
  EXPECT_TRUE(tables.same(std::string(150, 'E'), std::string(150, '3')));
  EXPECT_TRUE(tables.same(std::string(400, 'A'), std::string(20, 'A')));
  EXPECT_TRUE(tables.same(std::string(20, 'A'), std::string(400, '-')));
  // Full windows on two or three codes.
  for (int n = 0; n < 4; ++n) {
    const std::string a = texts.alphabet(2 + n % 2);
    EXPECT_TRUE(tables.same(texts.runs(a, 400), texts.random(a, 100 + 50 * n)));
  }
  // Without room for its scratch the fast search is the literal one.
  const std::string m = texts.runs("AB-", 100), c = texts.runs("AB-", 80);
  EXPECT_TRUE(tables.same(m, c, 0));
  EXPECT_TRUE(tables.same(m, c, 200));
  // No pairs, one pair, nothing at all.
  EXPECT_TRUE(tables.same("AAAA", "EEEE"));
  EXPECT_TRUE(tables.same("A", "A"));
  EXPECT_TRUE(tables.same("", "ABC"));
}

void expectSameRun(const std::string& m, const std::string& c, unsigned seed) {
  const ScoreRun fast = runScore(m, c);
  const ScoreRun literal = runScore(m, c, true);
  const ScoreState& a = literal.state;
  const ScoreState& b = fast.state;
  const bool same = fast.ok == literal.ok && fast.scoreFile == literal.scoreFile &&
                    fast.console == literal.console && a.totalTotal == b.totalTotal &&
                    a.totalCorrect == b.totalCorrect && a.totalAdded == b.totalAdded &&
                    a.totalMissing == b.totalMissing && a.totalChanged == b.totalChanged &&
                    a.totalTotalCM == b.totalTotalCM && a.totalCorrectCM == b.totalCorrectCM &&
                    a.totalAddedCM == b.totalAddedCM && a.totalMissingCM == b.totalMissingCM &&
                    a.totalChangedCM == b.totalChangedCM && a.totalTotalSM == b.totalTotalSM &&
                    a.totalCorrectSM == b.totalCorrectSM && a.totalAddedSM == b.totalAddedSM &&
                    a.totalMissingSM == b.totalMissingSM && a.totalChangedSM == b.totalChangedSM &&
                    a.lastMasterShift == b.lastMasterShift && a.lastCompShift == b.lastCompShift &&
                    a.stringCM == b.stringCM && a.percentageDone == b.percentageDone &&
                    std::memcmp(&a.counter, &b.counter, sizeof a.counter) == 0 &&
                    std::memcmp(&fast.character, &literal.character, sizeof(double)) == 0 &&
                    std::memcmp(&fast.consumer, &literal.consumer, sizeof(double)) == 0 &&
                    std::memcmp(&fast.shift, &literal.shift, sizeof(double)) == 0;
  if (!same) {
    ADD_FAILURE() << "runs differ, seed " << seed << "\nmaster  \"" << shown(m) << "\"\ncompare \""
                  << shown(c) << "\"\nliteral:\n"
                  << literal.scoreFile << "\nfast:\n"
                  << fast.scoreFile;
  }
  ASSERT_TRUE(same);
}

TEST(FastChainSearch, WholeRunsMatchLiteral) {
  Texts texts(baseSeed() + 2);
  for (int n = 0; n < 800; ++n) {
    const auto [m, c] = texts.pair(n % 10 == 0 ? 900 : 150);
    expectSameRun(m, c, baseSeed() + 2);
    if (HasFatalFailure()) return;
  }
}

TEST(FastChainSearch, WholeRunsAtWindowBoundaries) {
  Texts texts(baseSeed() + 3);
  for (int length : {199, 200, 201, 399, 400, 401, 599, 600, 601, 799, 800, 801}) {
    for (int n = 0; n < 3; ++n) {
      SCOPED_TRACE(length);
      const std::string m = texts.prose(length);
      // A block at the start forces windows; the rest differs a little or not at all.
      std::string c = texts.garble(m, n, "ETAOIN 123");
      c.insert(0, std::string(n % 3, 'X'));
      expectSameRun(m, c, baseSeed() + 3);
      expectSameRun(m, c.substr(0, std::min<std::size_t>(c.size(), 400 + n)), baseSeed() + 3);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace score
