// SPDX-License-Identifier: Apache-2.0
#include "baudot.h"

#include <array>

namespace tty::baudot {
namespace {

// Letters shift, by code; 0 where the code is a both-shift code.
constexpr std::array<char, 32> kLetters = {0,   'E', 0,   'A', 0,   'S', 'I', 'U', 0,   'D', 'R',
                                           'J', 'N', 'F', 'C', 'K', 'T', 'Z', 'L', 'W', 'H', 'Y',
                                           'P', 'Q', 'O', 'B', 'G', 0,   'M', 'X', 'V', 0};

// Figures shift, by code: the character printed first, then the characters with no figure of
// their own that are sent on the code. The US TTY table (D $, F !, G &, H #, J ', S bell, V ;,
// Z ") and ITA2's (D "who are you", sent and printed as ENQ; J bell, S ', V =, Z +). ITA2 leaves
// F, G and H to national use: they keep the US figures.
constexpr const char* kUsFigures[32] = {"",   "3", "",   "-",     "",     "\a", "8",  "7",    "",  "$",  "4",
                                        "'`", ",", "!|", ":",     "(<[{", "5",  "\"", ")>]}", "2", "#=", "6",
                                        "0",  "1", "9",  "?\x1a", "&+",   "",   ".*", "/%\\", ";", ""};
constexpr const char* kIta2Figures[32] = {
    "",  "3", "",     "-", "",  "'`", "8", "7", "",  "\x05",  "4", "\a", ",",  "!|",   ":", "(<[{",
    "5", "+", ")>]}", "2", "#", "6",  "0", "1", "9", "?\x1a", "&", "",   ".*", "/%\\", "=", ""};

struct Table {
  std::array<signed char, 128> code{};
  std::array<Shift, 128> shift{};
  std::array<char, 32> figures{};  // what each code prints in figures shift
};

constexpr Table makeTable(const char* const* figures) {
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
  for (int code = 0; code < 32; ++code) {
    t.figures[code] = figures[code][0];
    for (const char* p = figures[code]; *p != 0; ++p)
      set(static_cast<unsigned char>(*p), code, Shift::Figures);
  }
  set('@', 29, Shift::Letters);
  set(8, 0, Shift::Both);
  for (int ch : {10, 11, 12, 28, 29, 30}) set(ch, 2, Shift::Both);
  for (int ch : {9, 31, 32, 126}) set(ch, kSpace, Shift::Both);
  set(13, 8, Shift::Both);
  set('^', kFigs, Shift::Both);
  set('_', kLtrs, Shift::Both);
  return t;
}

constexpr Table kUs = makeTable(kUsFigures);
constexpr Table kIta2 = makeTable(kIta2Figures);

const Table& table(Figures f) {
  return f == Figures::Ita2 ? kIta2 : kUs;
}

}  // namespace

std::optional<Figures> parseFigures(std::string_view name) {
  if (name == "us") return Figures::Us;
  if (name == "ita2") return Figures::Ita2;
  return std::nullopt;
}

const char* figuresName(Figures f) {
  return f == Figures::Ita2 ? "ita2" : "us";
}

std::optional<Code> encode(unsigned char c, Figures f) {
  const Table& t = table(f);
  if (c > 127 || t.code[c] < 0) return std::nullopt;
  return Code{t.code[c], t.shift[c]};
}

char decode(int code, Shift shift, Figures f) {
  code &= 31;
  switch (code) {
    case 0:
      return '\b';
    case 2:
      return '\n';
    case kSpace:
      return ' ';
    case 8:
      return '\r';
    case kFigs:
      return '^';
    case kLtrs:
      return '_';
    default:
      return shift == Shift::Figures ? table(f).figures[code] : kLetters[code];
  }
}

bool isPrintable(int code, Shift shift, Figures f) {
  code &= 31;
  if (kLetters[code] == 0) return false;
  if (shift != Shift::Figures) return true;
  const char c = table(f).figures[code];
  return c >= 32 && c < 127;
}

std::vector<int> codesOf(std::string_view text, Figures f) {
  std::vector<int> codes{kLtrs};
  bool figures = false;
  for (char ch : text) {
    const std::optional<Code> c = encode(static_cast<unsigned char>(ch), f);
    if (!c) continue;
    if (c->shift != Shift::Both && (c->shift == Shift::Figures) != figures) {
      figures = !figures;
      codes.push_back(figures ? kFigs : kLtrs);
    }
    codes.push_back(c->code);
    if (c->code == kSpace) figures = false;
  }
  return codes;
}

}  // namespace tty::baudot
