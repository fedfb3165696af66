// SPDX-License-Identifier: Apache-2.0
// Two sets of captures, condition by condition: the difference in PCER and CER and what it says.
#include "compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "scoring.h"

namespace fieldreport {

RateInterval differenceInterval(double rateA, RateInterval a, double rateB, RateInterval b) {
  // An interval that does not hold its own estimate (rounding, a rate capped at 100 %) is taken
  // as reaching it.
  const double lowA = std::min(a.low, rateA), highA = std::max(a.high, rateA);
  const double lowB = std::min(b.low, rateB), highB = std::max(b.high, rateB);
  const double diff = rateB - rateA;
  // The difference is lowest when B is low and A high, highest the other way round.
  return {diff - std::hypot(rateB - lowB, highA - rateA), diff + std::hypot(highB - rateB, rateA - lowA)};
}

double detectableDifference(double below) {
  const double z = normalQuantile(0.975), power = normalQuantile(0.80);
  return below * (z + power) / z;
}

namespace {

// As printed, with two decimals: the differences and verdicts go by the figures a reader sees.
double printed(double value) { return std::strtod(twoDecimals(value).c_str(), nullptr); }

RateComparison rateComparison(const Group* a, const Group* b, Rate rate) {
  const std::size_t r =
      static_cast<std::size_t>(std::find(kRates.begin(), kRates.end(), rate) - kRates.begin());
  RateComparison c;
  if (a) c.a = printed(a->sums.rate(rate));
  if (b) c.b = printed(b->sums.rate(rate));
  if (!a || !b) return c;
  const Interval& ia = a->intervals[r];
  const Interval& ib = b->intervals[r];
  const RateInterval d = differenceInterval(c.a, {ia.low, ia.high}, c.b, {ib.low, ib.high});
  c.diff = printed(c.b - c.a);
  c.low = printed(d.low);
  c.high = printed(d.high);
  return c;
}

ConditionComparison compareCondition(const Group* a, const Group* b) {
  ConditionComparison c;
  c.values = a ? a->values : b->values;
  c.callsA = a ? a->calls : 0;
  c.callsB = b ? b->calls : 0;
  c.pcer = rateComparison(a, b, Rate::Pcer);
  c.cer = rateComparison(a, b, Rate::Cer);
  if (!a || !b) {
    c.verdict = a ? CompareVerdict::OnlyInA : CompareVerdict::OnlyInB;
    return c;
  }
  c.verdict = compareVerdict(c.pcer, c.cer);
  if (c.verdict == CompareVerdict::NoDifference)
    for (const RateComparison* rc : {&c.pcer, &c.cer})
      c.missed = std::max(c.missed, detectableDifference(rc->diff - rc->low));
  // No rate of characters counted moves by more than 100 points.
  c.missed = std::min(c.missed, 100.0);
  return c;
}

}  // namespace

CompareVerdict compareVerdict(const RateComparison& pcer, const RateComparison& cer) {
  if (pcer.low > 0 || cer.low > 0) return CompareVerdict::Worse;
  if (pcer.high < 0 || cer.high < 0) return CompareVerdict::Better;
  return CompareVerdict::NoDifference;
}

std::string compareVerdictText(const ConditionComparison& c) {
  switch (c.verdict) {
    case CompareVerdict::Worse:
      return "B worse";
    case CompareVerdict::Better:
      return "B better";
    case CompareVerdict::OnlyInA:
      return "only in A";
    case CompareVerdict::OnlyInB:
      return "only in B";
    case CompareVerdict::NoDifference:
      break;
  }
  return "no difference detected (could have missed " + twoDecimals(c.missed) + " points)";
}

std::vector<ConditionComparison> compareReports(const Report& a, const Report& b) {
  std::vector<const Group*> sa, sb;
  for (const Group& g : a.groups) sa.push_back(&g);
  for (const Group& g : b.groups) sb.push_back(&g);
  auto byValues = [](const Group* x, const Group* y) { return x->values < y->values; };
  std::sort(sa.begin(), sa.end(), byValues);
  std::sort(sb.begin(), sb.end(), byValues);
  std::vector<ConditionComparison> rows;
  std::size_t i = 0, j = 0;
  while (i < sa.size() || j < sb.size()) {
    if (j == sb.size() || (i < sa.size() && sa[i]->values < sb[j]->values)) {
      rows.push_back(compareCondition(sa[i++], nullptr));
    } else if (i == sa.size() || sb[j]->values < sa[i]->values) {
      rows.push_back(compareCondition(nullptr, sb[j++]));
    } else {
      rows.push_back(compareCondition(sa[i++], sb[j++]));
    }
  }
  return rows;
}

Report conditionsWith(const Report& day, std::size_t field, const std::string& value) {
  Report side;
  side.byFields = day.byFields;
  side.byFields.erase(side.byFields.begin() + static_cast<std::ptrdiff_t>(field));
  for (const Group& g : day.groups) {
    if (fieldtext::cp1252ToUtf8(g.values[field]) != value) continue;
    Group kept = g;
    kept.values.erase(kept.values.begin() + static_cast<std::ptrdiff_t>(field));
    side.groups.push_back(std::move(kept));
  }
  return side;
}

}  // namespace fieldreport
