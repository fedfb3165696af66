// SPDX-License-Identifier: Apache-2.0
#include "common/conversation_text.h"

#include <cstdio>

#include "common/cp1252.h"

namespace corvalis {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t p = text.find(kLineBreak, start);
    if (p == std::string::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, p - start));
    start = p + 2;
  }
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += kLineBreak;
    out += lines[i];
  }
  return out;
}

std::string CleanUpLastLine(const std::string& text) {
  size_t p = text.rfind(kLineBreak);
  size_t start = p == std::string::npos ? 0 : p + 2;
  std::string last = text.substr(start);
  size_t escape = last.find("+++");
  if (escape != std::string::npos) last.erase(escape);
  while (last.size() > 1 && last.back() == ' ') last.pop_back();
  return text.substr(0, start) + last;
}

std::string TrimConversationEnd(const std::string& text) {
  std::vector<std::string> lines = SplitLines(text);
  auto dropEmpty = [&lines] {
    while (lines.size() > 1 && lines.back().empty()) lines.pop_back();
  };
  dropEmpty();
  if (lines.size() > 1 && lines.back().size() < 8) {
    lines.pop_back();
    dropEmpty();
  }
  return JoinLines(lines);
}

std::u32string ViewTextToDisplay(const std::string& text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += U'\u2029';
      ++i;
    } else if (b < 32) {
      out += static_cast<char32_t>(0x2400 + b);
    } else if (b == 127) {
      out += U'\u2421';
    } else {
      out += Cp1252ToUnicode(b);
    }
  }
  return out;
}

std::string DisplayToViewText(const std::u32string& display) {
  std::string out;
  out.reserve(display.size());
  for (char32_t c : display) {
    if (c == U'\u2029' || c == U'\n') {
      out += kLineBreak;
    } else if (c >= 0x2400 && c < 0x2420) {
      out += static_cast<char>(c - 0x2400);
    } else if (c == U'\u2421') {
      out += static_cast<char>(127);
    } else {
      out += static_cast<char>(UnicodeToCp1252(c));
    }
  }
  return out;
}

std::string CallClockText(std::int32_t seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d Min", seconds / 60, seconds % 60);
  return buf;
}

bool AutoSendDue(std::uint16_t rxIdleTicks, std::uint16_t rxCharsSinceSend, const std::string& recentChars) {
  if (rxIdleTicks > 15 && rxCharsSinceSend > 3) return true;
  if (rxIdleTicks > 30 && rxCharsSinceSend > 0) return true;
  if (rxIdleTicks > 6) {
    // The sign must end a four-character run and not start it.
    if (recentChars.find("GA") == 2) return true;
    if (recentChars.find("SK") == 2) return true;
  }
  return false;
}

void PushRecentChar(std::string& recentChars, char ch) {
  if (recentChars.size() > 3) recentChars.erase(0, 1);
  if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  recentChars += ch;
}

}  // namespace corvalis
