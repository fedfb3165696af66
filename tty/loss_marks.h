// SPDX-License-Identifier: Apache-2.0
#pragma once
// The test of a text that crossed a lossy line: whether `got` is `sent` with some stretches
// (perhaps empty) each replaced by one mark, so that every loss shows where it happened and
// nothing else differs. The mark is a string ("?" for a program's bytes, U+FFFD in UTF-8).
#include <string>
#include <string_view>
#include <vector>

namespace tty {

inline bool lossesMarked(std::string_view sent, std::string_view got, std::string_view mark = "?") {
  std::vector<int> tokens;  // got's bytes, -1 for a mark
  for (std::size_t j = 0; j < got.size();) {
    if (!mark.empty() && got.substr(j, mark.size()) == mark) {
      tokens.push_back(-1);
      j += mark.size();
    } else {
      tokens.push_back(static_cast<unsigned char>(got[j++]));
    }
  }
  // can[i][j]: sent from i on can become tokens from j on.
  const std::size_t n = sent.size(), m = tokens.size();
  std::vector<std::vector<char>> can(n + 1, std::vector<char>(m + 1, 0));
  can[n][m] = 1;
  for (std::size_t j = m; j-- > 0;) {
    bool anyLater = false;  // can[k][j + 1] for some k >= i, as i falls
    for (std::size_t i = n + 1; i-- > 0;) {
      anyLater = anyLater || can[i][j + 1];
      can[i][j] = tokens[j] == -1 ? anyLater
                                  : i < n && static_cast<unsigned char>(sent[i]) == tokens[j] && can[i + 1][j + 1];
    }
  }
  return can[0][0];
}

}  // namespace tty
