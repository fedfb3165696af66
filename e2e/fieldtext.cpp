#include "fieldtext.h"

namespace fieldtext {
namespace {

constexpr char kCrMark = static_cast<char>(177);
constexpr char kLfMark = static_cast<char>(178);

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

// The lines of the last record: from the last rule line to the end of the file.
std::vector<std::string_view> lastRecordLines(std::string_view capture) {
  const std::string rule(64, '=');
  std::vector<std::string_view> lines = splitLines(capture);
  for (std::size_t i = lines.size(); i-- > 0;)
    if (lines[i] == rule) return {lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end()};
  return {};
}

}  // namespace

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

std::vector<std::string> records(std::string_view capture) {
  const std::string rule(64, '=');
  std::vector<std::size_t> starts;
  for (std::size_t at = capture.find(rule); at != std::string_view::npos; at = capture.find(rule, at + 1))
    if (at == 0 || capture[at - 1] == '\n') starts.push_back(at);
  std::vector<std::string> found;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    std::size_t end = i + 1 < starts.size() ? starts[i + 1] : capture.size();
    found.emplace_back(capture.substr(starts[i], end - starts[i]));
  }
  return found;
}

std::optional<std::string> lastConversation(std::string_view capture) {
  std::vector<std::string_view> lines = lastRecordLines(capture);
  // Rule, "Started at", an empty line, the conversation, an empty line, "Ended at", the values.
  if (lines.size() < 6 || !lines[1].starts_with("Started at ") || !lines[2].empty()) return std::nullopt;
  std::size_t ended = 0;
  for (std::size_t i = lines.size(); i-- > 5;) {
    if (lines[i].starts_with("Ended at ") && lines[i - 1].empty()) {
      ended = i;
      break;
    }
  }
  if (ended == 0) return std::nullopt;
  bool complete = false;
  for (std::size_t i = ended; i < lines.size(); ++i)
    complete = complete || lines[i].starts_with("SCRIPTUSED: ");
  if (!complete) return std::nullopt;
  std::string conversation;
  for (std::size_t i = 3; i + 1 < ended; ++i) {
    if (i > 3) conversation += "\r\n";
    conversation += lines[i];
  }
  return conversation;
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

std::optional<std::string> lastRecordValue(std::string_view capture, std::string_view key) {
  std::vector<std::string_view> lines = lastRecordLines(capture);
  std::string prefix = std::string(key) + ": ";
  for (std::size_t i = lines.size(); i-- > 0;) {
    if (lines[i].starts_with("Ended at ")) break;
    if (lines[i].starts_with(prefix)) return std::string(lines[i].substr(prefix.size()));
  }
  return std::nullopt;
}

}  // namespace fieldtext
