#include "fieldtext.h"

#include <algorithm>
#include <cstdlib>

namespace fieldtext {
namespace {

constexpr char kCrMark = static_cast<char>(177);
constexpr char kLfMark = static_cast<char>(178);
const std::string kRule(64, '=');

// Lines without their ends; a last line without an end counts too.
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
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
// Returns the reason it is broken, or nothing when `record` was filled.
// lastLineEnded: the file's last line has its line end (a line cut short has none).
std::optional<std::string> readRecord(const std::vector<std::string_view>& lines, std::size_t at,
                                      std::size_t next, bool lastLineEnded, Record& record) {
  if (at + 1 >= next || !lines[at + 1].starts_with("Started at "))
    return "no \"Started at\" line after the rule line";
  record.started = lines[at + 1].substr(std::string_view("Started at ").size());
  if (at + 2 >= next || !lines[at + 2].empty()) return "no empty line after \"Started at\"";

  // The conversation ends at the first empty line followed by an "Ended at" line. Its own lines
  // cannot look like that: every paragraph of the view begins with a speaker mark.
  std::size_t blank = at + 2;
  while (blank + 1 < next && !(lines[blank].empty() && isEndedLine(lines[blank + 1]))) ++blank;
  if (blank + 1 >= next) return "truncated: the record ends before its \"Ended at\" line";
  for (std::size_t i = at + 3; i < blank; ++i) {
    if (i > at + 3) record.conversation += "\r\n";
    record.conversation += lines[i];
  }
  record.ended = lines[blank + 1].substr(std::string_view("Ended at ").size());
  record.seconds = lengthOf(record.ended);

  for (std::size_t i = blank + 2; i < next; ++i) {
    auto value = valueLine(lines[i]);
    if (!value) return "truncated: the record's values end before its SCRIPTUSED line";
    const bool last = value->first == "SCRIPTUSED";
    if (last && i + 1 == lines.size() && !lastLineEnded)
      return "truncated: the record's SCRIPTUSED line is cut short";
    record.values.push_back(std::move(*value));
    if (last) return std::nullopt;
  }
  return "truncated: the record ends before its SCRIPTUSED line";
}

}  // namespace

const std::string* Record::value(std::string_view key) const {
  for (const auto& [k, v] : values)
    if (k == key) return &v;
  return nullptr;
}

Capture readCapture(std::string_view bytes) {
  Capture capture;
  if (bytes.empty()) {
    capture.problem = "empty file";
    return capture;
  }
  const std::vector<std::string_view> lines = splitLines(bytes);
  std::vector<std::size_t> rules;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == kRule) rules.push_back(i);
  if (rules.empty()) {
    const bool binary = bytes.find('\0') != std::string_view::npos;
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
    if (auto broken = readRecord(lines, rules[r], next, bytes.ends_with('\n'), record)) {
      capture.broken.push_back({record.number, std::move(*broken)});
    } else {
      capture.records.push_back(std::move(record));
    }
  }
  return capture;
}

std::vector<Turn> readTurns(std::string_view script) {
  std::vector<Turn> turns;
  bool inTurn = false;
  for (std::string_view line : splitLines(script)) {
    if (line.empty()) {
      inTurn = false;
      continue;
    }
    if (!inTurn) turns.emplace_back();
    inTurn = true;
    turns.back().emplace_back(line);
  }
  return turns;
}

std::string sideText(const std::vector<Turn>& turns, Side side, std::string_view lineEnd) {
  std::string text;
  for (std::size_t i = 0; i < turns.size(); ++i) {
    bool odd = i % 2 == 0;  // turn i + 1
    if (odd != (side == Side::Odd)) continue;
    for (const std::string& line : turns[i]) {
      for (char c : line)
        if (c != '~') text += c;
      text += lineEnd;
    }
  }
  return text;
}

std::optional<std::string> lastConversation(std::string_view capture) {
  Capture read = readCapture(capture);
  if (read.records.empty()) return std::nullopt;
  if (!read.broken.empty() && read.broken.back().number > read.records.back().number) return std::nullopt;
  return read.records.back().conversation;
}

std::optional<std::string> lastRecordValue(std::string_view capture, std::string_view key) {
  Capture read = readCapture(capture);
  if (read.records.empty()) return std::nullopt;
  if (!read.broken.empty() && read.broken.back().number > read.records.back().number) return std::nullopt;
  const std::string* value = read.records.back().value(key);
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

std::string speakerText(std::string_view conversation, std::string_view mark) {
  std::string text;
  bool speaking = false;  // the current paragraph is the speaker's
  for (std::string_view line : splitLines(conversation)) {
    if (line.starts_with("SEND: ") || line.starts_with("RECD: ")) {
      speaking = line.starts_with(mark);
      line.remove_prefix(6);
    }
    if (!speaking) continue;
    for (char c : line)
      if (c != kCrMark && c != kLfMark) text += c;
  }
  return text;
}

std::string withoutLineEnds(std::string_view received) {
  std::string text;
  for (char c : received)
    if (c != '\r' && c != '\n') text += c;
  return text;
}

std::string withoutTrailingSpaces(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string cp1252ToUtf8(std::string_view bytes) {
  // Code points of 0x80 to 0x9F; the five bytes the code page leaves undefined stay C1 controls.
  static constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                         0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    const char32_t code = b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : b;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

}  // namespace fieldtext
