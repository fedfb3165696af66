// SPDX-License-Identifier: Apache-2.0
#pragma once
// Strict UTF-8 for the trace and its rules: no overlong forms, no surrogates, nothing past U+10FFFF.
// Kept apart from the kit's charset library on purpose: the rules judge text that the phone's
// coder wrote, and must not share a fault with it.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rttmodem::trace::utf8 {

inline constexpr char32_t kByteOrderMark = 0xFEFF;
inline constexpr char32_t kLostTextMark = 0xFFFD;
inline constexpr char32_t kLineSeparator = 0x2028;
inline constexpr char32_t kParagraphSeparator = 0x2029;

// The character at text[at], and at moved past it; nothing (at unmoved) when the bytes there are
// not one well-formed character.
std::optional<char32_t> next(std::string_view text, std::size_t& at);
void append(std::string& out, char32_t c);
bool valid(std::string_view text);
// Where the first byte of ill-formed UTF-8 is, or npos.
std::size_t firstInvalid(std::string_view text);
// The characters of valid text (each ill-formed byte counts as one).
std::size_t count(std::string_view text);

}  // namespace rttmodem::trace::utf8
