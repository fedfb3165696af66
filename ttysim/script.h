// SPDX-License-Identifier: Apache-2.0
#pragma once
// A conversation script: turns of consecutive non-empty lines separated by empty lines, numbered
// from 1; one side of the call types the odd turns and the other the even ones.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ttysim {

using Turn = std::vector<std::string>;  // its lines, without line ends

struct Script {
  std::vector<Turn> turns;

  // Lines end with CR LF or LF alone; a line of spaces is not empty.
  static Script parse(std::string_view text);
  // Reads and parses a file; nothing, with the reason in *error, when it cannot be read.
  static std::optional<Script> load(const std::string& path, std::string* error);

  int count() const { return static_cast<int>(turns.size()); }
  // Turn n, counted from 1.
  const Turn& turn(int n) const { return turns.at(static_cast<std::size_t>(n - 1)); }
};

enum class Side { Odd, Even };

inline bool sideOwns(Side side, int turnNumber) {
  return (turnNumber % 2 == 1) == (side == Side::Odd);
}

// A turn as a person types it on a TTY: each line followed by lineEnd; "~" stays in as a pause.
std::string typedTurn(const Turn& turn, std::string_view lineEnd);

// The far end's text with every "{call}" replaced by the number of the call (1, 2, ...), so
// that each call of a run says something of its own.
std::string withCallNumber(std::string text, int call);

// A turn as the program shows it for typing by hand: the lines joined with nothing between them and
// every "~" removed.
std::string shownTurn(const Turn& turn);

}  // namespace ttysim
