// SPDX-License-Identifier: Apache-2.0
#pragma once
// Windows-1252, the single-byte character set of the serial line and the capture files.
// Errors: nothing here throws; a character the code page lacks gives nothing (an empty optional).
#include <optional>

namespace kit::windows1252 {

// The code point of a byte; 0 for the five bytes the code page leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D): each caller decides what those stand for.
char32_t toUnicode(unsigned char byte);

// The byte of a code point, or nothing when the code page has no such character (the undefined
// bytes are never produced).
std::optional<unsigned char> fromUnicode(char32_t code);

// The same, with the five undefined bytes standing for the C1 controls of their value, as the
// capture files' readers and writers take them: every byte has a code point, and comes back.
char32_t toUnicodeOrControl(unsigned char byte);
std::optional<unsigned char> fromUnicodeOrControl(char32_t code);

}  // namespace kit::windows1252
