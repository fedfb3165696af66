#include "baudot.h"

#include <array>

namespace ttysim::baudot {
namespace {

// Letters shift, by code; 0 where the code is a both-shift code.
constexpr std::array<char, 32> kLetters = {0,   'E', 0,   'A', 0,   'S', 'I', 'U', 0,   'D', 'R',
                                           'J', 'N', 'F', 'C', 'K', 'T', 'Z', 'L', 'W', 'H', 'Y',
                                           'P', 'Q', 'O', 'B', 'G', 0,   'M', 'X', 'V', 0};
// Figures shift, by code: the first figure of each code, the question mark for code 25.
constexpr std::array<char, 32> kFigures = {0,    '3', 0,   '-', 0,   '\a', '8', '7', 0,   '#', '4',
                                           '\'', ',', '!', ':', '(', '5',  '"', ')', '2', '=', '6',
                                           '0',  '1', '9', '?', '&', 0,    '.', '/', ';', 0};

struct Table {
  std::array<signed char, 128> code{};
  std::array<Shift, 128> shift{};
};

constexpr Table makeTable() {
  Table t{};
  for (auto& c : t.code) c = -1;
  auto set = [&t](int ch, int code, Shift s) {
    t.code[ch] = static_cast<signed char>(code);
    t.shift[ch] = s;
  };
  for (int code = 0; code < 32; ++code) {
    if (kLetters[code] != 0) {
      set(kLetters[code], code, Shift::Letters);
      set(kLetters[code] + 32, code, Shift::Letters);
    }
  }
  const char* figures[32] = {"",   "3", "",   "-",     "",     "\a", "8",  "7",    "",  "#$", "4",
                             "'`", ",", "!|", ":",     "(<[{", "5",  "\"", ")>]}", "2", "=",  "6",
                             "0",  "1", "9",  "\x1a?", "&+",   "",   "*.", "%/\\", ";", ""};
  for (int code = 0; code < 32; ++code) {
    for (const char* p = figures[code]; *p != 0; ++p)
      set(static_cast<unsigned char>(*p), code, Shift::Figures);
  }
  set('@', 29, Shift::Letters);
  set(8, 0, Shift::Both);
  for (int ch : {10, 11, 12, 28, 29, 30}) set(ch, 2, Shift::Both);
  for (int ch : {9, 31, 32, 126}) set(ch, 4, Shift::Both);
  set(13, 8, Shift::Both);
  set('^', kFigs, Shift::Both);
  set('_', kLtrs, Shift::Both);
  return t;
}

constexpr Table kTable = makeTable();

}  // namespace

std::optional<Code> encode(unsigned char c) {
  if (c > 127 || kTable.code[c] < 0) return std::nullopt;
  return Code{kTable.code[c], kTable.shift[c]};
}

char decode(int code, Shift shift) {
  code &= 31;
  switch (code) {
    case 0:
      return '\b';
    case 2:
      return '\n';
    case 4:
      return ' ';
    case 8:
      return '\r';
    case kFigs:
      return '^';
    case kLtrs:
      return '_';
    default:
      return shift == Shift::Figures ? kFigures[code] : kLetters[code];
  }
}

bool isPrintable(int code, Shift shift) {
  code &= 31;
  if (kLetters[code] == 0) return false;
  return shift != Shift::Figures || kFigures[code] != '\a';
}

}  // namespace ttysim::baudot
