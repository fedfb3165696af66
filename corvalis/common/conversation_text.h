// SPDX-License-Identifier: Apache-2.0
#pragma once
// The conversation view's text: a Windows-1252 byte string whose lines are separated by
// CR LF, with speaker marks and visible marks for received line breaks and backspaces.
// These helpers work on that text alone, without a window.
#include <cstdint>
#include <string>
#include <vector>

namespace corvalis {

inline constexpr char kCrMark = static_cast<char>(177);  // plus-minus sign
inline constexpr char kLfMark = static_cast<char>(178);  // superscript two
inline constexpr char kBsMark = static_cast<char>(183);  // middle dot
inline constexpr const char* kSendMark = "SEND: ";
inline constexpr const char* kRecdMark = "RECD: ";
inline constexpr const char* kLineBreak = "\r\n";

// Lines of the text split at each CR LF; an empty text is one empty line, and a text
// ending in CR LF has an empty last line.
std::vector<std::string> SplitLines(const std::string& text);
std::string JoinLines(const std::vector<std::string>& lines);

// The last line with the modem escape "+++" and anything after it removed, then its
// trailing spaces (never its first character).
std::string CleanUpLastLine(const std::string& text);

// The end of the conversation tidied before it is saved: trailing empty lines go, and a
// short last line (a bare speaker mark) goes with the empty lines above it. The first
// line always stays.
std::string TrimConversationEnd(const std::string& text);

// The view's text as the code points it is drawn with: CR LF becomes a paragraph
// separator (U+2029), other control codes their visible control pictures, the rest
// Windows-1252. DisplayToViewText is the inverse; code points outside Windows-1252
// become '?', and a plain LF or a paragraph separator becomes CR LF.
std::u32string ViewTextToDisplay(const std::string& text);
std::string DisplayToViewText(const std::u32string& display);

// The call clock: "2:05 Min" for 125 seconds.
std::string CallClockText(std::int32_t seconds);

// Whether the other side has finished its turn, from the ticks since the last received
// data, the shown characters since the last send and the last shown characters.
bool AutoSendDue(std::uint16_t rxIdleTicks, std::uint16_t rxCharsSinceSend, const std::string& recentChars);

// Appends a shown received character to the last-characters string (at most 4, upper case).
void PushRecentChar(std::string& recentChars, char ch);

// Whether a character is echoed into the view and may cause an automatic line break.
inline bool IsDisplayable(unsigned char ch) {
  return ch == 8 || ch == 27 || (ch >= 32 && ch <= 127);
}

}  // namespace corvalis
