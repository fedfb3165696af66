// SPDX-License-Identifier: Apache-2.0
#pragma once
// The 5-bit Baudot code of TTYs: which code and shift a character travels on, and what a code
// prints as in either shift.
//
// Letters and the both-shift codes are the same everywhere; the figures differ between tables.
// The line uses the US TTY table by default (D-figures is $, H-figures is #, S-figures is the
// bell, J-figures the apostrophe), the table of the TTYs the kit is tested with; ITA2's figures
// (the international telegraph alphabet: D-figures is "who are you", S-figures the apostrophe,
// J-figures the bell, V-figures =, Z-figures +) can be chosen instead.
#include <optional>
#include <string_view>
#include <vector>

namespace tty::baudot {

enum class Shift { Letters, Figures, Both };

enum class Figures { Us, Ita2 };

// "us" or "ita2"; nothing for anything else.
std::optional<Figures> parseFigures(std::string_view name);
const char* figuresName(Figures f);

struct Code {
  int code;     // 0 to 31
  Shift shift;  // Both: the code means the same in either shift and changes no shift
};

inline constexpr int kFigs = 27;
inline constexpr int kLtrs = 31;
inline constexpr int kSpace = 4;

// The code of a character; nothing for a character with no Baudot form in the table (for example
// NUL, ESC, DEL or a byte above 127). A few characters with no figure of their own travel on the
// code of the nearest one ('<' as '(', '=' as '#' in the US table) and arrive as that one.
std::optional<Code> encode(unsigned char c, Figures f = Figures::Us);

// The codes a sender sends for a text: LTRS first, then each character's code behind a FIGS or LTRS
// whenever its shift differs from the one in force (which a space returns to letters, as receivers
// do). Characters with no Baudot form are left out.
std::vector<int> codesOf(std::string_view text, Figures f = Figures::Us);

// What a receiver prints for a code in the given shift (Letters or Figures): capital letters in
// letters shift; in figures shift the table's figure of the code. Both-shift codes print as
// themselves (space, CR, LF, BS); FIGS and LTRS as '^' and '_'.
char decode(int code, Shift shift, Figures f = Figures::Us);

// True for a code that prints something in both shifts and is no shift or control code: the codes a
// garbled character may become.
bool isPrintable(int code, Shift shift, Figures f = Figures::Us);

}  // namespace tty::baudot
