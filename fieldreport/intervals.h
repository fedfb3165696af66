// SPDX-License-Identifier: Apache-2.0
#pragma once
// Confidence intervals for a pooled character error rate whose errors come in bursts within a call
// and whose rate varies from call to call. See docs/fieldreport.md ("Intervals") for the method.
#include <vector>

namespace fieldreport {

// One call's count for one rate: characters in error and characters counted, and the day it was
// made (any number that is the same for calls of the same day).
struct CallCount {
  double errors = 0, chars = 0;
  long long day = 0;
};

// How the errors of a day vary: the variance of a call's error count with N characters at a rate
// p is burst·p·N + between·(p·N)². burst is the variance of a call's count over its mean when
// the rate is fixed (errors come in runs: a lost shift garbles a word); between is the squared
// coefficient of variation of the rate from call to call (one call fades, the next is clean).
// Over several days a third figure: betweenDays, the squared coefficient of variation of the
// rate from day to day, adds betweenDays·(p·N_day)² for each day's N_day characters. It is 0 when
// the intervals are for the day tested (one day's captures cannot show it).
struct Dispersion {
  double burst = 5.0;
  double between = 1.0;
  int calls = 0;  // calls the estimate rests on; 0 when these are the defaults
  double betweenDays = 0.0;
  int dayCalls = 0;  // calls of conditions tested on several days betweenDays rests on; 0: assumed
};

// The defaults: runs of three characters on average (geometric: burst = 2·3 − 1) and rates that
// vary between calls about as much as their mean (coefficient of variation 1).
inline constexpr double kDefaultBurst = 5.0, kDefaultBetween = 1.0;

// The common dispersion of the day's conditions (each inner vector one condition), by the method
// of moments on the calls' residuals from their condition's pooled rate, each call's square
// bounded by kResidualCap times what the defaults predict, so that one condition's outlier stays
// its own. Conditions of one call
// tell nothing about the spread and are left out. A figure fitted below its default is shrunk
// toward it, the default counting as kDefaultWeightCalls calls (a few calls' fit is biased low);
// one above is kept. Neither is ever below kMinBurst and kMinBetween. With too
// little to go on (fewer than kMinDispersionCalls calls in conditions with errors), the defaults.
// It is the prior of each condition's own dispersion (rateInterval).
inline constexpr int kMinDispersionCalls = 20;
inline constexpr double kResidualCap = 30.0;
inline constexpr double kDefaultWeightCalls = 30.0;
inline constexpr double kMinBurst = 2.0, kMinBetween = 0.1;
Dispersion estimateDispersion(const std::vector<std::vector<CallCount>>& conditions);

// The weight of the common dispersion against a condition's own spread, in calls.
inline constexpr double kPriorCalls = 10.0;

// A condition's own dispersion: the common one times how much more its calls differ than the
// common figures predict (never less: a condition is not taken as calmer than the day), that
// ratio weighed against the common figures as kPriorCalls calls. `calls` is the condition's.
Dispersion conditionDispersion(const std::vector<CallCount>& calls, const Dispersion& common);

// The day-to-day figure over the days of the calls, from the conditions tested on two days or
// more: each day's squared residual from its condition's pooled rate, less what the calls'
// own dispersion explains, against (p·N_day)². Shrunk toward kDefaultBetweenDays as if that
// were kDefaultWeightDays days, and never below kMinBetweenDays. Returns `common` with
// betweenDays set; when the calls are all of one day, `common` as it is (betweenDays 0).
inline constexpr double kDefaultBetweenDays = 0.25;  // rates varying by 50 % from day to day
inline constexpr double kDefaultWeightDays = 6.0, kMinBetweenDays = 0.02;
Dispersion withBetweenDays(const std::vector<std::vector<CallCount>>& conditions, const Dispersion& common);

struct RateInterval {
  double low = 0, high = 0;  // as fractions (0.01 is 1 %)
};

// A two-sided interval (level 0.95 by default) for the condition's rate: the expected errors
// per character counted over calls like these, on the days tested (betweenDays 0) or over days
// like them. The dispersion is the condition's own (conditionDispersion), from `common`. Never
// of zero width; wider than any binomial interval on the characters alone.
RateInterval rateInterval(const std::vector<CallCount>& calls, const Dispersion& dispersion,
                          double level = 0.95);

// Numerical pieces, exposed for their tests.
double regularizedGammaP(double a, double x);          // lower regularized incomplete gamma
double regularizedBeta(double a, double b, double x);  // regularized incomplete beta
double studentQuantile(double degreesOfFreedom, double probability);
double normalQuantile(double probability);

}  // namespace fieldreport
