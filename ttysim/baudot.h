#pragma once
// The 5-bit Baudot code of TTYs: which code and shift a character travels on, and what a code
// prints as in either shift.
#include <optional>

namespace ttysim::baudot {

enum class Shift { Letters, Figures, Both };

struct Code {
  int code;     // 0 to 31
  Shift shift;  // Both: the code means the same in either shift and changes no shift
};

inline constexpr int kFigs = 27;
inline constexpr int kLtrs = 31;

// The code of a character; nothing for a character with no Baudot form (for example NUL, ESC, DEL
// or a byte above 127).
std::optional<Code> encode(unsigned char c);

// What a receiver prints for a code in the given shift (Letters or Figures): capital letters in
// letters shift; in figures shift the usual TTY figure of the code. Both-shift codes print as
// themselves (space, CR, LF, BS).
char decode(int code, Shift shift);

// True for a code that prints something in both shifts and is no shift or control code: the codes a
// garbled character may become.
bool isPrintable(int code, Shift shift);

}  // namespace ttysim::baudot
