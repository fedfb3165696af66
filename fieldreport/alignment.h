// SPDX-License-Identifier: Apache-2.0
#pragma once
// Which characters of a received text score matched with which of its reference: the pairs of
// score's alignment, the same that give its counts, for the times of each matched character.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fieldreport {

// A text as score keeps it (line ends and characters with no Baudot form dropped, small letters
// as capitals), with the place in the text each kept character came from.
struct KeptText {
  std::string text;
  std::vector<int> from;
};
KeptText keptText(std::string_view raw);

// The pairs (master index, compare index) of kept texts that score's alignment matched, in
// order: the characters it counted as correct, and those it counted as changed into the other
// shift on the same code. (Their number less those changed is score's PCER Correct count.)
std::vector<std::pair<int, int>> alignedPairs(std::string_view keptMaster, std::string_view keptCompare);

}  // namespace fieldreport
