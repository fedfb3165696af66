// SPDX-License-Identifier: Apache-2.0
#include "scoring.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <system_error>

#include "cer.h"
#include "diff.h"
#include "sha256.h"

namespace fieldreport {
using namespace score;
namespace fs = std::filesystem;

const char* rateName(Rate rate) {
  switch (rate) {
    case Rate::Pcer:
      return "PCER";
    case Rate::Ccer:
      return "CCER";
    case Rate::Tcer:
      return "TCER";
    case Rate::Cer:
      return "CER";
  }
  return "";
}

std::optional<Rate> rateNamed(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (Rate r : {Rate::Pcer, Rate::Ccer, Rate::Tcer, Rate::Cer})
    if (upper == rateName(r)) return r;
  return std::nullopt;
}

double Figures::rate(Rate which) const {
  switch (which) {
    case Rate::Pcer:
      return pcerRate;
    case Rate::Ccer:
      return ccerRate;
    case Rate::Tcer:
      return tcerRate;
    case Rate::Cer:
      return cerRate;
  }
  return 0;
}

std::string withThousands(long long n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string twoDecimals(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

namespace {

// The value as printed with two decimals: verdicts go by the figures a reader sees.
double printed(double value) {
  return std::strtod(twoDecimals(value).c_str(), nullptr);
}

// Whether score, reading a file with these bytes, would stop at its limit: it checks the limit
// before looking at each byte, so a dropped byte after the last kept one counts too.
bool overLimit(std::string_view text) {
  int kept = 0;
  for (char c : text) {
    if (kept == kTextLimit) return true;
    if (keepByte(static_cast<unsigned char>(c)) >= 0) ++kept;
  }
  return false;
}

Counts counts(std::int32_t total, std::int32_t correct, std::int32_t added, std::int32_t missed,
              std::int32_t changed) {
  return {total, correct, added, missed, changed};
}

}  // namespace

std::optional<std::string> scoreRefuses(std::string_view reference, std::string_view received) {
  if (overLimit(reference)) return "the far end's script text is over score's limit of 80000 characters";
  if (overLimit(received)) return "the received text is over score's limit of 80000 characters";
  return std::nullopt;
}

Figures scoreTexts(std::string_view reference, std::string_view received, std::string* scoreFile) {
  Figures f;
  ScoreRun run = runScore(reference, received);
  if (scoreFile) *scoreFile = std::move(run.scoreFile);
  const ScoreState& s = run.state;
  f.masterChars = s.mlength;
  f.pcer = counts(s.totalTotal, s.totalCorrect, s.totalAdded, s.totalMissing, s.totalChanged);
  f.ccer = counts(s.totalTotalCM, s.totalCorrectCM, s.totalAddedCM, s.totalMissingCM, s.totalChangedCM);
  f.tcer = counts(s.totalTotalSM, s.totalCorrectSM, s.totalAddedSM, s.totalMissingSM, s.totalChangedSM);
  f.pcerRate = run.character;
  f.ccerRate = run.consumer;
  f.tcerRate = run.shift;
  const cerscore::TextScore cer = cerscore::score_texts(reference, received);
  f.cerErrors = cer.errors;
  f.cerLength = cer.length;
  f.cerRate = cer.rate;
  f.coverage = f.masterChars > 0 ? 100.0 * f.pcer.total / f.masterChars : 100.0;
  return f;
}

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass:
      return "pass";
    case Verdict::Fail:
      return "fail";
    case Verdict::Incomplete:
      return "incomplete";
  }
  return "";
}

Verdict verdictOf(const Figures& figures, const std::vector<Limit>& limits) {
  if (printed(figures.coverage) < kCompleteCoverage) return Verdict::Incomplete;
  for (const Limit& limit : limits)
    if (!(printed(figures.rate(limit.rate)) < limit.percent)) return Verdict::Fail;
  return Verdict::Pass;
}

ScriptFinder::ScriptFinder(std::optional<fs::path> forAll, std::optional<fs::path> folder)
    : forAll_(std::move(forAll)), folder_(std::move(folder)) {}

const Script* ScriptFinder::load(const fs::path& path, std::string& why) {
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(path, ec);
  const std::string key = (ec ? path : canonical).string();
  if (auto it = scripts_.find(key); it != scripts_.end()) return it->second.get();
  if (auto it = failed_.find(key); it != failed_.end()) {
    why = it->second;
    return nullptr;
  }
  auto fail = [&](std::string reason) -> const Script* {
    why = failed_[key] = std::move(reason);
    return nullptr;
  };
  if (fs::is_directory(path, ec)) return fail("script " + path.string() + " is a folder");
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot read script " + path.string() + ": " + std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return fail("cannot read script " + path.string());
  auto script = std::make_unique<Script>();
  script->path = path.string();
  script->size = static_cast<long long>(bytes.size());
  script->sha256 = sha256Hex(bytes);
  script->turns = fieldtext::readTurns(bytes);
  for (const auto& turn : script->turns) {
    for (const auto& line : turn) script->key += line + '\n';
    script->key += '\n';
  }
  return (scripts_[key] = std::move(script)).get();
}

const Script* ScriptFinder::find(const std::string& scriptUsed, const fs::path& captureFolder,
                                 std::string& why) {
  if (forAll_) {
    if (!forAllScript_) forAllScript_ = load(*forAll_, forAllWhy_);
    why = forAllWhy_;
    return forAllScript_;
  }
  auto [it, added] = searched_.try_emplace({scriptUsed, captureFolder.string()});
  if (added) it->second.first = search(scriptUsed, captureFolder, it->second.second);
  why = it->second.second;
  return it->second.first;
}

const Script* ScriptFinder::search(const std::string& scriptUsed, const fs::path& captureFolder,
                                   std::string& why) {
  if (scriptUsed.empty()) {
    why = "the record names no script (SCRIPTUSED is empty); give one with --script";
    return nullptr;
  }
  std::error_code ec;
  std::vector<fs::path> tried;
  auto exists = [&](const fs::path& p) {
    tried.push_back(p);
    return fs::is_regular_file(p, ec);
  };
  const fs::path asWritten(scriptUsed);
  if (exists(asWritten)) return load(asWritten, why);
  // A name written on Windows: a drive letter and backslashes.
  std::string slashed = scriptUsed;
  for (char& c : slashed)
    if (c == '\\') c = '/';
  const bool windowsAbsolute = slashed.size() > 2 && slashed[1] == ':' && slashed[2] == '/';
  if (asWritten.is_relative() && !windowsAbsolute) {
    if (exists(captureFolder / asWritten)) return load(captureFolder / asWritten, why);
    if (slashed != scriptUsed && exists(captureFolder / slashed)) return load(captureFolder / slashed, why);
  }
  const std::string name = fs::path(slashed).filename().string();
  if (folder_ && !name.empty()) {
    if (exists(*folder_ / name)) return load(*folder_ / name, why);
    // Windows names are case-insensitive: SCRIPT.TXT may be script.txt here.
    for (const auto& entry : fs::directory_iterator(*folder_, ec)) {
      const std::string candidate = entry.path().filename().string();
      if (candidate.size() == name.size() &&
          std::equal(candidate.begin(), candidate.end(), name.begin(),
                     [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) ==
                              std::tolower(static_cast<unsigned char>(b));
                     }) &&
          entry.is_regular_file(ec))
        return load(entry.path(), why);
    }
    tried.push_back(*folder_ / name);
  }
  why = "script not found: " + scriptUsed + " (looked for";
  for (std::size_t i = 0; i < tried.size(); ++i) why += (i ? ", " : " ") + tried[i].string();
  why += folder_ ? ")" : "; --scripts DIR names a folder to look in)";
  return nullptr;
}

std::vector<fs::path> ScriptFinder::filesRead() const {
  std::vector<fs::path> files;
  for (const auto& [key, script] : scripts_) files.emplace_back(script->path);
  return files;
}

std::vector<const Script*> ScriptFinder::scriptsRead() const {
  std::vector<const Script*> read;
  for (const auto& [key, script] : scripts_) read.push_back(script.get());
  return read;
}

std::optional<fieldtext::Side> farEndSide(const fieldtext::Record& record) {
  const std::string* direction = record.value("DIRECTION");
  if (!direction) return std::nullopt;
  if (*direction == "Incoming Call") return fieldtext::Side::Even;
  if (*direction == "Outgoing Call") return fieldtext::Side::Odd;
  return std::nullopt;
}

Texts textsOf(const fieldtext::Record& record, const Script& script, fieldtext::Side farEnd, bool handTyped,
              std::optional<int> callNumber) {
  Texts texts;
  std::string reference = fieldtext::sideText(script.turns, farEnd, handTyped ? "" : " ");
  if (callNumber) {
    const std::string number = std::to_string(*callNumber);
    for (std::size_t at = 0; (at = reference.find(kCallMark, at)) != std::string::npos; at += number.size())
      reference.replace(at, kCallMark.size(), number);
  }
  texts.reference = fieldtext::withoutTrailingSpaces(std::move(reference));
  texts.received = fieldtext::withoutTrailingSpaces(fieldtext::speakerText(record.conversation, "RECD: "));
  return texts;
}

std::optional<int> callNumberIn(std::string_view farEndText, std::string_view received) {
  // Digits as they arrive in either shift: 1234567890 or QWERTYUIOP on the same codes.
  auto digit = [](char c) -> int {
    static const std::string_view kLetters = "PQWERTYUIO";
    if (c >= '0' && c <= '9') return c - '0';
    const std::size_t at = kLetters.find(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
  };
  std::map<int, int> seen;  // number -> times read
  for (std::size_t mark = 0; (mark = farEndText.find(kCallMark, mark)) != std::string_view::npos;
       mark += kCallMark.size()) {
    // Up to 12 characters before the mark, back to the previous mark.
    const std::size_t previous = farEndText.rfind(kCallMark, mark == 0 ? 0 : mark - 1);
    const std::size_t from =
        std::max(previous == std::string_view::npos || previous >= mark ? 0 : previous + kCallMark.size(),
                 mark >= 12 ? mark - 12 : std::size_t{0});
    const std::string_view before = farEndText.substr(from, mark - from);
    if (before.size() < 3) continue;
    for (std::size_t at = 0; (at = received.find(before, at)) != std::string_view::npos; ++at) {
      std::size_t i = at + before.size();
      int number = 0, digits = 0;
      for (; i < received.size() && digit(received[i]) >= 0 && digits < 6; ++i, ++digits)
        number = number * 10 + digit(received[i]);
      // A number of the call ends there (GA follows a space), and calls count from 1.
      if (digits > 0 && number > 0 && (i == received.size() || digit(received[i]) < 0)) ++seen[number];
    }
  }
  if (seen.empty()) return std::nullopt;
  return std::max_element(seen.begin(), seen.end(),
                          [](const auto& a, const auto& b) { return a.second < b.second; })
      ->first;
}

}  // namespace fieldreport
