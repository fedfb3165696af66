// SPDX-License-Identifier: Apache-2.0
#include "script.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ttysim {

Script Script::parse(std::string_view text) {
  Script s;
  bool inTurn = false;
  while (!text.empty()) {
    auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      inTurn = false;
      continue;
    }
    if (!inTurn) s.turns.emplace_back();
    inTurn = true;
    s.turns.back().emplace_back(line);
  }
  return s;
}

std::optional<Script> Script::load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open script file '" + path + "': " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) {
    if (error) *error = "cannot read script file '" + path + "'";
    return std::nullopt;
  }
  return parse(buf.str());
}

std::string typedTurn(const Turn& turn, std::string_view lineEnd) {
  std::string s;
  for (const auto& line : turn) {
    s += line;
    s += lineEnd;
  }
  return s;
}

std::string withCallNumber(std::string text, int call) {
  const std::string mark = "{call}", number = std::to_string(call);
  for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + number.size()))
    text.replace(at, mark.size(), number);
  return text;
}

std::string shownTurn(const Turn& turn) {
  std::string s;
  for (const auto& line : turn) {
    for (char c : line) {
      if (c != '~') s += c;
    }
  }
  return s;
}

}  // namespace ttysim
