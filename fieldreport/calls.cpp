#include "calls.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numeric>
#include <string>

namespace fieldreport {
namespace {

// Days since 1970-01-01 of a civil date (Howard Hinnant's algorithm).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// Splits "a<sep>b<sep>c" into numbers; every part must be digits.
bool numbers(std::string_view text, char sep, std::vector<std::string_view>& parts) {
  parts.clear();
  std::size_t from = 0;
  while (true) {
    const std::size_t at = text.find(sep, from);
    parts.push_back(text.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
    if (at == std::string_view::npos) break;
    from = at + 1;
  }
  for (auto p : parts)
    if (p.empty() || p.size() > 4 ||
        !std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
  return true;
}

int toInt(std::string_view digits) {
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

std::optional<long long> parseDate(std::string_view text) {
  if (text.ends_with('.')) text.remove_suffix(1);
  for (char sep : {'/', '.', '-'}) {
    std::vector<std::string_view> parts;
    if (text.find(sep) == std::string_view::npos || !numbers(text, sep, parts) || parts.size() != 3) continue;
    int y, m, d;
    if (parts[0].size() >= 3) {
      y = toInt(parts[0]), m = toInt(parts[1]), d = toInt(parts[2]);
    } else if (sep == '/') {
      m = toInt(parts[0]), d = toInt(parts[1]), y = toInt(parts[2]);
      if (m > 12 && d <= 12) std::swap(m, d);
    } else {
      d = toInt(parts[0]), m = toInt(parts[1]), y = toInt(parts[2]);
    }
    if (parts[2].size() <= 2 && parts[0].size() < 3) y += 2000;
    if (m < 1 || m > 12 || d < 1 || d > 31) return std::nullopt;
    return daysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
  }
  return std::nullopt;
}

std::optional<long long> parseTime(std::string_view text, std::string_view half) {
  std::vector<std::string_view> parts;
  if (!numbers(text, ':', parts) || parts.size() < 2 || parts.size() > 3) return std::nullopt;
  int h = toInt(parts[0]);
  const int m = toInt(parts[1]);
  const int s = parts.size() == 3 ? toInt(parts[2]) : 0;
  if (!half.empty()) {
    std::string upper(half);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if ((upper != "AM" && upper != "PM") || h < 1 || h > 12) return std::nullopt;
    h = h % 12 + (upper == "PM" ? 12 : 0);
  }
  if (h > 23 || m > 59 || s > 60) return std::nullopt;
  return h * 3600LL + m * 60 + s;
}

}  // namespace

std::optional<long long> parseMoment(std::string_view text) {
  std::vector<std::string_view> words;
  for (std::size_t i = 0; i < text.size();) {
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t j = i;
    while (j < text.size() && text[j] != ' ') ++j;
    if (j > i) words.push_back(text.substr(i, j - i));
    i = j;
  }
  if (words.empty() || words.size() > 3) return std::nullopt;
  auto day = parseDate(words[0]);
  if (!day) return std::nullopt;
  long long seconds = 0;
  if (words.size() > 1) {
    auto time = parseTime(words[1], words.size() > 2 ? words[2] : std::string_view{});
    if (!time) return std::nullopt;
    seconds = *time;
  }
  return *day * 86400 + seconds;
}

std::vector<Call> pairCalls(const std::vector<ScoredRecord>& records) {
  std::vector<std::size_t> timed, untimed;
  for (std::size_t i = 0; i < records.size(); ++i) (records[i].start ? timed : untimed).push_back(i);
  std::stable_sort(timed.begin(), timed.end(),
                   [&](std::size_t a, std::size_t b) { return *records[a].start < *records[b].start; });

  auto end = [&](const ScoredRecord& r) -> std::optional<long long> {
    if (!r.record.seconds) return std::nullopt;
    return *r.start + static_cast<long long>(std::ceil(*r.record.seconds));
  };
  auto ends = [&](const ScoredRecord& a, const ScoredRecord& b) {
    if (a.script != b.script && (!a.script || !b.script || a.script->key != b.script->key)) return false;
    if (a.farEnd == b.farEnd) return false;
    auto ea = end(a), eb = end(b);
    return !ea || !eb || (*a.start < *eb && *b.start < *ea);
  };

  std::vector<bool> paired(records.size(), false);
  std::vector<Call> calls;
  for (std::size_t x = 0; x < timed.size(); ++x) {
    const std::size_t i = timed[x];
    if (paired[i]) continue;
    paired[i] = true;
    Call call;
    call.records.push_back(i);
    for (std::size_t y = x + 1;
         y < timed.size() && *records[timed[y]].start - *records[i].start <= kPairingSeconds; ++y) {
      const std::size_t j = timed[y];
      if (!paired[j] && ends(records[i], records[j])) {
        paired[j] = true;
        call.records.push_back(j);
        break;
      }
    }
    calls.push_back(std::move(call));
  }
  for (std::size_t i : untimed) calls.push_back(Call{{i}, Verdict::Fail});
  for (Call& call : calls) call.verdict = callVerdict(records, call);
  return calls;
}

Verdict callVerdict(const std::vector<ScoredRecord>& records, const Call& call) {
  Verdict verdict = Verdict::Pass;
  for (std::size_t i : call.records) {
    if (records[i].verdict == Verdict::Incomplete) return Verdict::Incomplete;
    if (records[i].verdict == Verdict::Fail) verdict = Verdict::Fail;
  }
  return verdict;
}

}  // namespace fieldreport
