// SPDX-License-Identifier: Apache-2.0
#include "fieldtext.h"

#include "utf8.h"
#include "windows1252.h"

namespace fieldtext {
namespace {

constexpr char kCrMark = static_cast<char>(177);
constexpr char kLfMark = static_cast<char>(178);

}  // namespace

std::vector<Turn> readTurns(std::string_view script) {
  std::vector<Turn> turns;
  bool inTurn = false;
  for (std::string_view line : capture::splitLines(script)) {
    if (line.empty()) {
      inTurn = false;
      continue;
    }
    if (!inTurn) turns.emplace_back();
    inTurn = true;
    turns.back().emplace_back(line);
  }
  return turns;
}

std::string sideText(const std::vector<Turn>& turns, Side side, std::string_view lineEnd) {
  std::string text;
  for (std::size_t i = 0; i < turns.size(); ++i) {
    bool odd = i % 2 == 0;  // turn i + 1
    if (odd != (side == Side::Odd)) continue;
    for (const std::string& line : turns[i]) {
      for (char c : line)
        if (c != '~') text += c;
      text += lineEnd;
    }
  }
  return text;
}

std::string speakerText(std::string_view conversation, std::string_view mark) {
  std::string text;
  bool speaking = false;  // the current paragraph is the speaker's
  for (std::string_view line : capture::splitLines(conversation)) {
    if (line.starts_with("SEND: ") || line.starts_with("RECD: ")) {
      speaking = line.starts_with(mark);
      line.remove_prefix(6);
    }
    if (!speaking) continue;
    for (char c : line)
      if (c != kCrMark && c != kLfMark) text += c;
  }
  return text;
}

std::string withoutLineEnds(std::string_view received) {
  std::string text;
  for (char c : received)
    if (c != '\r' && c != '\n') text += c;
  return text;
}

std::string withoutTrailingSpaces(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string cp1252ToUtf8(std::string_view bytes) {
  // The five bytes the code page leaves undefined stay C1 controls.
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) kit::utf8::append(out, kit::windows1252::toUnicodeOrControl(b));
  return out;
}

}  // namespace fieldtext
