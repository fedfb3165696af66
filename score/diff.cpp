// SPDX-License-Identifier: Apache-2.0
// Alignment of a window of the two texts on equal Baudot codes, the shift bookkeeping of the
// three counter sets, and the report.
#include "diff.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <memory>

namespace score {

const char ver[80] = "Score Utility. Version 1.2";
const char cpy[80] = "Baudot text comparison for text telephone field tests.";

// clang-format off
const unsigned char asciiToBaudotTable[128] = {
    255, 255, 255, 255, 255, 255, 255,  37,  // NUL to BEL
      0,   4,   2,   2,   2,   8, 255, 255,  // BS to SI
    255, 255, 255, 255, 255, 255, 255, 255,  // DLE to ETB
    255, 255,  57, 255,   2,   2,   2,   4,  // CAN to US
      4,  45,  49,  41,  41,  61,  58,  43,  // space to '
     47,  50,  60,  58,  44,  35,  60,  61,  // ( to /
     54,  55,  51,  33,  42,  48,  53,  39,  // 0 to 7
     38,  56,  46,  62,  47,  52,  50,  57,  // 8 to ?
     29,   3,  25,  14,   9,   1,  13,  26,  // @ to G
     20,   6,  11,  15,  18,  28,  12,  24,  // H to O
     22,  23,  10,   5,  16,   7,  30,  19,  // P to W
     29,  21,  17,  47,  61,  50,  27,  31,  // X to _
     43,   3,  25,  14,   9,   1,  13,  26,  // ` to g
     20,   6,  11,  15,  18,  28,  12,  24,  // h to o
     22,  23,  10,   5,  16,   7,  30,  19,  // p to w
     29,  21,  17,  47,  45,  50,   4, 255,  // x to DEL
};

const unsigned char inBoth[32] = {
    1, 0, 1, 0, 1, 0, 0, 0,  1, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 1, 0, 0, 0, 1,
};
// clang-format on

namespace {

// Shift of a character in a text whose last shift was `last`: the both-shift codes keep it.
int shiftOf(unsigned char c, int last) {
  const unsigned char entry = asciiToBaudotTable[c & 0x7f];
  return inBoth[entry & 31] ? last : (entry >> 5) & 1;
}

void put(FILE* fp, char c) {
  std::fputc(c, fp);
}

// Adds the characters between two consecutive pairs that are dm master and dc compare
// characters apart: as many as both have are changed, the rest added or missed.
void countGap(int dm, int dc, int& changed, int& added, int& missed) {
  if (dm == 1 && dc == 1) return;
  changed += std::min(dm, dc) - 1;
  if (dc > dm) added += dc - dm;
  if (dm > dc) missed += dm - dc;
}

double rate(std::int32_t total, std::int32_t correct, int mlength) {
  // Nothing aligned: nothing to get wrong in an empty master, everything lost otherwise.
  if (total == 0) return mlength == 0 ? 0.0 : 100.0;
  return 100.0 - (100.0 * correct) / total;
}

void writeTotals(FILE* fp, std::int32_t total, std::int32_t correct, std::int32_t added, std::int32_t missed,
                 std::int32_t changed) {
  std::fprintf(fp, "Total = %ld, Correct %ld, Added = %ld, Missed = %ld, Changed = %ld\n", long{total},
               long{correct}, long{added}, long{missed}, long{changed});
}

}  // namespace

bool init(ScoreState& st) {
  st.totalTotal = st.totalCorrect = st.totalAdded = st.totalMissing = st.totalChanged = 0;
  st.totalTotalCM = st.totalCorrectCM = st.totalAddedCM = st.totalMissingCM = st.totalChangedCM = 0;
  st.totalTotalSM = st.totalCorrectSM = st.totalAddedSM = st.totalMissingSM = st.totalChangedSM = 0;
  st.lastMasterShift = 0;
  st.lastCompShift = 0;
  st.stringCM = 0;
  st.percentageDone = 0;
  st.counter = 0.0;
  st.total = 0;
  st.nodes = static_cast<node*>(std::malloc(kNodeCount * sizeof(node)));
  if (!st.nodes) {
    std::fprintf(st.console, "malloc Failed\n");
    return false;
  }
  return true;
}

bool build(ScoreState& st, int length, const unsigned char* master, int clength, const unsigned char* comp) {
  node* nodes = st.nodes;
  st.total = 0;
  nodes[0] = {-1, -1, 0, -1, 0};
  st.total = 1;
  auto append = [&](int i, int j) {
    nodes[st.total++] = {i, j, -1, -1, 0};
    if (st.total == kNodeCount) {
      std::fprintf(st.console, "Allocation Error\n");
      return false;
    }
    return true;
  };
  if (length > kWindow) {
    for (int i = 0; i < clength; ++i) {
      const int code = baudotCode(comp[i]);
      for (int j = 0; j < length; ++j) {
        if (baudotCode(master[j]) == code && !append(i, j)) return false;
      }
    }
    return true;
  }
  // Master indices sorted by code (ascending within each code), so that every compare
  // character visits only the master characters it pairs with.
  std::int16_t byCode[kWindow];
  int start[33] = {};
  for (int j = 0; j < length; ++j) start[baudotCode(master[j]) + 1]++;
  for (int c = 0; c < 32; ++c) start[c + 1] += start[c];
  int fill[32];
  std::copy(start, start + 32, fill);
  for (int j = 0; j < length; ++j) byCode[fill[baudotCode(master[j])]++] = static_cast<std::int16_t>(j);
  for (int i = 0; i < clength; ++i) {
    const int code = baudotCode(comp[i]);
    for (int x = start[code]; x < start[code + 1]; ++x) {
      if (!append(i, byCode[x])) return false;
    }
  }
  return true;
}

void chainSearch(node* nodes, std::uint32_t total) {
  for (std::uint32_t i = 0; i < total; ++i) {
    const node& from = nodes[i];
    if (from.length < 0) continue;
    const std::int32_t L = from.length + 1;
    // Nodes are ordered by compare index: skip those that share it.
    std::uint32_t k = i + 1;
    while (k < total && nodes[k].pos <= from.pos) ++k;
    for (; k < total; ++k) {
      node& to = nodes[k];
      if (to.match <= from.match) continue;
      if (to.length < L) {
        to.length = L;
        to.parent = static_cast<std::int32_t>(i);
      } else if (to.length == L) {
        // Equally long: keep the predecessor that implies fewer added compare characters.
        const node& p = nodes[to.parent];
        const int addedViaP = std::max(0, (to.pos - p.pos) - (to.match - p.match));
        const int addedViaI = std::max(0, (to.pos - from.pos) - (to.match - from.match));
        if (addedViaI < addedViaP) to.parent = static_cast<std::int32_t>(i);
      }
    }
  }
}

// The fast chain search gives every node the length and parent the literal one gives it.
//
// Length: one more than the longest chain among the nodes before it in both indices, i.e. the
// longest common subsequence (on codes) of the compare rows above and the master indices
// before; it is read from a bit vector carried row by row.
//
// Parent: the literal search visits predecessors in node order and keeps, among the longest,
// the first that implies the fewest added characters, max(0, diagonal(k) - diagonal(p)) with
// diagonal = pos - match. Nodes of equal length never lie before one another in both indices,
// so each length's nodes, by compare index ascending and master index descending, form a
// staircase: master index non-increasing, diagonal strictly increasing. k's candidates are
// the staircase of the length below as built from the rows above, cut to master index <
// match(k): a tail of it. If some candidates reach k's diagonal (nothing added), they are a
// tail again, and the parent is the first of them in node order: the smallest compare index,
// and within it the smallest master index, i.e. the last staircase entry of that row.
// Otherwise it is the candidate with the greatest diagonal: the staircase's last entry.
namespace {

struct Stair {
  std::int32_t pos, match, node;
};

// The first element of [b, e) for which p is false, p being true before it and false after: a
// binary search without branches to mispredict.
template <typename T, typename P>
const T* firstFalse(const T* b, const T* e, P p) {
  std::size_t n = static_cast<std::size_t>(e - b);
  if (n == 0) return b;
  while (n > 1) {
    const std::size_t half = n / 2;
    b = p(b[half]) ? b + half : b;
    n -= half;
  }
  return b + p(*b);
}

// Hands out aligned pieces of a block of memory; nullptr once it is used up.
class Scratch {
 public:
  Scratch(void* block, std::size_t bytes) : next_(block), left_(bytes) {}
  template <typename T>
  T* take(std::size_t n) {
    if (!next_ || !std::align(alignof(T), n * sizeof(T), next_, left_)) {
      next_ = nullptr;
      return nullptr;
    }
    T* const piece = static_cast<T*>(next_);
    next_ = piece + n;
    left_ -= n * sizeof(T);
    return piece;
  }

 private:
  void* next_;
  std::size_t left_;
};

// Runs f(first, end) for each row (nodes sharing a compare index) after the start node.
template <typename F>
void forEachRow(const node* nodes, std::uint32_t total, F f) {
  for (std::uint32_t r = 1; r < total;) {
    std::uint32_t e = r + 1;
    while (e < total && nodes[e].pos == nodes[r].pos) ++e;
    f(r, e);
    r = e;
  }
}

}  // namespace

void fastChainSearch(node* nodes, std::uint32_t total, std::uint32_t capacity) {
  std::int32_t maxMatch = 0;
  for (std::uint32_t k = 1; k < total; ++k) maxMatch = std::max(maxMatch, nodes[k].match);
  const std::size_t words = static_cast<std::size_t>(maxMatch) / 64 + 1;

  // Scratch in the table's unused room: bit vectors over the master indices, first and fill
  // (one entry per length, at most total + 1 lengths) and the staircases (one entry per node).
  Scratch scratch(nodes + std::min(total, capacity),
                  std::size_t{capacity - std::min(total, capacity)} * sizeof(node));
  std::uint64_t* const rowBits = scratch.take<std::uint64_t>(words);
  std::uint64_t* const above = scratch.take<std::uint64_t>(words);
  std::int32_t* const onesBelow = scratch.take<std::int32_t>(words);
  std::int32_t* const first = scratch.take<std::int32_t>(std::size_t{total} + 2);
  std::int32_t* const fill = scratch.take<std::int32_t>(std::size_t{total} + 2);
  Stair* const stairs = scratch.take<Stair>(total);
  if (!stairs) {
    chainSearch(nodes, total);
    return;
  }

  // Lengths. Bit j of `above` is 0 where the longest common subsequence of the rows above with
  // the master indices up to j rises at j (Allison and Dix; each row applies Crochemore's
  // update V = (V + (V & M)) | (V & ~M), M the row's master indices). first[l + 1] counts the
  // nodes of length l.
  std::fill(above, above + words, ~std::uint64_t{0});
  std::fill(rowBits, rowBits + words, 0);
  std::int32_t levels = 0;
  first[0] = 0;
  first[1] = 1;
  forEachRow(nodes, total, [&](std::uint32_t r, std::uint32_t e) {
    std::int32_t ones = 0;
    for (std::size_t w = 0; w < words; ++w) {
      onesBelow[w] = ones;
      ones += std::popcount(above[w]);
    }
    for (std::uint32_t k = r; k < e; ++k) {
      const std::int32_t j = nodes[k].match;
      const std::size_t w = static_cast<std::size_t>(j) / 64;
      const std::uint64_t before = (std::uint64_t{1} << (j % 64)) - 1;
      const std::int32_t len = 1 + j - onesBelow[w] - std::popcount(above[w] & before);
      nodes[k].length = len;
      if (len > levels) {
        for (std::int32_t l = levels + 1; l <= len; ++l) first[l + 1] = 0;
        levels = len;
      }
      first[len + 1]++;
      rowBits[w] |= std::uint64_t{1} << (j % 64);
    }
    std::uint64_t carry = 0;
    for (std::size_t w = 0; w < words; ++w) {
      const std::uint64_t v = above[w];
      const std::uint64_t u = v & rowBits[w];
      const std::uint64_t sum = v + u;
      const std::uint64_t next = sum + carry;
      carry = (sum < v) | (next < sum);
      above[w] = next | (v & ~rowBits[w]);
      rowBits[w] = 0;
    }
  });
  for (std::int32_t l = 0; l <= levels; ++l) first[l + 1] += first[l];

  // Parents, the staircases growing row by row in the same order. A row's own nodes never
  // enter the staircase its nodes look at (that would make them longer), so the staircase of
  // the length below holds just the nodes of earlier rows.
  std::copy(first, first + levels + 1, fill);
  stairs[fill[0]++] = {-1, -1, 0};
  forEachRow(nodes, total, [&](std::uint32_t r, std::uint32_t e) {
    for (std::uint32_t k = e; k-- > r;) {
      const std::int32_t pos = nodes[k].pos;
      const std::int32_t match = nodes[k].match;
      const std::int32_t diagonal = pos - match;
      const std::int32_t l = nodes[k].length - 1;
      const Stair* const begin = stairs + first[l];
      const Stair* const end = stairs + fill[l];
      // The staircase's last entry has the greatest diagonal and the smallest master index.
      const Stair* pick = end - 1;
      if (pick->pos - pick->match >= diagonal) {
        // The entries before k in master index and on or after its diagonal form a tail of
        // the staircase: find where it starts, galloping back from the end (it is mostly short).
        const auto outside = [match, diagonal](const Stair& x) {
          return x.match >= match || x.pos - x.match < diagonal;
        };
        const Stair* f = pick;
        std::ptrdiff_t step = 1;
        while (f - begin >= step && !outside(f[-step])) {
          f -= step;
          step *= 2;
        }
        f = firstFalse(f - begin >= step ? f - step + 1 : begin, f, outside);
        // The last entry of f's row, galloping forward.
        const std::int32_t rowPos = f->pos;
        step = 1;
        while (end - f > step && f[step].pos == rowPos) {
          f += step;
          step *= 2;
        }
        pick = firstFalse(f, end - f > step ? f + step : end,
                          [rowPos](const Stair& x) { return x.pos == rowPos; }) -
               1;
      }
      nodes[k].parent = pick->node;
      stairs[fill[l + 1]++] = {pos, match, static_cast<std::int32_t>(k)};
    }
  });
}

int solve(ScoreState& st, int mlength, const unsigned char* master, int clength, const unsigned char* comp,
          int olength, FILE* fp, double dots) {
  node* nodes = st.nodes;
  const std::uint32_t total = st.total;
  if (total == 1) return 0;

  // Progress, node by node, at most one percent per node.
  // (The counter is kept in a register meanwhile: the same additions in the same order.)
  const double dot = 100 * dots / total;
  double counter = st.counter;
  for (std::uint32_t i = 0; i < total; ++i) {
    counter += dot;
    if (counter > 1.0) {
      st.percentageDone++;
      std::fprintf(st.console, "\r%3d%% Done", st.percentageDone);
      std::fflush(st.console);
      counter -= 1.0;
    }
  }
  st.counter = counter;

  if (st.literalSearch) {
    chainSearch(nodes, total);
  } else {
    fastChainSearch(nodes, total, kNodeCount);
  }

  // The longest chain; the first in node order among equals.
  std::uint32_t end = 0;
  for (std::uint32_t i = 1; i < total; ++i) {
    if (nodes[i].length > nodes[end].length) end = i;
  }
  if (nodes[end].length == 0) return 0;

  // Link the chain forward, cut after the last pair within the step.
  int correct = nodes[end].length;
  nodes[end].forward = 0;
  for (std::int32_t n = static_cast<std::int32_t>(end); n != 0;) {
    const std::int32_t p = nodes[n].parent;
    if (nodes[n].match >= olength) {
      nodes[p].forward = 0;
      correct = nodes[p].length;
    } else {
      nodes[p].forward = n;
    }
    n = p;
  }

  // Count the gaps between the kept pairs and after the last one.
  int changed = 0, added = 0, missed = 0;
  std::int32_t last = 0;
  for (std::int32_t n = nodes[0].forward; n != 0; n = nodes[n].forward) {
    countGap(nodes[n].match - nodes[last].match, nodes[n].pos - nodes[last].pos, changed, added, missed);
    last = n;
  }
  const bool finalWindow = olength == mlength;
  countGap(olength - nodes[last].match, finalWindow ? clength - nodes[last].pos : 1, changed, added, missed);

  st.totalTotal += olength;
  st.totalCorrect += correct;
  st.totalAdded += added;
  st.totalMissing += missed;
  st.totalChanged += changed;
  st.totalTotalCM += olength;
  st.totalCorrectCM += correct;
  st.totalAddedCM += added;
  st.totalMissingCM += missed;
  st.totalChangedCM += changed;
  st.totalTotalSM += olength;
  st.totalCorrectSM += correct;
  st.totalAddedSM += added;
  st.totalMissingSM += missed;
  st.totalChangedSM += changed;

  // Write the step: the kept master characters, "#" for the others.
  std::int32_t prevMatch = -1;
  for (std::int32_t n = nodes[0].forward; n != 0; n = nodes[n].forward) {
    for (std::int32_t j = prevMatch + 1; j < nodes[n].match; ++j) put(fp, '#');
    scorePair(st, master[nodes[n].match], comp[nodes[n].pos], fp);
    prevMatch = nodes[n].match;
  }
  for (std::int32_t j = prevMatch + 1; j < olength; ++j) put(fp, '#');

  return nodes[last].pos + 1;
}

void scoreMatched(ScoreState& st, unsigned char m, unsigned char c, FILE* fp) {
  const int masterShift = shiftOf(m, st.lastMasterShift);
  const int compShift = shiftOf(c, st.lastCompShift);
  if (masterShift != st.lastMasterShift && compShift != st.lastCompShift) {
    put(fp, masterShift ? '^' : '_');
    st.totalTotalSM++;
    st.totalCorrectSM++;
    st.totalTotalCM++;
    st.totalCorrectCM++;
  }
  put(fp, static_cast<char>(m));
  st.totalTotal++;
  st.totalCorrect++;
  st.totalTotalCM++;
  st.totalCorrectCM++;
  st.totalTotalSM++;
  st.totalCorrectSM++;
  if (masterShift == compShift) st.stringCM = 0;
  st.lastMasterShift = masterShift;
  st.lastCompShift = compShift;
}

void scorePair(ScoreState& st, unsigned char m, unsigned char c, FILE* fp) {
  const int masterShift = shiftOf(m, st.lastMasterShift);
  const int compShift = shiftOf(c, st.lastCompShift);
  const bool masterChanged = masterShift != st.lastMasterShift;
  const bool compChanged = compShift != st.lastCompShift;
  if (m == c) {
    if (masterChanged && compChanged) {
      put(fp, masterShift ? '^' : '_');
      st.totalTotalSM++;
      st.totalCorrectSM++;
      st.totalTotalCM++;
      st.totalCorrectCM++;
    }
  } else {
    // Same code in the other shift: a changed character for PCER, for CCER at most 8 in a row;
    // TCER charges the shift change instead.
    st.totalChanged++;
    st.totalCorrect--;
    if (st.stringCM < 8) {
      st.stringCM++;
      st.totalChangedCM++;
      st.totalCorrectCM--;
    }
    if (masterChanged && compChanged) {
      st.totalTotalSM++;
      st.totalChangedSM++;
      st.totalTotalCM++;
      st.totalChangedCM++;
      put(fp, '%');
    } else if (compChanged) {
      st.totalAddedSM++;
      st.totalAddedCM++;
    } else if (masterChanged) {
      st.totalTotalSM++;
      st.totalMissingSM++;
      st.totalTotalCM++;
      st.totalMissingCM++;
      put(fp, '%');
    }
  }
  put(fp, static_cast<char>(m));
  if (masterShift == compShift) st.stringCM = 0;
  st.lastMasterShift = masterShift;
  st.lastCompShift = compShift;
}

void done(ScoreState& st, FILE* fp, double* character, double* consumer, double* shift) {
  std::fprintf(st.console, "\r100%% Done\n");
  const double pcer = rate(st.totalTotal, st.totalCorrect, st.mlength);
  const double ccer = rate(st.totalTotalCM, st.totalCorrectCM, st.mlength);
  const double tcer = rate(st.totalTotalSM, st.totalCorrectSM, st.mlength);
  std::fprintf(fp, "\n\n");
  std::fprintf(fp, "%s\n", ver);
  std::fprintf(fp, "%s\n\n", cpy);
  std::fprintf(fp, "\nPercent Error (PCER)   = %6.2f\n", pcer);
  writeTotals(fp, st.totalTotal, st.totalCorrect, st.totalAdded, st.totalMissing, st.totalChanged);
  std::fprintf(fp, "\nPercent Error (CCER)   = %6.2f\n", ccer);
  writeTotals(fp, st.totalTotalCM, st.totalCorrectCM, st.totalAddedCM, st.totalMissingCM, st.totalChangedCM);
  std::fprintf(fp, "\nPercent Error (TCER) = %6.2f\n", tcer);
  writeTotals(fp, st.totalTotalSM, st.totalCorrectSM, st.totalAddedSM, st.totalMissingSM, st.totalChangedSM);
  std::free(st.nodes);
  st.nodes = nullptr;
  *character = pcer;
  *consumer = ccer;
  *shift = tcer;
}

}  // namespace score
