// SPDX-License-Identifier: Apache-2.0
// The intervals of a condition's rate: their coverage in simulated days of bursty calls whose
// rates vary (fixed seed), what they say about clean calls, and the numbers they are made of.
#include "intervals.h"

#include "compare.h"
#include "summary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace fieldreport {
namespace {

// A simulated lab: calls of 150 to 900 characters; each call's rate is the condition's rate
// times a gamma variable of mean 1 (coefficient of variation `variation`); errors come in runs
// of geometric length (mean `run`) starting at random.
struct Lab {
  double variation = 0.8, run = 3.0;

  std::vector<CallCount> calls(std::mt19937_64& rng, double rate, int n) const {
    std::vector<CallCount> out;
    std::uniform_int_distribution<int> length(150, 900);
    const double shape = 1.0 / (variation * variation);
    std::gamma_distribution<double> factor(shape, 1.0 / shape);
    std::geometric_distribution<int> extra(1.0 / run);
    for (int i = 0; i < n; ++i) {
      const int chars = length(rng);
      std::poisson_distribution<int> runs(chars * rate * factor(rng) / run);
      int errors = 0;
      for (int k = runs(rng); k > 0; --k) errors += 1 + extra(rng);
      out.push_back({static_cast<double>(std::min(errors, chars)), static_cast<double>(chars)});
    }
    return out;
  }
  // A day of twelve conditions of ten calls (or `perCondition`) at rates from 0.2 to 5 %, whose
  // spread the program estimates the dispersion from.
  Dispersion day(std::mt19937_64& rng, int perCondition = 10) const {
    std::vector<std::vector<CallCount>> conditions;
    std::uniform_real_distribution<double> logRate(std::log(0.002), std::log(0.05));
    for (int c = 0; c < 12; ++c) conditions.push_back(calls(rng, std::exp(logRate(rng)), perCondition));
    return estimateDispersion(conditions);
  }
};

struct Cell {
  int held = 0, below = 0, above = 0;
};

// Coverage of the true rate over `days` simulated days, for each rate and number of calls.
std::vector<std::vector<Cell>> coverage(const Lab& lab, const std::vector<double>& rates,
                                        const std::vector<int>& sizes, int days, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<Cell>> cells(rates.size(), std::vector<Cell>(sizes.size()));
  for (int d = 0; d < days; ++d) {
    const Dispersion dispersion = lab.day(rng);
    for (std::size_t r = 0; r < rates.size(); ++r)
      for (std::size_t s = 0; s < sizes.size(); ++s) {
        const RateInterval i = rateInterval(lab.calls(rng, rates[r], sizes[s]), dispersion);
        Cell& cell = cells[r][s];
        if (i.high < rates[r]) {
          ++cell.below;
        } else if (i.low > rates[r]) {
          ++cell.above;
        } else {
          ++cell.held;
        }
      }
  }
  return cells;
}

TEST(Intervals, HoldTheTrueRateInAtLeast93PerCentOfGroupsOfAnySize) {
  const std::vector<double> rates = {0.0025, 0.0075, 0.0121, 0.03};
  const std::vector<int> sizes = {1, 2, 3, 5, 10, 30};
  const int days = 500;
  for (const Lab lab : {Lab{0.8, 3.0}, Lab{1.2, 6.0}}) {
    const auto cells = coverage(lab, rates, sizes, days, 20011018);
    std::printf(
        "coverage of 95 %% intervals, %d groups each; rates vary by %.0f %% between calls, runs of %.0f\n",
        days, 100 * lab.variation, lab.run);
    for (std::size_t r = 0; r < rates.size(); ++r) {
      std::printf("  true %.2f %%:", 100 * rates[r]);
      for (std::size_t s = 0; s < sizes.size(); ++s) {
        const Cell& c = cells[r][s];
        std::printf("  %2d calls %5.1f %%", sizes[s], 100.0 * c.held / days);
        EXPECT_GE(c.held, 0.93 * days) << "rate " << rates[r] << ", " << sizes[s] << " calls";
        // Neither end fails much more often than its share of 2.5 %.
        EXPECT_LE(c.below, 0.05 * days) << "rate " << rates[r] << ", " << sizes[s] << " calls";
        EXPECT_LE(c.above, 0.05 * days) << "rate " << rates[r] << ", " << sizes[s] << " calls";
      }
      std::printf("\n");
    }
  }
}

// One side of a comparison: a condition's calls on a simulated day of its own, its pooled rate
// and its interval, as --compare takes them from each side's report.
struct Side {
  double rate = 0;
  RateInterval interval;
};

Side side(const Lab& lab, std::mt19937_64& rng, double trueRate, int calls, const Dispersion& day) {
  const std::vector<CallCount> counts = lab.calls(rng, trueRate, calls);
  double errors = 0, chars = 0;
  for (const CallCount& c : counts) {
    errors += c.errors;
    chars += c.chars;
  }
  return {errors / chars, rateInterval(counts, day)};
}

RateComparison compared(const Side& a, const Side& b) {
  const RateInterval d = differenceInterval(a.rate, a.interval, b.rate, b.interval);
  return {a.rate, b.rate, b.rate - a.rate, d.low, d.high};
}

TEST(Intervals, DifferencesOfTwoCampaignsHoldTheTrueDifferenceInAtLeast93PerCent) {
  // A and B each a condition's calls on a day of their own (each side's common figures from its
  // own day), at rates equal, a little apart and far apart, in either order.
  const std::vector<std::pair<double, double>> pairs = {
      {0.0075, 0.0075}, {0.0075, 0.0121}, {0.03, 0.0121}, {0.0025, 0.03}};
  const std::vector<int> sizes = {3, 5, 10, 30};
  const int groups = 400;
  for (const Lab lab : {Lab{0.8, 3.0}, Lab{1.2, 6.0}}) {
    std::mt19937_64 rng(20261209);
    std::vector<std::vector<Cell>> cells(pairs.size(), std::vector<Cell>(sizes.size()));
    for (int g = 0; g < groups; ++g) {
      const Dispersion dayA = lab.day(rng), dayB = lab.day(rng);
      for (std::size_t p = 0; p < pairs.size(); ++p)
        for (std::size_t s = 0; s < sizes.size(); ++s) {
          const auto [rateA, rateB] = pairs[p];
          const RateComparison c =
              compared(side(lab, rng, rateA, sizes[s], dayA), side(lab, rng, rateB, sizes[s], dayB));
          Cell& cell = cells[p][s];
          if (c.high < rateB - rateA) {
            ++cell.below;
          } else if (c.low > rateB - rateA) {
            ++cell.above;
          } else {
            ++cell.held;
          }
        }
    }
    std::printf("coverage of B - A, %d comparisons each; rates vary by %.0f %% between calls, runs of %.0f\n",
                groups, 100 * lab.variation, lab.run);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
      std::printf("  A %.2f %%, B %.2f %%:", 100 * pairs[p].first, 100 * pairs[p].second);
      for (std::size_t s = 0; s < sizes.size(); ++s) {
        const Cell& c = cells[p][s];
        std::printf("  %2d calls %5.1f %%", sizes[s], 100.0 * c.held / groups);
        EXPECT_GE(c.held, 0.93 * groups) << pairs[p].first << " to " << pairs[p].second << ", " << sizes[s];
        EXPECT_LE(c.below, 0.05 * groups) << pairs[p].first << " to " << pairs[p].second << ", " << sizes[s];
        EXPECT_LE(c.above, 0.05 * groups) << pairs[p].first << " to " << pairs[p].second << ", " << sizes[s];
      }
      std::printf("\n");
    }
  }
}

TEST(Intervals, TwoCampaignsOfTheSameProcessAreSeldomCalledWorseAndAMissedRegressionIsOwnedUpTo) {
  // A and B the same process: "B worse" is wrong. PCER and CER drawn independently, the worst
  // case for a verdict that takes a rise in either rate (in real calls they go together).
  // Then B at three times A's 0.75 %: never "B better", and when it is not found, the difference
  // the comparison says it could have missed is at least the true 1.5 points.
  const Lab lab{1.2, 6.0};
  const int groups = 400;
  std::mt19937_64 rng(1018);
  std::printf("same process: wrong \"B worse\"; B at 3x A's 0.75 %%: found, and missed but owned up to\n");
  for (int calls : {3, 5, 10, 30}) {
    int wrong = 0, found = 0, better = 0, notFound = 0, ownedUp = 0;
    for (int g = 0; g < groups; ++g) {
      const Dispersion dayA = lab.day(rng), dayB = lab.day(rng);
      for (double rate : {0.0025, 0.0121}) {
        const RateComparison pcer = compared(side(lab, rng, rate, calls, dayA), side(lab, rng, rate, calls, dayB));
        const RateComparison cer = compared(side(lab, rng, rate, calls, dayA), side(lab, rng, rate, calls, dayB));
        wrong += compareVerdict(pcer, cer) == CompareVerdict::Worse;
      }
      const RateComparison worse =
          compared(side(lab, rng, 0.0075, calls, dayA), side(lab, rng, 0.0225, calls, dayB));
      switch (compareVerdict(worse, worse)) {
        case CompareVerdict::Worse:
          ++found;
          break;
        case CompareVerdict::Better:
          ++better;
          break;
        default:
          ++notFound;
          ownedUp += detectableDifference(worse.diff - worse.low) >= 0.015;
      }
    }
    std::printf("  %2d calls a side: %4.1f %% wrong; %5.1f %% found, %d of %d missed owned up to\n", calls,
                100.0 * wrong / (2 * groups), 100.0 * found / groups, ownedUp, notFound);
    EXPECT_LE(wrong, 0.05 * 2 * groups) << calls << " calls";
    EXPECT_EQ(better, 0) << calls << " calls";
    EXPECT_GE(ownedUp, 0.9 * notFound) << calls << " calls";
  }
}

TEST(Intervals, AConditionAbove1PerCentIsRarelyShownWhollyBelowIt) {
  // Three calls at a true 1.21 %: an interval wholly below a 1 % limit would pass a failing
  // condition.
  std::mt19937_64 rng(7);
  const Lab lab;
  int below = 0;
  for (int g = 0; g < 200; ++g) below += rateInterval(lab.calls(rng, 0.0121, 3), lab.day(rng)).high < 0.01;
  EXPECT_LE(below, 5);
}

TEST(Intervals, DaysOfFiveCallConditionsWithHeavyBurstsNeitherCollapseTheDispersionNorPassA2PerCentCondition) {
  // Twelve conditions of five calls each tell little about the runs: a fit from them alone is
  // biased low and often sits at the floor of independent errors; the intervals must hold all
  // the same. Runs of 8 characters, rates varying by 120 % from call to call.
  const Lab lab{1.2, 8.0};
  const std::vector<int> sizes = {3, 5, 10, 30};
  const int days = 400;
  std::mt19937_64 rng(20260921);
  std::vector<int> held(sizes.size()), passed(sizes.size());
  int floored = 0;
  for (int d = 0; d < days; ++d) {
    const Dispersion day = lab.day(rng, 5);
    floored += day.burst <= 1.0;
    for (std::size_t s = 0; s < sizes.size(); ++s) {
      const RateInterval i = rateInterval(lab.calls(rng, 0.0121, sizes[s]), day);
      held[s] += i.low <= 0.0121 && 0.0121 <= i.high;
      passed[s] += rateInterval(lab.calls(rng, 0.02, sizes[s]), day).high < 0.01;
    }
  }
  EXPECT_EQ(floored, 0);
  std::printf("5-call days, runs of 8, rates varying by 120 %%: coverage at a true 1.21 %%, wrong passes at 2 %%\n");
  for (std::size_t s = 0; s < sizes.size(); ++s) {
    std::printf("  %2d calls: %5.1f %%, %d of %d\n", sizes[s], 100.0 * held[s] / days, passed[s], days);
    EXPECT_GE(held[s], 0.92 * days) << sizes[s] << " calls";
    EXPECT_LE(passed[s], 0.01 * days) << sizes[s] << " calls";
  }
}

// Several days whose rates differ (a gamma factor of mean 1 and coefficient of variation
// `dayVariation` on each condition's rate, each day): `perDay` calls of each of twelve conditions
// on each of `days` days, and the condition under test the first of them at `rate`.
struct Campaign {
  std::vector<std::vector<CallCount>> conditions;
};

Campaign campaign(const Lab& lab, std::mt19937_64& rng, double rate, int days, int perDay, double dayVariation) {
  Campaign out;
  std::uniform_real_distribution<double> logRate(std::log(0.002), std::log(0.05));
  const double shape = 1.0 / (dayVariation * dayVariation);
  std::gamma_distribution<double> dayFactor(shape, 1.0 / shape);
  for (int c = 0; c < 12; ++c) {
    const double conditionRate = c == 0 ? rate : std::exp(logRate(rng));
    std::vector<CallCount> calls;
    for (int d = 0; d < days; ++d)
      for (CallCount call : lab.calls(rng, conditionRate * dayFactor(rng), perDay)) {
        call.day = 20000 + d;
        calls.push_back(call);
      }
    out.conditions.push_back(calls);
  }
  return out;
}

TEST(Intervals, OverSeveralDaysTheIntervalHoldsTheLongRunRate) {
  // Rates varying by 50 % from day to day: three days of ten calls hold the condition's long-run
  // rate only with the day-to-day term; the same calls taken as one day's hold it less often.
  const Lab lab{0.8, 3.0};
  const int trials = 400;
  std::mt19937_64 rng(31);
  int held = 0, heldAsOneDay = 0;
  double widthRatio = 0;
  for (int t = 0; t < trials; ++t) {
    Campaign c = campaign(lab, rng, 0.0121, 3, 10, 0.5);
    const Dispersion common = estimateDispersion(c.conditions);
    const Dispersion days = withBetweenDays(c.conditions, common);
    ASSERT_GT(days.betweenDays, 0.0);
    const RateInterval i = rateInterval(c.conditions[0], days);
    held += i.low <= 0.0121 && 0.0121 <= i.high;
    std::vector<CallCount> oneDay = c.conditions[0];
    for (CallCount& call : oneDay) call.day = 20000;
    const RateInterval j = rateInterval(oneDay, common);
    heldAsOneDay += j.low <= 0.0121 && 0.0121 <= j.high;
    widthRatio += (i.high - i.low) / (j.high - j.low) / trials;
  }
  std::printf("long-run rate held over 3 days of 10 calls: %.1f %% with the day-to-day term, %.1f %% without; "
              "%.2f times as wide\n",
              100.0 * held / trials, 100.0 * heldAsOneDay / trials, widthRatio);
  EXPECT_GE(held, 0.93 * trials);
  EXPECT_GT(held, heldAsOneDay);
  // All on one day: no day-to-day term, the interval is that day's.
  Campaign one = campaign(lab, rng, 0.0121, 1, 10, 0.5);
  EXPECT_EQ(withBetweenDays(one.conditions, estimateDispersion(one.conditions)).betweenDays, 0.0);
}

TEST(Intervals, TwoCampaignsOfSeveralDaysHoldTheDifferenceOfTheirLongRunRates) {
  // A at 0.75 % and B at 1.21 %, each three days of ten calls with rates varying by 50 % from day
  // to day: the difference of the long-run rates is held only with each side's day-to-day term.
  const Lab lab{0.8, 3.0};
  const int trials = 400;
  std::mt19937_64 rng(1209);
  int held = 0, heldAsOneDay = 0;
  for (int t = 0; t < trials; ++t) {
    std::array<Side, 2> sides, oneDay;
    for (int k = 0; k < 2; ++k) {
      Campaign c = campaign(lab, rng, k ? 0.0121 : 0.0075, 3, 10, 0.5);
      double errors = 0, chars = 0;
      for (const CallCount& call : c.conditions[0]) {
        errors += call.errors;
        chars += call.chars;
      }
      const Dispersion days = withBetweenDays(c.conditions, estimateDispersion(c.conditions));
      sides[k] = {errors / chars, rateInterval(c.conditions[0], days)};
      std::vector<CallCount> asOneDay = c.conditions[0];
      for (CallCount& call : asOneDay) call.day = 20000;
      oneDay[k] = {errors / chars, rateInterval(asOneDay, estimateDispersion(c.conditions))};
    }
    const RateComparison d = compared(sides[0], sides[1]), e = compared(oneDay[0], oneDay[1]);
    held += d.low <= 0.0121 - 0.0075 && 0.0121 - 0.0075 <= d.high;
    heldAsOneDay += e.low <= 0.0121 - 0.0075 && 0.0121 - 0.0075 <= e.high;
  }
  std::printf("difference of long-run rates held over 3 days of 10 calls a side: %.1f %% with the day-to-day "
              "term, %.1f %% without\n",
              100.0 * held / trials, 100.0 * heldAsOneDay / trials);
  EXPECT_GE(held, 0.93 * trials);
  EXPECT_GT(held, heldAsOneDay);
}

TEST(Intervals, TheCallsNeededToSettleAConditionSettleItInMostCases) {
  // Undetermined conditions at true rates on either side of a 1 % limit: adding as many calls as
  // the report says are needed, made the same way, settles the verdict at least half the time.
  const Lab lab;
  const std::vector<Limit> limits = {{Rate::Pcer, 1.0}};
  std::mt19937_64 rng(4242);
  for (const double rate : {0.004, 0.0065, 0.016, 0.025}) {
    int undetermined = 0, settled = 0, tooMany = 0;
    std::vector<int> needed;
    for (int t = 0; t < 200 && undetermined < 60; ++t) {
      const Dispersion day = lab.day(rng);
      std::array<std::vector<CallCount>, 4> counts;
      counts[0] = lab.calls(rng, rate, 5);
      const RateInterval first = rateInterval(counts[0], day);
      if (first.high < 0.01 || first.low > 0.01) continue;
      ++undetermined;
      const int more = callsToSettle(counts, {day, day, day, day}, limits, 5);
      ASSERT_NE(more, 0);
      if (more == kTooManyCalls) {
        ++tooMany;
        continue;
      }
      needed.push_back(more);
      std::vector<CallCount> all = counts[0];
      for (const CallCount& c : lab.calls(rng, rate, more)) all.push_back(c);
      const RateInterval after = rateInterval(all, day);
      Group g;
      g.calls = g.complete = static_cast<int>(all.size());
      g.intervals[0] = {100 * after.low, 100 * after.high};
      std::string why;
      settled += groupVerdict(g, limits, why) != GroupVerdict::Undetermined;
    }
    std::sort(needed.begin(), needed.end());
    const int tried = undetermined - tooMany;
    std::printf("true %.2f %%: %d of %d undetermined 5-call conditions settled by the calls said to be needed "
                "(median %d more); %d said to need more than %d\n",
                100 * rate, settled, tried, needed.empty() ? 0 : needed[needed.size() / 2], tooMany, kMostCallsNeeded);
    ASSERT_GE(tried, 20) << rate;
    EXPECT_GE(settled, tried / 2) << rate;
  }
}

TEST(Intervals, CleanCallsGiveAnIntervalOfSomeWidthThatNarrowsWithMoreCalls) {
  const Dispersion day;  // the defaults
  const RateInterval one = rateInterval({{0, 216}}, day);
  EXPECT_EQ(one.low, 0.0);
  // Above the exact bound of 216 independent characters (1.69 %): errors come in runs.
  EXPECT_GT(one.high, 0.0169);
  std::vector<CallCount> thirty(30, {0, 216});
  const RateInterval many = rateInterval(thirty, day);
  EXPECT_GT(many.high, 3.69 / (30 * 216));
  EXPECT_LT(many.high, one.high / 5);
  EXPECT_LT(many.high, 0.01);
}

TEST(Intervals, NeverNarrowerThanTheExactIntervalOnTheCharactersAlone) {
  // The exact Poisson interval of 12 errors in 2,000 characters: 0.310 % to 1.048 %.
  Dispersion calm;
  calm.burst = 1.0;
  calm.between = 0.1;
  const RateInterval i = rateInterval({{4, 700}, {4, 650}, {4, 650}}, calm);
  EXPECT_LE(i.low, 0.00310);
  EXPECT_GE(i.high, 0.01048);
  EXPECT_GT(i.low, 0.0);
  // Calls far apart widen it beyond what the day's figures say.
  const RateInterval apart = rateInterval({{0, 700}, {0, 650}, {12, 650}}, calm);
  EXPECT_GT(apart.high - apart.low, 1.5 * (i.high - i.low));
}

TEST(Intervals, TheDaysDispersionIsFoundFromItsCalls) {
  std::mt19937_64 rng(11);
  const Lab lab{0.5, 2.0};  // burst 2·2 − 1 = 3, between 0.25
  std::vector<std::vector<CallCount>> conditions;
  for (int c = 0; c < 60; ++c) conditions.push_back(lab.calls(rng, 0.002 + 0.001 * (c % 30), 20));
  const Dispersion d = estimateDispersion(conditions);
  EXPECT_EQ(d.calls, 1200);
  EXPECT_NEAR(d.burst, 3.0, 1.0);
  EXPECT_NEAR(d.between, 0.25, 0.1);
  // Too little to go on: the defaults.
  const Dispersion few = estimateDispersion({lab.calls(rng, 0.01, 5)});
  EXPECT_EQ(few.calls, 0);
  EXPECT_EQ(few.burst, kDefaultBurst);
  EXPECT_EQ(few.between, kDefaultBetween);
}

TEST(Intervals, NumericalPiecesAgreeWithTables) {
  EXPECT_NEAR(normalQuantile(0.975), 1.959964, 1e-6);
  EXPECT_NEAR(studentQuantile(1, 0.975), 12.7062, 1e-4);
  EXPECT_NEAR(studentQuantile(10, 0.975), 2.2281, 1e-4);
  EXPECT_NEAR(studentQuantile(39.5, 0.975), 2.0221, 1e-3);
  EXPECT_NEAR(regularizedGammaP(1, 2), 1 - std::exp(-2.0), 1e-12);
  EXPECT_NEAR(regularizedGammaP(5, 3), 1 - std::exp(-3.0) * 16.375, 1e-12);  // Poisson(3) at least 5
  EXPECT_NEAR(regularizedGammaP(2, 10), 1 - 11 * std::exp(-10.0), 1e-12);
  EXPECT_NEAR(regularizedGammaP(3, 30), 1.0, 1e-9);
  EXPECT_NEAR(regularizedBeta(2, 3, 0.4), 0.5248, 1e-4);
  EXPECT_NEAR(regularizedBeta(0.5, 0.5, 0.5), 0.5, 1e-12);
  EXPECT_NEAR(regularizedBeta(30, 1, 0.95), std::pow(0.95, 30), 1e-12);
}

}  // namespace
}  // namespace fieldreport
