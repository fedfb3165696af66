// SPDX-License-Identifier: Apache-2.0
#include "summary.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <optional>
#include <map>
#include <thread>

#include "calls.h"

namespace fieldreport {

void Sums::add(const Figures& f) {
  pcerTotal += f.pcer.total;
  pcerCorrect += f.pcer.correct;
  ccerTotal += f.ccer.total;
  ccerCorrect += f.ccer.correct;
  tcerTotal += f.tcer.total;
  tcerCorrect += f.tcer.correct;
  cerErrors += f.cerErrors;
  cerLength += f.cerLength;
  masterChars += f.masterChars;
  added += f.pcer.added;
  missed += f.pcer.missed;
  changed += f.pcer.changed;
}

void Sums::add(const Sums& o) {
  pcerTotal += o.pcerTotal;
  pcerCorrect += o.pcerCorrect;
  ccerTotal += o.ccerTotal;
  ccerCorrect += o.ccerCorrect;
  tcerTotal += o.tcerTotal;
  tcerCorrect += o.tcerCorrect;
  cerErrors += o.cerErrors;
  cerLength += o.cerLength;
  masterChars += o.masterChars;
  added += o.added;
  missed += o.missed;
  changed += o.changed;
}

namespace {

// score's rate: nothing counted is everything lost, unless there was nothing to count.
double scoreRate(long long total, long long correct, long long master) {
  if (total == 0) return master == 0 ? 0.0 : 100.0;
  return 100.0 - (100.0 * static_cast<double>(correct)) / static_cast<double>(total);
}

}  // namespace

double Sums::rate(Rate which) const {
  switch (which) {
    case Rate::Pcer:
      return scoreRate(pcerTotal, pcerCorrect, masterChars);
    case Rate::Ccer:
      return scoreRate(ccerTotal, ccerCorrect, masterChars);
    case Rate::Tcer:
      return scoreRate(tcerTotal, tcerCorrect, masterChars);
    case Rate::Cer:
      if (cerLength > 0) return static_cast<double>(cerErrors) * 100.0 / static_cast<double>(cerLength);
      return cerErrors > 0 ? 100.0 : 0.0;
  }
  return 0;
}

double Sums::coverage() const {
  return masterChars > 0 ? 100.0 * static_cast<double>(pcerTotal) / static_cast<double>(masterChars) : 100.0;
}

CallCount Sums::count(Rate which) const {
  auto d = [](long long v) { return static_cast<double>(v); };
  switch (which) {
    case Rate::Pcer:
      return {d(pcerTotal - pcerCorrect), d(pcerTotal)};
    case Rate::Ccer:
      return {d(ccerTotal - ccerCorrect), d(ccerTotal)};
    case Rate::Tcer:
      return {d(tcerTotal - tcerCorrect), d(tcerTotal)};
    case Rate::Cer:
      return {d(cerErrors), d(cerLength)};
  }
  return {};
}

const char* groupVerdictName(GroupVerdict verdict) {
  switch (verdict) {
    case GroupVerdict::Pass:
      return "pass";
    case GroupVerdict::Fail:
      return "fail";
    case GroupVerdict::Undetermined:
      return "undetermined";
  }
  return "";
}

std::string fieldKey(std::string_view field) {
  std::string key;
  for (char c : field)
    if (c != '_') key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

std::string fieldValue(const fieldtext::Record& record, std::string_view field) {
  const std::string* value = record.value(fieldKey(field));
  return value ? *value : std::string();
}

namespace {

// The value as printed with two decimals: verdicts go by the figures a reader sees.
double printed(double value) {
  return std::strtod(twoDecimals(value).c_str(), nullptr);
}

// The test day of each call: calls with less than kNightSeconds between one and the next are one
// day of testing (a session past midnight stays one day), named by the date of its first call's
// start on the computer's own clock (days since 1970); two sessions of the same date are one day.
// A call whose start cannot be read counts on the first day.
constexpr long long kNightSeconds = 8 * 3600;

long long dateOf(long long seconds) {
  return seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
}

std::vector<long long> callDays(const std::vector<ScoredRecord>& records, const std::vector<Call>& calls) {
  std::vector<std::optional<long long>> start(calls.size());
  for (std::size_t c = 0; c < calls.size(); ++c)
    for (std::size_t i : calls[c].records)
      if (records[i].start && !start[c]) start[c] = records[i].start;
  std::vector<std::size_t> order;
  for (std::size_t c = 0; c < calls.size(); ++c)
    if (start[c]) order.push_back(c);
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return *start[a] < *start[b]; });
  std::vector<long long> days(calls.size(), 0);
  long long day = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k == 0 || *start[order[k]] - *start[order[k - 1]] >= kNightSeconds) day = dateOf(*start[order[k]]);
    days[order[k]] = day;
  }
  for (std::size_t c = 0; c < calls.size(); ++c)
    if (!start[c]) days[c] = order.empty() ? 0 : days[order.front()];
  return days;
}

std::size_t rateIndex(Rate rate) {
  return static_cast<std::size_t>(std::find(kRates.begin(), kRates.end(), rate) - kRates.begin());
}

}  // namespace

GroupVerdict groupVerdict(const Group& g, const std::vector<Limit>& limits, std::string& why) {
  if (g.complete < g.calls) {
    const int incomplete = g.calls - g.complete;
    why = std::to_string(incomplete) + (incomplete == 1 ? " call" : " calls") + " dropped or incomplete";
    return GroupVerdict::Fail;
  }
  for (const Limit& l : limits) {
    const Interval& i = g.intervals[rateIndex(l.rate)];
    if (printed(i.low) > l.percent) {
      why = std::string(rateName(l.rate)) + " above " + twoDecimals(l.percent) + " %";
      return GroupVerdict::Fail;
    }
  }
  // Too few calls to pass whatever their figures: that, not a wide interval, is what decides.
  if (g.calls < kMinCallsToPass) {
    why = "fewer than " + std::to_string(kMinCallsToPass) + " calls";
    return GroupVerdict::Undetermined;
  }
  for (const Limit& l : limits) {
    const Interval& i = g.intervals[rateIndex(l.rate)];
    if (!(printed(i.high) < l.percent)) {
      why = std::string(rateName(l.rate)) + " interval includes " + twoDecimals(l.percent) + " %";
      return GroupVerdict::Undetermined;
    }
  }
  why = limits.empty() ? "no limit" : "below the limits";
  return GroupVerdict::Pass;
}

int callsToSettle(const std::array<std::vector<CallCount>, 4>& counts, const std::array<Dispersion, 4>& common,
                  const std::vector<Limit>& limits, int calls) {
  if (limits.empty()) return std::max(0, kMinCallsToPass - calls);
  // Each limited rate's own dispersion, kept as the prior of the projected condition.
  std::array<Dispersion, 4> own;
  for (std::size_t r = 0; r < kRates.size(); ++r) own[r] = conditionDispersion(counts[r], common[r]);
  auto settled = [&](int more) {
    Group g;
    g.calls = g.complete = calls + more;
    for (const Limit& l : limits) {
      const std::size_t r = rateIndex(l.rate);
      std::vector<CallCount> projected = counts[r];
      double errors = 0, chars = 0;
      for (const CallCount& c : projected) errors += c.errors, chars += c.chars;
      if (projected.empty() || chars <= 0) return false;
      CallCount average{errors / static_cast<double>(projected.size()), chars / static_cast<double>(projected.size()),
                        projected.back().day};
      projected.insert(projected.end(), static_cast<std::size_t>(more), average);
      const RateInterval i = rateInterval(projected, own[r], kSettleLevel);
      g.intervals[r] = {100.0 * i.low, std::min(100.0, 100.0 * i.high)};
    }
    std::string why;
    return groupVerdict(g, limits, why) != GroupVerdict::Undetermined;
  };
  if (settled(0)) return 0;
  // The verdict settles as calls are added (the interval narrows about the same rate): double
  // until it does, then halve the gap.
  int low = 0, high = 1;
  while (!settled(high)) {
    if (high > kMostCallsNeeded) return kTooManyCalls;
    low = high;
    high *= 2;
  }
  while (high - low > 1) {
    const int mid = low + (high - low) / 2;
    (settled(mid) ? high : low) = mid;
  }
  return high > kMostCallsNeeded ? kTooManyCalls : high;
}

std::string callsNeededText(const Group& g) {
  if (g.callsNeeded == kTooManyCalls)
    return "more than " + std::to_string(kMostCallsNeeded / 1000) + ",000 more calls would be needed to settle it";
  if (g.callsNeeded <= 0) return "";
  return std::to_string(g.callsNeeded) + (g.callsNeeded == 1 ? " more call" : " more calls") +
         " would likely settle it";
}

Summary summarize(const std::vector<ScoredRecord>& records, const std::vector<Call>& calls,
                  const std::vector<std::string>& fields, const std::vector<Limit>& limits, unsigned jobs) {
  Summary summary;
  std::vector<Group>& groups = summary.groups;
  std::map<std::vector<std::string>, std::size_t> index;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::vector<std::string> values;
    for (const auto& f : fields) values.push_back(fieldValue(records[i].record, f));
    auto [it, added] = index.try_emplace(values, groups.size());
    if (added) {
      Group g;
      g.values = values;
      groups.push_back(std::move(g));
    }
    groups[it->second].records.push_back(i);
  }
  const std::vector<long long> days = callDays(records, calls);
  std::vector<std::size_t> callOf(records.size());
  for (std::size_t c = 0; c < calls.size(); ++c)
    for (std::size_t i : calls[c].records) callOf[i] = c;

  // Each call's counts in each group, for each rate; of the complete calls alone for the day's
  // dispersion: a dropped call's rate is how far it got, not how the line garbled its text.
  std::vector<std::array<std::vector<CallCount>, 4>> counts(groups.size()), complete(groups.size());
  for (std::size_t gi = 0; gi < groups.size(); ++gi) {
    Group& g = groups[gi];
    std::map<std::size_t, Call> parts;  // each call's records in this group, in call order
    for (std::size_t i : g.records) parts[callOf[i]].records.push_back(i);
    for (auto& [c, part] : parts) {
      Sums s;
      for (std::size_t i : part.records) s.add(records[i].figures);
      const Verdict verdict = callVerdict(records, part);
      const long long day = days[c];
      for (std::size_t r = 0; r < kRates.size(); ++r) {
        CallCount count = s.count(kRates[r]);
        count.day = day;
        counts[gi][r].push_back(count);
        if (verdict != Verdict::Incomplete) complete[gi][r].push_back(count);
      }
      g.sums.add(s);
      g.complete += verdict != Verdict::Incomplete;
      g.passed += verdict == Verdict::Pass;
    }
    g.calls = static_cast<int>(parts.size());
  }
  for (std::size_t r = 0; r < kRates.size(); ++r) {
    std::vector<std::vector<CallCount>> all;
    for (const auto& c : complete) all.push_back(c[r]);
    summary.dispersion[r] = withBetweenDays(all, estimateDispersion(all));
  }
  for (const auto& c : counts)
    for (const CallCount& call : c[0])
      if (std::find(summary.days.begin(), summary.days.end(), call.day) == summary.days.end())
        summary.days.push_back(call.day);
  std::sort(summary.days.begin(), summary.days.end());
  // The groups' intervals are independent: `jobs` threads take them in turn.
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t gi; (gi = next++) < groups.size();) {
      Group& g = groups[gi];
      for (std::size_t r = 0; r < kRates.size(); ++r) {
        const RateInterval i = rateInterval(counts[gi][r], summary.dispersion[r]);
        // Per cent; a rate of characters counted is at most 100 %. CER may be more only with
        // characters added: a condition where nothing was received, or nothing was added to
        // what was, has its CER at most 100 % too.
        const double rate = g.sums.rate(kRates[r]);
        const bool added = g.sums.added > 0 || g.sums.cerErrors > g.sums.cerLength;
        const double top = kRates[r] == Rate::Cer && added ? std::max(100.0, 2 * rate) : 100.0;
        g.intervals[r] = {std::min(100.0 * i.low, rate), std::min(100.0 * i.high, top)};
        if (!std::isfinite(g.intervals[r].high)) g.intervals[r].high = top;
      }
      g.verdict = groupVerdict(g, limits, g.why);
      if (g.verdict == GroupVerdict::Undetermined)
        g.callsNeeded = callsToSettle(counts[gi], summary.dispersion, limits, g.calls);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < std::min<std::size_t>(jobs, groups.size()); ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  // Like conditions next to each other.
  std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) { return a.values < b.values; });
  return summary;
}

}  // namespace fieldreport
