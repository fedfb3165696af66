// SPDX-License-Identifier: Apache-2.0
#include "summary.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
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
      for (std::size_t r = 0; r < kRates.size(); ++r) {
        counts[gi][r].push_back(s.count(kRates[r]));
        if (verdict != Verdict::Incomplete) complete[gi][r].push_back(s.count(kRates[r]));
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
    summary.dispersion[r] = estimateDispersion(all);
  }
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
