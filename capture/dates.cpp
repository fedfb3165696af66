// SPDX-License-Identifier: Apache-2.0
#include "dates.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace capture {
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

bool leapYear(long long y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(long long y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leapYear(y) ? 29 : kDays[m - 1];
}

// Splits "a<sep>b<sep>c" into numbers; every part must be 1 to 4 digits.
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

// A date's three numbers as written: year first (2001-10-18), or two numbers and the year.
struct DateParts {
  bool yearFirst = false;
  char sep = 0;
  int first = 0, second = 0;  // the two numbers before the year, or month and day after it
  long long year = 0;
};

std::optional<DateParts> dateParts(std::string_view text) {
  if (text.ends_with('.')) text.remove_suffix(1);
  for (char sep : {'/', '.', '-'}) {
    std::vector<std::string_view> parts;
    if (text.find(sep) == std::string_view::npos || !numbers(text, sep, parts) || parts.size() != 3) continue;
    DateParts d;
    d.sep = sep;
    if (parts[0].size() >= 3) {
      d.yearFirst = true;
      d.year = toInt(parts[0]);
      d.first = toInt(parts[1]);
      d.second = toInt(parts[2]);
    } else {
      d.first = toInt(parts[0]);
      d.second = toInt(parts[1]);
      d.year = toInt(parts[2]) + (parts[2].size() <= 2 ? 2000 : 0);
    }
    return d;
  }
  return std::nullopt;
}

bool validDate(long long y, int m, int d) {
  return m >= 1 && m <= 12 && d >= 1 && d <= daysInMonth(y, m);
}

std::optional<long long> dayOf(const DateParts& p, DateOrder order) {
  int m = p.first, d = p.second;
  if (!p.yearFirst) {
    bool dayFirst = order == DateOrder::DayFirst || (order == DateOrder::Unknown && p.sep != '/');
    if (order == DateOrder::Unknown &&
        !validDate(p.year, dayFirst ? p.second : p.first, dayFirst ? p.first : p.second))
      dayFirst = !dayFirst;
    if (dayFirst) std::swap(m, d);
  }
  if (!validDate(p.year, m, d)) return std::nullopt;
  return daysFromCivil(p.year, static_cast<unsigned>(m), static_cast<unsigned>(d));
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

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < text.size();) {
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t j = i;
    while (j < text.size() && text[j] != ' ') ++j;
    if (j > i) out.push_back(text.substr(i, j - i));
    i = j;
  }
  return out;
}

}  // namespace

std::string filePrefix(const std::tm& local) {
  char text[48];
  std::snprintf(text, sizeof text, "%02d%02d-%02d%02d", local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min);
  return text;
}

std::string fileName(std::string_view prefix, std::string_view computerId) {
  return std::string(prefix) + "-" + std::string(computerId) + ".TXT";
}

std::optional<long long> parseMoment(std::string_view text, DateOrder order) {
  const std::vector<std::string_view> w = words(text);
  if (w.empty() || w.size() > 3) return std::nullopt;
  const auto parts = dateParts(w[0]);
  if (!parts) return std::nullopt;
  const auto day = dayOf(*parts, order);
  if (!day) return std::nullopt;
  long long seconds = 0;
  if (w.size() > 1) {
    auto time = parseTime(w[1], w.size() > 2 ? w[2] : std::string_view{});
    if (!time) return std::nullopt;
    seconds = *time;
  }
  return *day * 86400 + seconds;
}

std::optional<MonthDay> monthDayOfName(std::string_view fileName) {
  if (fileName.size() < 10 || fileName[4] != '-' || fileName[9] != '-') return std::nullopt;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 7, 8})
    if (fileName[i] < '0' || fileName[i] > '9') return std::nullopt;
  const MonthDay md{toInt(fileName.substr(0, 2)), toInt(fileName.substr(2, 2))};
  if (md.month < 1 || md.month > 12 || md.day < 1 || md.day > 31) return std::nullopt;
  return md;
}

DateOrder orderFromName(std::string_view started, const MonthDay& name) {
  const std::vector<std::string_view> w = words(started);
  if (w.empty()) return DateOrder::Unknown;
  const auto p = dateParts(w[0]);
  if (!p || p->yearFirst) return DateOrder::Unknown;
  // The name's day, or the day after the date read in that order.
  auto fits = [&](int m, int d) {
    if (!validDate(p->year, m, d)) return false;
    if (m == name.month && d == name.day) return true;
    int nm = m, nd = d + 1;
    if (nd > daysInMonth(p->year, m)) nd = 1, nm = m % 12 + 1;
    return nm == name.month && nd == name.day;
  };
  const bool monthFirst = fits(p->first, p->second), dayFirst = fits(p->second, p->first);
  if (monthFirst == dayFirst) return DateOrder::Unknown;
  return monthFirst ? DateOrder::MonthFirst : DateOrder::DayFirst;
}

bool ambiguousDate(std::string_view started) {
  const std::vector<std::string_view> w = words(started);
  if (w.empty()) return false;
  const auto p = dateParts(w[0]);
  return p && !p->yearFirst && p->first != p->second && validDate(p->year, p->first, p->second) &&
         validDate(p->year, p->second, p->first);
}

}  // namespace capture
