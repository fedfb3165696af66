// SPDX-License-Identifier: Apache-2.0
#pragma once
// cerscore's figures for two texts held in memory: the same errors, length and rate the program
// reports for files with these bytes. Used by the program itself (the rate) and by fieldreport.
// Errors: none; any two byte strings have their figures, and nothing throws.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trellis.h"

namespace cerscore {

// The character error rate in per cent. With an empty reference every received character is an
// extra one: 100 when anything was received, 0 when nothing was.
inline double error_rate(int errors, int n, int m) {
  if (n > 0) return errors * 100.0 / n;
  return m > 0 ? 100.0 : 0.0;
}

struct TextScore {
  int errors = 0;
  int length = 0;  // reference characters, carriage returns left out
  double rate = 0;
};

// Scores file contents as the program does: carriage returns are dropped, every other byte is
// compared as it is.
inline TextScore score_texts(std::string_view reference, std::string_view received) {
  auto withoutCr = [](std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    for (char c : text)
      if (c != '\r') kept += c;
    return kept;
  };
  const std::string R = withoutCr(reference);
  const std::string S = withoutCr(received);
  const int n = static_cast<int>(R.size());
  const int m = static_cast<int>(S.size());
  std::vector<std::uint64_t> work(fast_workspace_words(n));
  TextScore result;
  result.errors = fast_errors(reinterpret_cast<const unsigned char*>(R.data()), n,
                              reinterpret_cast<const unsigned char*>(S.data()), m, work.data(), [](int) {});
  result.length = n;
  result.rate = error_rate(result.errors, n, m);
  return result;
}

}  // namespace cerscore
