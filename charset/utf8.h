// SPDX-License-Identifier: Apache-2.0
#pragma once
// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
// Errors: nothing here throws or does I/O; bytes that are not one well-formed character give
// nothing (an empty optional), and what UTF-8 cannot hold is written as U+FFFD.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kit::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

// The character at text[at], and at moved past it; nothing (at unmoved) when the bytes there are
// not one well-formed character, a sequence cut short by the end of text included.
std::optional<char32_t> next(std::string_view text, std::size_t& at);

// Appends the UTF-8 form of one code point; a surrogate or a value past U+10FFFF, which UTF-8
// cannot hold, is written as U+FFFD.
void append(std::string& out, char32_t c);

}  // namespace kit::utf8
