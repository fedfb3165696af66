// SPDX-License-Identifier: Apache-2.0
// The decoder is checked against the encoder over every input of up to three bytes: a sequence is
// taken exactly when it is the one encoding of the character it decodes to (which rules out
// overlong forms, surrogates and cut sequences at once); four-byte forms over every code point.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "utf8.h"
#include "windows1252.h"

namespace {

std::string encoded(char32_t c) {
  std::string s;
  kit::utf8::append(s, c);
  return s;
}

TEST(Utf8, TakesExactlyTheCanonicalFormsOfUpToThreeBytes) {
  // The canonical forms of one to three bytes, by length and value.
  std::vector<std::vector<bool>> canonical = {{}, std::vector<bool>(1u << 8), std::vector<bool>(1u << 16),
                                              std::vector<bool>(1u << 24)};
  for (char32_t c = 0; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string s = encoded(c);
    std::uint32_t v = 0;
    for (unsigned char b : s) v = v << 8 | b;
    canonical[s.size()][v] = true;
  }
  for (std::size_t length = 1; length <= 3; ++length) {
    for (std::uint32_t v = 0; v < (1u << (8 * length)); ++v) {
      std::string s;
      for (std::size_t i = 0; i < length; ++i) s += static_cast<char>(v >> (8 * (length - 1 - i)));
      // The one prefix that is a whole character, if any (a prefix code has at most one).
      std::size_t expected = 0;
      for (std::size_t k = 1; k <= length && !expected; ++k)
        if (canonical[k][v >> (8 * (length - k))]) expected = k;
      std::size_t at = 0;
      const auto c = kit::utf8::next(s, at);
      ASSERT_EQ(c.has_value(), expected != 0) << std::hex << v << " of length " << length;
      ASSERT_EQ(at, expected) << std::hex << v;
      if (c) {
        ASSERT_EQ(s.substr(0, at), encoded(*c)) << std::hex << v;
      }
    }
  }
}

TEST(Utf8, EveryCodePointRoundTripsAndTheRestIsReplaced) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const std::string s = encoded(c);
    std::size_t at = 0;
    const auto back = kit::utf8::next(s, at);
    ASSERT_TRUE(back.has_value()) << std::hex << static_cast<std::uint32_t>(c);
    ASSERT_EQ(at, s.size());
    const char32_t expected = c >= 0xD800 && c <= 0xDFFF ? kit::utf8::kReplacement : c;
    ASSERT_EQ(static_cast<std::uint32_t>(*back), static_cast<std::uint32_t>(expected));
    // Cut anywhere, a multi-byte form is not a character.
    for (std::size_t cut = 1; cut < s.size(); ++cut) {
      std::size_t at2 = 0;
      ASSERT_FALSE(kit::utf8::next(std::string_view(s).substr(0, cut), at2)) << std::hex << static_cast<std::uint32_t>(c);
    }
  }
  EXPECT_EQ(encoded(0x110000), encoded(kit::utf8::kReplacement));
}

TEST(Windows1252, EveryByteAndCodePointAgree) {
  int defined = 0;
  for (int b = 0; b < 256; ++b) {
    const char32_t c = kit::windows1252::toUnicode(static_cast<unsigned char>(b));
    if (c == 0 && b != 0) {
      // The five holes of the code page.
      EXPECT_TRUE(b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) << b;
      continue;
    }
    ++defined;
    EXPECT_EQ(kit::windows1252::fromUnicode(c), static_cast<unsigned char>(b)) << b;
  }
  EXPECT_EQ(defined, 251);
  int mapped = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (auto b = kit::windows1252::fromUnicode(c)) {
      ++mapped;
      ASSERT_EQ(static_cast<std::uint32_t>(kit::windows1252::toUnicode(*b)), static_cast<std::uint32_t>(c));
    }
  }
  EXPECT_EQ(mapped, 251);
  // Read with the holes as C1 controls, every byte comes back, and nothing else maps to a hole.
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    EXPECT_EQ(kit::windows1252::fromUnicodeOrControl(kit::windows1252::toUnicodeOrControl(byte)), byte) << b;
  }
  EXPECT_FALSE(kit::windows1252::fromUnicodeOrControl(0x80).has_value());  // the euro sign's byte, not a control
  EXPECT_FALSE(kit::windows1252::fromUnicodeOrControl(0x2028).has_value());
  EXPECT_EQ(static_cast<std::uint32_t>(kit::windows1252::toUnicode(0x80)), 0x20ACu);
  EXPECT_EQ(static_cast<std::uint32_t>(kit::windows1252::toUnicode(0x9F)), 0x0178u);
}

}  // namespace
