// SPDX-License-Identifier: Apache-2.0
// The bit-parallel trellis against the literal one, which stays here as the oracle.
#include "trellis.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
int size(const std::string& s) {
  return static_cast<int>(s.size());
}

int literal(const std::string& ref, const std::string& rec) {
  std::vector<int> prev(ref.size()), cur(ref.size());
  return cerscore::literal_errors(bytes(ref), size(ref), bytes(rec), size(rec), prev.data(), cur.data(),
                                  [](int, const int*) {});
}

// Errors from the fast trellis; also checks that it reports every received character once, in order.
int fast(const std::string& ref, const std::string& rec) {
  std::vector<std::uint64_t> work(cerscore::fast_workspace_words(size(ref)));
  int next = 0;
  const int errors = cerscore::fast_errors(bytes(ref), size(ref), bytes(rec), size(rec), work.data(),
                                           [&next](int j) { EXPECT_EQ(j, next++); });
  EXPECT_EQ(next, size(rec));
  return errors;
}

// One pass with band half-width k.
int banded(const std::string& ref, const std::string& rec, long long k) {
  const std::size_t words = cerscore::bit_words(size(ref));
  std::vector<std::uint64_t> work(cerscore::fast_workspace_words(size(ref)));
  cerscore::detail::fill_match_masks(bytes(ref), size(ref), work.data());
  return cerscore::detail::banded_pass(bytes(ref), size(ref), bytes(rec), size(rec), work.data(),
                                       work.data() + 256 * words, work.data() + 257 * words, k, [](int) {});
}

// Random text pairs biased to where the two trellises could part: tiny alphabets, long runs of one
// character (above all of r0, which column 0 absorbs for free), word-boundary lengths, empty and
// one-character texts, one text much longer than the other.
class Pairs {
 public:
  explicit Pairs(std::uint64_t seed) : rng_(seed) {}

  std::string length_text(int length) {
    std::string s;
    const int alphabet = pick({1, 2, 2, 3, 4, 26, 256});
    const int runs = pick({0, 0, 1, 3});
    while (size(s) < length) {
      const char c = static_cast<char>(alphabet == 256 ? below(256) : 'A' + below(alphabet));
      const int run = runs > 0 && below(4) == 0 ? 1 + below(40 * runs) : 1;
      s.append(static_cast<std::size_t>(run), c);
    }
    s.resize(static_cast<std::size_t>(length));
    return s;
  }

  int length() {
    switch (below(6)) {
      case 0:
        return pick({0, 1, 2, 3});
      case 1:
        return pick({62, 63, 64, 65, 66, 127, 128, 129, 130, 191, 192, 193});
      case 2:
        return below(20);
      case 3:
        return 300 + below(700);
      default:
        return below(200);
    }
  }

  // The received text: the reference with edits, or with runs added, or something unrelated.
  std::string received_for(const std::string& ref) {
    std::string rec;
    switch (below(5)) {
      case 0:
        return length_text(length());
      case 1: {
        // Much longer or shorter than the reference.
        return length_text(below(2) == 0 ? below(4) : size(ref) * 3 + below(200));
      }
      default:
        break;
    }
    const int rate = pick({0, 2, 5, 10, 30, 60});
    const std::string noise = length_text(16) + "A";
    for (char c : ref) {
      const int roll = below(100);
      if (roll < rate / 3) {
        rec += noise[static_cast<std::size_t>(below(size(noise)))];  // substituted
      } else if (roll < 2 * rate / 3) {
        // dropped
      } else if (roll < rate) {
        rec += c;
        rec += noise[static_cast<std::size_t>(below(size(noise)))];  // inserted
      } else {
        rec += c;
      }
    }
    if (below(4) == 0 && !ref.empty()) {
      // A run of r0 or of another character in front or at the end.
      const std::string run(static_cast<std::size_t>(1 + below(150)), below(2) == 0 ? ref[0] : noise[0]);
      rec = below(2) == 0 ? run + rec : rec + run;
    }
    return rec;
  }

  int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
  int pick(std::initializer_list<int> values) {
    return values.begin()[below(static_cast<int>(values.size()))];
  }

 private:
  std::mt19937_64 rng_;
};

std::uint64_t seed() {
  const char* given = std::getenv("CERSCORE_TRELLIS_SEED");
  return given ? std::strtoull(given, nullptr, 10) : 20240601;
}

TEST(Trellis, WorkedExamplesInBothForms) {
  struct Case {
    const char* ref;
    const char* rec;
    int errors;
  } cases[] = {
      {"HELLO", "HELLO", 0},
      {"HELLO", "HELO", 1},
      {"HELLO", "HXLLO", 1},
      {"HELLO", "HELLOX", 1},
      {"HELLO", "XHELLO", 1},
      {"HELLO", "ELLO", 0},
      {"HELLO", "HHELLO", 0},
      {"BA", "A", 0},
      {"B", "BBABBB", 1},
      {"AB", "AAA", 1},
      {"ABD", "D", 2},
      {"ABD", "BD", 0},
      {"", "", 0},
      {"", "XYZ", 3},
      {"HELLO", "", 5},
      {"A", "B", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(literal(c.ref, c.rec), c.errors) << c.ref << " / " << c.rec;
    EXPECT_EQ(fast(c.ref, c.rec), c.errors) << c.ref << " / " << c.rec;
  }
}

TEST(Trellis, FreeStartAndColumnZeroAcrossWordBoundaries) {
  // A missing first character is free at any length; so are extra copies of r0 in front.
  for (int n : {3, 63, 64, 65, 66, 128, 129, 200}) {
    std::string ref;
    for (int i = 0; i < n; ++i) ref += static_cast<char>('A' + i % 7);
    EXPECT_EQ(fast(ref, ref.substr(1)), 0) << n;
    EXPECT_EQ(fast(ref, std::string(100, 'A') + ref), 0) << n;
    // Starting further in is not free: as ABD / D, two errors.
    EXPECT_EQ(fast(ref, ref.substr(2)), 2) << n;
    EXPECT_EQ(literal(ref, ref.substr(2)), 2) << n;
    // Extra characters of another kind in front are counted one by one.
    EXPECT_EQ(fast(ref, std::string(100, 'Z') + ref), 100) << n;
  }
}

TEST(Trellis, FastEqualsLiteralOnRandomPairs) {
  const std::uint64_t s = seed();
  Pairs pairs(s);
  int differences = 0;
  for (int t = 0; t < 4000; ++t) {
    const std::string ref = pairs.length_text(pairs.length());
    const std::string rec = pairs.received_for(ref);
    const int expected = literal(ref, rec);
    const int got = fast(ref, rec);
    if (got != expected && ++differences <= 5) {
      ADD_FAILURE() << "seed " << s << " case " << t << ": n " << ref.size() << " m " << rec.size()
                    << " literal " << expected << " fast " << got;
    }
  }
  EXPECT_EQ(differences, 0);
}

TEST(Trellis, NarrowBandBoundsFromAboveAndIsExactWithinItself) {
  // Long texts so that a band of 64 to a few hundred really leaves entries out.
  const std::uint64_t s = seed() + 1;
  Pairs pairs(s);
  int differences = 0, cut = 0;
  for (int t = 0; t < 600; ++t) {
    const std::string ref = pairs.length_text(2 + pairs.below(900));
    const std::string rec = pairs.received_for(ref);
    if (rec.empty()) continue;
    const int truth = literal(ref, rec);
    const long long full = cerscore::detail::full_band(size(ref), size(rec));
    for (long long k : {0LL, 64LL, 65LL, 100LL + pairs.below(400), truth - 1LL, truth + 0LL, full}) {
      const int got = banded(ref, rec, k);
      const bool exact_expected = got <= std::max(k, 64LL) || k >= full;
      if (got < truth || (exact_expected && got != truth)) {
        if (++differences <= 5) {
          ADD_FAILURE() << "seed " << s << " case " << t << ": n " << ref.size() << " m " << rec.size()
                        << " k " << k << " literal " << truth << " band " << got;
        }
      }
      cut += got != truth;
    }
  }
  EXPECT_EQ(differences, 0);
  // The bands must have cut off something, or this test proves nothing about them.
  EXPECT_GT(cut, 50);
}

}  // namespace
