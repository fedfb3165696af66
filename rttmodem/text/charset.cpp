// SPDX-License-Identifier: Apache-2.0
#include "charset.h"

#include "utf8.h"
#include "windows1252.h"

namespace rttmodem::text {
namespace {

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when it is not valid (then
// `bad` is how many bytes to skip as one invalid run).
std::size_t decodeOne(std::string_view text, std::size_t i, char32_t& c, std::size_t& bad) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  bad = 1;
  if (b0 < 0x80) {
    c = b0;
    return 1;
  }
  std::size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
      bad = k;
      return 0;
    }
    c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    bad = len;
    return 0;
  }
  return len;
}

}  // namespace

std::string utf8(char32_t c) {
  std::string s;
  kit::utf8::append(s, c);
  return s;
}

std::size_t countCodePoints(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char b : text) n += ((b & 0xC0) != 0x80);
  return n;
}

std::size_t wholeCharacterPrefix(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  std::size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  if (cut == 0) {  // one character longer than the limit: take it whole
    cut = 1;
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
  }
  return cut;
}

bool toWindows1252(char32_t c, char* out) {
  const auto byte = kit::windows1252::fromUnicode(c);
  if (byte) *out = static_cast<char>(*byte);
  return byte.has_value();
}

char32_t fromWindows1252(unsigned char b) { return kit::windows1252::toUnicode(b); }

std::string ToNetwork::convert(std::string_view bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    const bool cr = b == '\r';
    if (b == '\n' && afterCr_) {  // the LF of a CR LF: the CR already ended the line
      afterCr_ = false;
      continue;
    }
    afterCr_ = cr;
    if (cr || b == '\n') {
      out += utf8(kLineSeparator);
    } else if (b == 0x08 || b == 0x07 || b == '\t') {
      out += static_cast<char>(b);  // erase, bell and tab mean the same in T.140
    } else if (b < 0x20 || b == 0x7F) {
      // Other control characters carry no text and have no T.140 meaning.
    } else if (char32_t c = fromWindows1252(b)) {
      out += utf8(c);
    } else {
      ++unrepresentable_;
      out += '?';
    }
  }
  return out;
}

void FromNetwork::abandon(std::string& out) {
  std::u32string held;
  held.swap(held_);
  escape_ = Escape::None;
  // The introducer itself has no form for the program; what followed it was text.
  for (std::size_t i = 1; i < held.size(); ++i) put(held[i], out);
}

void FromNetwork::put(char32_t c, std::string& out) {
  // Control sequences (ESC [ ... final byte, ESC and one character, SOS/OSC ... ST) set colours
  // and such in T.140; the program has no use for them. A sequence never hides a lost-text mark
  // or a line end, and never runs longer than kMaxEscape: then it was text after all.
  if (escape_ != Escape::None) {
    const bool lineEnd = c == '\r' || c == '\n' || c == kLineSeparator || c == 0x2029;
    if (c == kLostTextMark || lineEnd || held_.size() >= kMaxEscape) {
      abandon(out);
      put(c, out);
      return;
    }
    if (c == kByteOrderMark) return;  // a keep-alive inside a sequence changes nothing
    held_ += c;
  }
  switch (escape_) {
    case Escape::Esc:
      if (c == '[') {
        escape_ = Escape::Csi;
      } else if (c == 'X' || c == 'P' || c == ']' || c == '^' || c == '_') {
        escape_ = Escape::String;
      } else {
        escape_ = Escape::None;
        held_.clear();
      }
      return;
    case Escape::Csi:
      if (c >= 0x40 && c <= 0x7E) {
        escape_ = Escape::None;
        held_.clear();
      } else if (c < 0x20 || c > 0x7E) {
        abandon(out);  // not a sequence after all
      }
      return;
    case Escape::String:
      if (c == 0x9C || c == 0x07) {
        escape_ = Escape::None;
        held_.clear();
      } else if (c == 0x1B) {
        escape_ = Escape::Esc;  // ESC \ ends the string
        held_ = c;
      }
      return;
    case Escape::None:
      break;
  }
  const bool cr = c == '\r';
  if (c == '\n' && afterCr_) {
    afterCr_ = false;
    return;
  }
  afterCr_ = cr;
  if (cr || c == '\n' || c == kLineSeparator || c == 0x2029) {
    out += "\r\n";
  } else if (c == 0x1B || c == 0x98 || c == 0x9D) {
    escape_ = c == 0x1B ? Escape::Esc : Escape::String;
    held_ = c;
  } else if (c == 0x9B) {
    escape_ = Escape::Csi;
    held_ = c;
  } else if (c == 0x08 || c == 0x07 || c == '\t') {
    out += static_cast<char>(c);
  } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == kByteOrderMark) {
    // Keep-alives and controls with no meaning for the program.
  } else if (c == kLostTextMark) {
    out += '?';
  } else {
    char b;
    if (toWindows1252(c, &b)) {
      out += b;
    } else {
      ++unrepresentable_;
      out += '?';
    }
  }
}

std::string FromNetwork::convert(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    char32_t c;
    std::size_t bad;
    if (std::size_t len = decodeOne(text, i, c, bad)) {
      put(c, out);
      i += len;
    } else {
      invalid_ += bad;
      afterCr_ = false;
      if (escape_ != Escape::None) abandon(out);
      out += '?';
      i += bad;
    }
  }
  return out;
}

}  // namespace rttmodem::text
