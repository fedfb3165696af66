// SPDX-License-Identifier: Apache-2.0
#pragma once
// The script: the conversation's turns in a text file, each turn one line or more, the turns
// separated by empty lines. The answerer, who types first, has the odd turns (1, 3, ...), the
// caller the even ones. This side's turns are read a line at a time as it sends them; the other
// side's are read past. Lines are bytes, each without its line end (CR LF or LF).
//
// Errors: a script that cannot be opened or read throws TFileError (records/calllog.h) with the
// message the tester is shown; a file closes itself when it fails.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace corvalis {

// One line read, and what it did to the turns.
struct TScriptLine {
  std::string Text;            // a line of this side's turn (empty: none)
  bool TurnEnded = false;      // an empty line closed one of this side's turns
  bool NewTurn = false;        // the line began a turn: the counter moved
  bool FirstLongLine = false;  // the first line of this script longer than kLongLine
};

class TScriptReader {
 public:
  // A line longer than this was written without line breaks (the tester is told once).
  static constexpr std::size_t kLongLine = 90;

  // An existing regular file (a folder, a pipe or a device would fail to read or never end).
  static bool IsScriptFile(const std::string& Name);
  // The turns of the script file Name (at most 65535; 0 when it is not a script file).
  static std::uint16_t CountTurns(const std::string& Name);

  // Opens Name from its start, as bytes.
  void Open(const std::string& Name);
  void Close();
  bool IsOpen() const { return open_; }
  // No line is left (or no script is open).
  bool AtEnd();

  // Reads the next line. SkipOdd, SkipEven: the turns that are the other side's.
  TScriptLine Read(bool SkipOdd, bool SkipEven);

  // The counter back to the script's start; the file closes.
  void Rewind();

  std::int32_t TurnNumber() const { return turnNumber_; }
  // This side's turn has lines still to read.
  bool TurnHasMore() const { return turnHasMore_; }

 private:
  std::ifstream file_;
  bool open_ = false;
  std::int32_t turnNumber_ = 0;
  bool atTurnStart_ = true;
  bool turnHasMore_ = false;
  bool longLineWarned_ = false;  // once per program run
};

}  // namespace corvalis
