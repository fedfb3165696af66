// SPDX-License-Identifier: Apache-2.0
// The bit-parallel trellis against the literal one on fuzzed text pairs.
//
// Input: two bytes choose where the reference ends, one byte may fold the texts onto a tiny
// alphabet (where runs and ties are common), one byte sets the width of a single banded pass;
// the rest are the reference and then the received text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "trellis.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t split = (data[0] | std::size_t{data[1]} << 8) % (size - 4 + 1);
  const int alphabet = data[2] % 5;  // 0: bytes as they are
  const long long band = data[3] * 4LL;
  std::vector<unsigned char> ref(data + 4, data + 4 + split);
  std::vector<unsigned char> rec(data + 4 + split, data + size);
  if (alphabet > 0) {
    for (auto& c : ref) c = static_cast<unsigned char>('A' + c % alphabet);
    for (auto& c : rec) c = static_cast<unsigned char>('A' + c % alphabet);
  }
  const int n = static_cast<int>(ref.size());
  const int m = static_cast<int>(rec.size());

  std::vector<int> prev(ref.size()), cur(ref.size());
  const int expected =
      cerscore::literal_errors(ref.data(), n, rec.data(), m, prev.data(), cur.data(), [](int, const int*) {});

  std::vector<std::uint64_t> work(cerscore::fast_workspace_words(n));
  int steps = 0;
  const int got = cerscore::fast_errors(ref.data(), n, rec.data(), m, work.data(), [&steps](int j) {
    if (j != steps++) std::abort();
  });
  if (got != expected || steps != m) {
    std::fprintf(stderr, "n %d m %d: literal %d fast %d, %d steps\n", n, m, expected, got, steps);
    std::abort();
  }

  // One banded pass alone: never below the errors, and exact when within its band.
  if (n >= 2 && m >= 1) {
    const std::size_t words = cerscore::bit_words(n);
    std::fill(work.begin(), work.end(), 0);
    cerscore::detail::fill_match_masks(ref.data(), n, work.data());
    const int bound =
        cerscore::detail::banded_pass(ref.data(), n, rec.data(), m, work.data(), work.data() + 256 * words,
                                      work.data() + 257 * words, band, [](int) {});
    const bool exact = bound <= std::max(band, 64LL) || band >= cerscore::detail::full_band(n, m);
    if (bound < expected || (exact && bound != expected)) {
      std::fprintf(stderr, "n %d m %d band %lld: literal %d banded %d\n", n, m, band, expected, bound);
      std::abort();
    }
  }
  return 0;
}
