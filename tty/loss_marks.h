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
  // The pieces of got between marks must be found in sent in order: the first at its start, the
  // last at its end, each other one anywhere after the one before (the earliest place is never
  // worse than a later one).
  std::vector<std::string_view> pieces;
  for (std::size_t at = 0;;) {
    const std::size_t m = mark.empty() ? std::string_view::npos : got.find(mark, at);
    pieces.push_back(got.substr(at, m == std::string_view::npos ? std::string_view::npos : m - at));
    if (m == std::string_view::npos) break;
    at = m + mark.size();
  }
  if (pieces.size() == 1) return sent == got;
  if (sent.substr(0, pieces.front().size()) != pieces.front()) return false;
  std::size_t pos = pieces.front().size();
  for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
    const std::size_t at = sent.find(pieces[i], pos);
    if (at == std::string_view::npos) return false;
    pos = at + pieces[i].size();
  }
  const std::string_view last = pieces.back();
  return sent.size() >= pos + last.size() && sent.substr(sent.size() - last.size()) == last;
}

}  // namespace tty
