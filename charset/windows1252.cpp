// SPDX-License-Identifier: Apache-2.0
#include "windows1252.h"

namespace kit::windows1252 {
namespace {

// 0x80 to 0x9F; 0 where the code page defines nothing.
constexpr char16_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

char32_t toUnicode(unsigned char byte) { return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte; }

std::optional<unsigned char> fromUnicode(char32_t code) {
  if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return static_cast<unsigned char>(code);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] != 0 && kHigh[i] == code) return static_cast<unsigned char>(0x80 + i);
  return std::nullopt;
}

char32_t toUnicodeOrControl(unsigned char byte) {
  const char32_t c = toUnicode(byte);
  return c || byte == 0 ? c : byte;
}

std::optional<unsigned char> fromUnicodeOrControl(char32_t code) {
  if (auto byte = fromUnicode(code)) return byte;
  if (code >= 0x80 && code < 0xA0 && toUnicode(static_cast<unsigned char>(code)) == 0)
    return static_cast<unsigned char>(code);
  return std::nullopt;
}

}  // namespace kit::windows1252
