// SPDX-License-Identifier: Apache-2.0
#pragma once
// The trellis of alignment costs between a reference text R (n characters) and a received text S
// (m characters), in two forms that give the same number of errors for every input:
//
// - literal_errors fills every entry, one received character at a time, keeping two rows. The
//   verbose listing needs every entry, so it uses this one.
// - fast_errors carries the same rows as bit vectors of differences between neighbouring entries,
//   64 reference characters per word, and updates a whole word with a handful of word operations.
//
// Rules of the trellis (entry i of row j is the cheapest alignment of s0..sj ending at ri):
// - column 0 adds 0 when sj equals r0 and 1 otherwise (a received character may stay at r0);
// - every other entry is the minimum of diag + d, up + 1 and left + 1 (d: 0 on a match, else 1);
// - the row before s0 is 0 at column 0 and unreachable elsewhere, so an alignment may start at r0,
//   or at r1 for free.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace cerscore {

// Marks an entry that cannot be reached.
inline constexpr int kUnreachable = 2147483647;

// Errors when one of the texts is empty: every character of the other one counts.
constexpr int errors_without_trellis(int n, int m) {
  return n == 0 ? m : n;
}

// Fills the trellis entry by entry. prev_row and cur_row hold n entries each. After each received
// character j, on_row(j, row) gets the row just filled (n entries). Returns the number of errors.
template <class OnRow>
int literal_errors(const unsigned char* R, int n, const unsigned char* S, int m, int* prev_row, int* cur_row,
                   OnRow&& on_row) {
  if (n > 0) {
    prev_row[0] = 0;
    for (int i = 1; i < n; ++i) prev_row[i] = kUnreachable;
    cur_row[n - 1] = n;
  }
  for (int j = 0; j < m; ++j) {
    const unsigned char s = S[j];
    if (n > 0) cur_row[0] = prev_row[0] + (R[0] == s ? 0 : 1);
    for (int i = 1; i < n; ++i) {
      const int diag = prev_row[i - 1];
      const int up = prev_row[i];
      const int left = cur_row[i - 1];
      // Compared in this order so that the unreachable value is never incremented.
      if (up < diag || left < diag) {
        cur_row[i] = (left < up ? left : up) + 1;
      } else {
        cur_row[i] = diag + (R[i] == s ? 0 : 1);
      }
    }
    // The next row overwrites every entry before reading it, so swapping equals copying.
    std::swap(prev_row, cur_row);
    on_row(j, static_cast<const int*>(prev_row));
  }
  if (n == 0 || m == 0) return errors_without_trellis(n, m);
  return prev_row[n - 1];
}

// Words in one bit vector of fast_errors: one bit for each reference character after r0.
constexpr std::size_t bit_words(int n) {
  return n > 1 ? (static_cast<std::size_t>(n) - 2) / 64 + 1 : 0;
}

// Words of workspace fast_errors needs: a match mask for every byte value and two difference vectors.
constexpr std::size_t fast_workspace_words(int n) {
  return (256 + 2) * bit_words(n);
}

namespace detail {

// One word of the row update (Myers' block step). Bit k stands for reference character
// i = 1 + 64b + k. On entry pv/mv mark where entry i of the previous row is one more / one less
// than entry i-1; eq marks where ri equals the received character. hp/hm (0 or 1) say whether the
// entry just below this word (i = 64b) grew / shrank from the previous row to this one. On return
// pv/mv describe the new row and hp/hm the same for the word's top entry.
inline void advance_word(std::uint64_t& pv, std::uint64_t& mv, std::uint64_t eq, std::uint64_t& hp,
                         std::uint64_t& hm) {
  const std::uint64_t xv = eq | mv;
  // An entry below that shrank lets a diagonal step start from it as a match would.
  eq |= hm;
  const std::uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
  std::uint64_t ph = mv | ~(xh | pv);
  std::uint64_t mh = pv & xh;
  const std::uint64_t hp_out = ph >> 63;
  const std::uint64_t hm_out = mh >> 63;
  ph = (ph << 1) | hp;
  mh = (mh << 1) | hm;
  pv = mh | ~(xv | ph);
  mv = ph & xv;
  hp = hp_out;
  hm = hm_out;
}

// Sets the match mask of every byte value in a zero-filled table: bit i-1 of peq[c * words ..]
// is set where ri equals c. Masks of bytes that do not occur in R are never written, so the
// pages of a fresh zero-filled allocation that hold them are never touched.
inline void fill_match_masks(const unsigned char* R, int n, std::uint64_t* peq) {
  const std::size_t words = bit_words(n);
  for (int i = 1; i < n; ++i) {
    const std::size_t bit = static_cast<std::size_t>(i) - 1;
    peq[R[i] * words + bit / 64] |= std::uint64_t{1} << (bit % 64);
  }
}

// Smallest band half-width that fills every entry of every row.
constexpr long long full_band(int n, int m) {
  const long long k = std::max<long long>(m - 1, n - 2);
  return std::max<long long>(k, 64);
}

// One pass over the trellis (n >= 2, m >= 1) that fills, in each row after row 0, only the words
// holding entries i with |(m-1-j) - (n-1-i)| <= k. That difference is the least cost of any path
// from entry i of row j to the last entry, so every entry on a path costing at most k lies inside.
// Outside the band the pass assumes values that are never below the true ones (each entry one more
// than the one below it in the previous row, or than its left neighbour), so every entry it
// computes is at least the true one, and exact on paths costing at most k. The result is therefore
// an upper bound of the errors, and exact when it is at most k or when k >= full_band(n, m).
// peq comes from fill_match_masks; pv and mv hold bit_words(n) words each (any contents).
template <class OnStep>
int banded_pass(const unsigned char* R, int n, const unsigned char* S, int m, const std::uint64_t* peq,
                std::uint64_t* pv, std::uint64_t* mv, long long k, OnStep&& on_step) {
  const long long words = static_cast<long long>(bit_words(n));
  if (k < 64) k = 64;  // at least two words wide, so a word leaves the band only after being filled

  // Row 0 in full: its previous row is unreachable beyond column 0, so entry 1 is d(r1, s0) (the
  // free start at r1) and each later entry is one more than its left neighbour.
  const unsigned char r0 = R[0];
  int column0 = R[0] == S[0] ? 0 : 1;
  for (long long w = 0; w < words; ++w) {
    pv[w] = ~std::uint64_t{0};
    mv[w] = 0;
  }
  const int step = (R[1] == S[0] ? 0 : 1) - column0;
  if (step <= 0) pv[0] &= ~std::uint64_t{1};
  if (step < 0) mv[0] |= 1;
  on_step(0);

  long long lo = 0;          // first filled word of the latest row
  long long hi = words - 1;  // last filled word of the latest row
  int base = column0;        // the latest row's entry just below word lo (column 0 when lo is 0)
  for (int j = 1; j < m; ++j) {
    const unsigned char s = S[j];
    const std::uint64_t* const eq = peq + s * static_cast<std::size_t>(words);
    const long long diagonal = static_cast<long long>(j) + n - m;
    const long long first = diagonal - k;  // band of entries i in this row
    const long long last = diagonal + k;
    const long long new_lo = first <= 1 ? 0 : std::min((first - 1) / 64, words - 1);
    const long long new_hi = last < 1 ? -1 : std::min((last - 1) / 64, words - 1);

    // Words leaving at the bottom were filled in the previous row: carry base past them.
    for (; lo < new_lo; ++lo) base += std::popcount(pv[lo]) - std::popcount(mv[lo]);
    // Words entering at the top continue the previous row one more per entry.
    for (long long w = hi + 1; w <= new_hi; ++w) {
      pv[w] = ~std::uint64_t{0};
      mv[w] = 0;
    }
    hi = new_hi;

    const std::uint64_t d0 = s == r0 ? 0 : 1;
    column0 += static_cast<int>(d0);
    std::uint64_t hp;
    if (lo == 0) {
      hp = d0;  // column 0 grows by d, never shrinks
      base = column0;
    } else {
      hp = 1;  // assumed below the band: one more than in the previous row
      base += 1;
    }
    std::uint64_t hm = 0;
    for (long long w = lo; w <= hi; ++w) detail::advance_word(pv[w], mv[w], eq[w], hp, hm);
    on_step(j);
  }

  // The last entry is base plus every difference above it; bits beyond n-1 are unused.
  int errors = base;
  for (long long w = lo; w < words; ++w) {
    const int used = w + 1 < words ? 64 : (n - 2) % 64 + 1;
    const std::uint64_t mask = used == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << used) - 1;
    errors += std::popcount(pv[w] & mask) - std::popcount(mv[w] & mask);
  }
  return errors;
}

}  // namespace detail

// The same errors as literal_errors, bit-parallel. work holds fast_workspace_words(n) words, all
// zero. on_step(j) is called once for each received character j, in order.
//
// A pass with a narrow band costs little and its result bounds the errors from above; the band
// is widened until a pass proves its own result exact (see banded_pass). The progress goes with
// the first pass; later passes are silent.
template <class OnStep>
int fast_errors(const unsigned char* R, int n, const unsigned char* S, int m, std::uint64_t* work,
                OnStep&& on_step) {
  if (n == 0 || m == 0) {
    for (int j = 0; j < m; ++j) on_step(j);
    return errors_without_trellis(n, m);
  }
  if (n == 1) {
    int errors = 0;
    for (int j = 0; j < m; ++j) {
      errors += S[j] == R[0] ? 0 : 1;
      on_step(j);
    }
    return errors;
  }
  const std::size_t words = bit_words(n);
  std::uint64_t* const peq = work;
  std::uint64_t* const pv = work + 256 * words;
  std::uint64_t* const mv = pv + words;
  detail::fill_match_masks(R, n, peq);

  const long long full = detail::full_band(n, m);
  long long k = std::min<long long>(64, full);
  int errors = detail::banded_pass(R, n, S, m, peq, pv, mv, k, on_step);
  while (errors > k && k < full) {
    if (errors <= 4 * k) {
      // A bound not far above the band becomes the next band, which makes that pass exact.
      k = std::min<long long>(errors, full);
    } else {
      // A fourfold guess; once that would span half the trellis, the full width costs little
      // more and is certain.
      k = 8 * k >= full ? full : 4 * k;
    }
    errors = detail::banded_pass(R, n, S, m, peq, pv, mv, k, [](int) {});
  }
  return errors;
}

}  // namespace cerscore
