// SPDX-License-Identifier: Apache-2.0
// Reading the call records of a capture file.
#include <algorithm>
#include <cstdlib>

#include "capture.h"
#include "windows1252.h"

namespace capture {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  const char end =
      text.find('\n') == std::string_view::npos && text.find('\r') != std::string_view::npos ? '\r' : '\n';
  while (!text.empty()) {
    std::size_t at = text.find(end);
    std::string_view line = text.substr(0, at);
    if (end == '\n' && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return lines;
}

namespace {

// The length of the UTF-8 sequence at s[i]; 0 when none begins there.
std::size_t utf8Length(std::string_view s, std::size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const std::size_t n = c < 0x80                      ? 1
                        : (c >> 5) == 6 && c >= 0xC2  ? 2
                        : (c >> 4) == 14              ? 3
                        : (c >> 3) == 30 && c <= 0xF4 ? 4
                                                      : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

bool validUtf8(std::string_view s, bool& multibyte) {
  multibyte = false;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = utf8Length(s, i);
    if (n == 0) return false;
    multibyte = multibyte || n > 1;
    i += n;
  }
  return true;
}

// The Windows-1252 byte of a code point; '?' for one the code page lacks.
char cp1252Of(char32_t code) { return static_cast<char>(kit::windows1252::fromUnicodeOrControl(code).value_or('?')); }

std::string fromUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t code = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
    for (std::size_t k = 1; k < n; ++k) code = (code << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out += cp1252Of(code);
    i += n;
  }
  return out;
}

std::string fromUtf16(std::string_view s, bool little) {
  std::string out;
  out.reserve(s.size() / 2);
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
    const auto lo = static_cast<unsigned char>(s[i + (little ? 0 : 1)]);
    const auto hi = static_cast<unsigned char>(s[i + (little ? 1 : 0)]);
    const char32_t unit = static_cast<char32_t>(hi << 8 | lo);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < s.size()) {
      i += 2;  // the pair stands for a character beyond the code page
      out += '?';
      continue;
    }
    out += cp1252Of(unit);
  }
  return out;
}

bool isEndedLine(std::string_view line) {
  return line.starts_with("Ended at ") && line.ends_with(" seconds)");
}

// "KEY: value" with a key of capitals, digits and "#" (DIAL#).
std::optional<std::pair<std::string, std::string>> valueLine(std::string_view line) {
  const std::size_t colon = line.find(": ");
  if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
  for (char c : line.substr(0, colon))
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#')) return std::nullopt;
  return std::pair{std::string(line.substr(0, colon)), std::string(line.substr(colon + 2))};
}

// The call's length from "... (125.3 seconds)".
std::optional<double> lengthOf(std::string_view ended) {
  const std::size_t open = ended.rfind(" (");
  if (open == std::string_view::npos) return std::nullopt;
  std::string number(ended.substr(open + 2, ended.size() - open - 2 - std::string_view(" seconds)").size()));
  if (number.empty()) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(number.c_str(), &end);
  if (end != number.c_str() + number.size()) return std::nullopt;
  return seconds;
}

// Reads the record whose rule line is lines[at]; `next` is the next rule line (or the end).
// Returns the reason it is broken, or nothing when `record` was filled; a broken record keeps in
// `record` what was read of it, and `progress` says how far it got.
// lastLineEnded: the file's last line has its line end (a line cut short has none).
struct Progress {
  bool started = false, conversationWhole = false;
};
std::optional<std::string> readRecord(const std::vector<std::string_view>& lines, std::size_t at,
                                      std::size_t next, bool lastLineEnded, Record& record,
                                      Progress& progress) {
  if (at + 1 >= next || !lines[at + 1].starts_with("Started at "))
    return "no \"Started at\" line after the rule line";
  record.started = lines[at + 1].substr(std::string_view("Started at ").size());
  progress.started = true;
  if (at + 2 >= next || !lines[at + 2].empty()) return "no empty line after \"Started at\"";

  // The conversation ends at the first empty line followed by an "Ended at" line. Its own lines
  // cannot look like that: every paragraph of the view begins with a speaker mark.
  std::size_t blank = at + 2;
  while (blank + 1 < next && !(lines[blank].empty() && isEndedLine(lines[blank + 1]))) ++blank;
  if (blank + 1 >= next) {
    // What there is of the conversation, without the empty lines before the break.
    std::size_t last = next;
    while (last > at + 3 && lines[last - 1].empty()) --last;
    for (std::size_t i = at + 3; i < last; ++i) {
      if (i > at + 3) record.conversation += "\r\n";
      record.conversation += lines[i];
    }
    return "truncated: the record ends before its \"Ended at\" line";
  }
  for (std::size_t i = at + 3; i < blank; ++i) {
    if (i > at + 3) record.conversation += "\r\n";
    record.conversation += lines[i];
  }
  record.ended = lines[blank + 1].substr(std::string_view("Ended at ").size());
  record.seconds = lengthOf(record.ended);
  progress.conversationWhole = true;

  for (std::size_t i = blank + 2; i < next; ++i) {
    auto value = valueLine(lines[i]);
    if (!value) return "truncated: the record's values end before its SCRIPTUSED line";
    const bool lastLine = i + 1 == lines.size() && !lastLineEnded;
    if (lastLine)
      return value->first == "SCRIPTUSED" ? "truncated: the record's SCRIPTUSED line is cut short"
                                          : "truncated: the record ends before its SCRIPTUSED line";
    const bool last = value->first == "SCRIPTUSED";
    record.values.push_back(std::move(*value));
    if (last) return std::nullopt;
  }
  return "truncated: the record ends before its SCRIPTUSED line";
}

// A line cut short and the next record's rule line run together: "RECD: HELLO WO====...".
void splitRunTogetherRules(std::vector<std::string_view>& lines) {
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.size() > kRule.size() && line.ends_with(kRule) && lines[i + 1].starts_with("Started at ")) {
      lines[i] = line.substr(0, line.size() - kRule.size());
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                   line.substr(line.size() - kRule.size()));
    }
  }
}

}  // namespace

// UTF-8 but for a few stray bytes (one typed in Windows-1252 by an editor that kept the rest):
// read as UTF-8 with those bytes as Windows-1252, so that the file's other accented letters stay
// what they were. More stray bytes than UTF-8 characters is a Windows-1252 file: nothing then.
namespace {
std::optional<std::string> mostlyUtf8(std::string_view bytes, std::string& how) {
  std::size_t characters = 0, stray = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8Length(bytes, i);
    characters += n > 1;
    stray += n == 0;
    i += n ? n : 1;
  }
  if (characters == 0 || stray >= characters) return std::nullopt;
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8Length(bytes, i);
    if (n == 0) {
      out += bytes[i++];
      continue;
    }
    out += n == 1 ? bytes[i] : fromUtf8(bytes.substr(i, n))[0];
    i += n;
  }
  how = ", with " + std::to_string(stray) +
        (stray == 1 ? " byte that is not UTF-8" : " bytes that are not UTF-8") + " read as Windows-1252";
  return out;
}
}  // namespace

std::string asCp1252(std::string_view bytes, std::string& encoding) {
  encoding.clear();
  bool multibyte = false;
  std::string how;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
    encoding = "UTF-8 with a byte-order mark";
    if (validUtf8(bytes, multibyte)) return fromUtf8(bytes);
    if (auto text = mostlyUtf8(bytes, how)) {
      encoding += how;
      return *text;
    }
    encoding = "Windows-1252 after a UTF-8 byte-order mark";
    return std::string(bytes);
  }
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    const bool little = bytes[0] == '\xFF';
    encoding = little ? "UTF-16LE" : "UTF-16BE";
    return fromUtf16(bytes.substr(2), little);
  }
  if (validUtf8(bytes, multibyte) && multibyte) {
    encoding = "UTF-8";
    return fromUtf8(bytes);
  }
  if (auto text = mostlyUtf8(bytes, how)) {
    encoding = "UTF-8" + how;
    return *text;
  }
  return std::string(bytes);
}

Capture readCapture(std::string_view raw) {
  Capture capture;
  if (raw.empty()) {
    capture.problem = "empty file";
    return capture;
  }
  const std::string text = asCp1252(raw, capture.encoding);
  const std::string_view bytes = text;
  std::vector<std::string_view> lines = splitLines(bytes);
  splitRunTogetherRules(lines);
  std::vector<std::size_t> rules;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == kRule) rules.push_back(i);
  if (rules.empty()) {
    const bool binary = bytes.find('\0') != std::string_view::npos;
    capture.encoding.clear();
    capture.problem =
        binary ? "not a capture file (binary data)" : "not a capture file (no call record in it)";
    return capture;
  }
  // A rule line inside a record that has not reached its SCRIPTUSED line yet cannot be part of
  // it: records are written one after another, so that record was broken off there.
  int number = 0;
  for (std::size_t r = 0; r < rules.size(); ++r) {
    const std::size_t next = r + 1 < rules.size() ? rules[r + 1] : lines.size();
    Record record;
    record.number = ++number;
    Progress progress;
    const bool ended = bytes.ends_with('\n') || bytes.ends_with('\r');
    if (auto broken = readRecord(lines, rules[r], next, ended, record, progress)) {
      const int n = record.number;
      capture.broken.push_back(
          {n, std::move(*broken), std::move(record), progress.started, progress.conversationWhole});
    } else {
      capture.records.push_back(std::move(record));
    }
  }
  return capture;
}

std::optional<std::string> lastConversation(std::string_view bytes) {
  Capture read = readCapture(bytes);
  if (read.records.empty()) return std::nullopt;
  if (!read.broken.empty() && read.broken.back().number > read.records.back().number) return std::nullopt;
  return read.records.back().conversation;
}

std::optional<std::string> lastRecordValue(std::string_view bytes, std::string_view key) {
  Capture read = readCapture(bytes);
  if (read.records.empty()) return std::nullopt;
  if (!read.broken.empty() && read.broken.back().number > read.records.back().number) return std::nullopt;
  const std::string* value = read.records.back().value(key);
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

}  // namespace capture
