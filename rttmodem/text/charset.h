// SPDX-License-Identifier: Apache-2.0
#pragma once
// Text between the serial side (a program that speaks Windows-1252 with CR LF line ends and BS as
// erase) and real-time text on the network (UTF-8 T.140, where a line ends with U+2028 and BS is
// U+0008). Both directions keep a little state: a CR LF may arrive in two pieces, and a control
// sequence from the far end may span packets.
#include <cstdint>
#include <string>
#include <string_view>

namespace rttmodem::text {

inline constexpr char32_t kLineSeparator = 0x2028;
inline constexpr char32_t kLostTextMark = 0xFFFD;   // what a receiver shows for text it knows it lost
inline constexpr char32_t kByteOrderMark = 0xFEFF;  // sent alone as a keep-alive; carries no text
// The longest control sequence taken out of the text; anything longer was not one.
inline constexpr std::size_t kMaxEscape = 32;

// UTF-8 form of one code point (invalid code points give U+FFFD).
std::string utf8(char32_t c);
// Code points in valid UTF-8 text (what the logs count as characters).
std::size_t countCodePoints(std::string_view utf8Text);
// Cuts text at the last whole character at or before maxBytes (never less than one character).
std::size_t wholeCharacterPrefix(std::string_view utf8Text, std::size_t maxBytes);

// Windows-1252 byte for a code point, or nothing when it has none (0x81, 0x8D, 0x8F, 0x90, 0x9D
// are undefined there and are never produced).
bool toWindows1252(char32_t c, char* out);
// Code point of a Windows-1252 byte; 0 for the five undefined bytes.
char32_t fromWindows1252(unsigned char b);

// What the program writes, to UTF-8 for the network.
class ToNetwork {
 public:
  std::string convert(std::string_view bytes);
  // Bytes with no character behind them (the five undefined ones), sent as '?'.
  std::uint64_t unrepresentable() const { return unrepresentable_; }

 private:
  bool afterCr_ = false;
  std::uint64_t unrepresentable_ = 0;
};

// T.140 text from the network, to bytes for the program.
class FromNetwork {
 public:
  // One T.140 block; blocks hold whole characters, so a sequence cut at the end is invalid.
  std::string convert(std::string_view utf8Text);
  // Characters with no Windows-1252 form, written as '?'.
  std::uint64_t unrepresentable() const { return unrepresentable_; }
  // Bytes that were not valid UTF-8, each run written as one '?'.
  std::uint64_t invalid() const { return invalid_; }

 private:
  void put(char32_t c, std::string& out);
  // A sequence that turned out not to be one: what it held is shown as the text it was.
  void abandon(std::string& out);
  enum class Escape { None, Esc, Csi, String };
  Escape escape_ = Escape::None;
  std::u32string held_;  // the characters of the sequence so far, ESC (or SOS) first
  bool afterCr_ = false;
  std::uint64_t unrepresentable_ = 0;
  std::uint64_t invalid_ = 0;
};

}  // namespace rttmodem::text
