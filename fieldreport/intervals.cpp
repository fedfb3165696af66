// SPDX-License-Identifier: Apache-2.0
#include "intervals.h"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace fieldreport {
namespace {

constexpr double kEpsilon = 1e-14;
constexpr int kIterations = 500;

// log Γ(x) for x > 0. std::lgamma sets the global signgam, so the groups' intervals, found on
// several threads at once, would race on it; lgamma_r gives the sign back instead.
double logGamma(double x) {
  int sign = 0;
  return ::lgamma_r(x, &sign);
}

// Continued fraction of the upper incomplete gamma function (modified Lentz).
double gammaContinuedFraction(double a, double x) {
  const double tiny = 1e-300;
  double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int i = 1; i < kIterations; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < kEpsilon) break;
  }
  return std::exp(-x + a * std::log(x) - logGamma(a)) * h;
}

// Continued fraction of the incomplete beta function (modified Lentz).
double betaContinuedFraction(double a, double b, double x) {
  const double tiny = 1e-300;
  double c = 1.0, d = 1.0 - (a + b) * x / (a + 1.0);
  if (std::fabs(d) < tiny) d = tiny;
  d = 1.0 / d;
  double h = d;
  for (int m = 1; m < kIterations; ++m) {
    const double m2 = 2.0 * m;
    double aa = m * (b - m) * x / ((a + m2 - 1.0) * (a + m2));
    d = 1.0 + aa * d;
    if (std::fabs(d) < tiny) d = tiny;
    c = 1.0 + aa / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    h *= d * c;
    aa = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0));
    d = 1.0 + aa * d;
    if (std::fabs(d) < tiny) d = tiny;
    c = 1.0 + aa / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < kEpsilon) break;
  }
  return h;
}

}  // namespace

double regularizedGammaP(double a, double x) {
  if (x <= 0) return 0.0;
  if (a <= 0) return 1.0;
  if (x < a + 1.0) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n < kIterations; ++n) {
      term *= x / (a + n);
      sum += term;
      if (std::fabs(term) < std::fabs(sum) * kEpsilon) break;
    }
    return std::min(1.0, sum * std::exp(-x + a * std::log(x) - logGamma(a)));
  }
  return std::max(0.0, 1.0 - gammaContinuedFraction(a, x));
}

double regularizedBeta(double a, double b, double x) {
  if (x <= 0) return 0.0;
  if (x >= 1) return 1.0;
  const double front =
      std::exp(logGamma(a + b) - logGamma(a) - logGamma(b) + a * std::log(x) + b * std::log1p(-x));
  if (x < (a + 1.0) / (a + b + 2.0)) return std::clamp(front * betaContinuedFraction(a, b, x) / a, 0.0, 1.0);
  return std::clamp(1.0 - front * betaContinuedFraction(b, a, 1.0 - x) / b, 0.0, 1.0);
}

double normalQuantile(double p) {
  // Bisection on the distribution function: slow but plain, and called a few times per report.
  double lo = -40, hi = 40;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (lo + hi);
    (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

double studentQuantile(double df, double p) {
  if (p == 0.5) return 0.0;
  auto cdf = [df](double t) {
    const double tail = 0.5 * regularizedBeta(df / 2.0, 0.5, df / (df + t * t));
    return t > 0 ? 1.0 - tail : tail;
  };
  double lo = -1e6, hi = 1e6;
  for (int i = 0; i < 300; ++i) {
    const double mid = 0.5 * (lo + hi);
    (cdf(mid) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

namespace {

// Tail probabilities of a count whose mean is m and whose variance is m + m²/r (a negative
// binomial: Poisson counts whose mean varies as a gamma variable), at a possibly fractional k.
// r = infinity is the Poisson count.
double countAtMost(double k, double m, double r) {
  if (k < 0) return 0.0;
  if (!std::isfinite(r)) return 1.0 - regularizedGammaP(k + 1.0, m);
  return regularizedBeta(r, k + 1.0, r / (r + m));
}

double countAtLeast(double k, double m, double r) {
  if (k <= 0) return 1.0;
  if (!std::isfinite(r)) return regularizedGammaP(k, m);
  return regularizedBeta(k, r, m / (r + m));
}

}  // namespace

Dispersion estimateDispersion(const std::vector<std::vector<CallCount>>& conditions) {
  // Each call's squared residual from its condition's pooled rate, times n / (n - 1) for the
  // rate being estimated from the same calls, estimates burst·p·N + between·(p·N)². Weighted
  // least squares over the calls (weights 1 / variance², as the squares of residuals have) gives
  // the two figures; the weights need the figures, so rounds from the defaults. A call's square is
  // taken at most kResidualCap times what the default figures predict for it (a bound that does
  // not grow with the fit it feeds): one faded call is its own condition's spread (rateInterval
  // takes it there), not every condition's.
  struct Point {
    double y, x1, x2;
  };
  std::vector<Point> points;
  for (const auto& group : conditions) {
    const std::size_t n = group.size();
    if (n < 2) continue;
    double e = 0, chars = 0;
    for (const CallCount& c : group) e += c.errors, chars += c.chars;
    if (e <= 0 || chars <= 0) continue;
    const double p = e / chars;
    const double correction = static_cast<double>(n) / static_cast<double>(n - 1);
    for (const CallCount& c : group) {
      if (c.chars <= 0) continue;
      const double r = c.errors - p * c.chars;
      points.push_back({correction * r * r, p * c.chars, p * p * c.chars * c.chars});
    }
  }
  Dispersion d;
  if (static_cast<int>(points.size()) < kMinDispersionCalls) return d;
  double burst = kDefaultBurst, between = kDefaultBetween;
  for (int round = 0; round < 2; ++round) {
    double s11 = 0, s12 = 0, s22 = 0, t1 = 0, t2 = 0;
    for (const Point& pt : points) {
      const double v = burst * pt.x1 + between * pt.x2;
      const double w = 1.0 / (v * v);
      const double y = std::min(pt.y, kResidualCap * (kDefaultBurst * pt.x1 + kDefaultBetween * pt.x2));
      s11 += w * pt.x1 * pt.x1;
      s12 += w * pt.x1 * pt.x2;
      s22 += w * pt.x2 * pt.x2;
      t1 += w * pt.x1 * y;
      t2 += w * pt.x2 * y;
    }
    const double det = s11 * s22 - s12 * s12;
    if (!(det > 0)) break;
    double b = (t1 * s22 - t2 * s12) / det, c = (s11 * t2 - s12 * t1) / det;
    if (b < 1.0) {
      b = 1.0;
      c = (t2 - s12 * b) / s22;
    }
    if (c < 0.1) {
      c = 0.1;
      b = std::max(1.0, (t1 - s12 * c) / s11);
    }
    burst = b;
    between = c;
  }
  // A fit below the defaults is shrunk toward them as if they were kDefaultWeightCalls calls (on
  // a log scale: the figures are factors), and none is below the floors. A few calls' fit is
  // biased low and often sits at burst 1; that would take every condition of the day as calmer
  // than lines are. A fit above the defaults is kept: shrinking it would narrow the intervals of
  // a day whose errors do come in long runs.
  const double m = static_cast<double>(points.size());
  auto shrink = [m](double fitted, double prior) {
    if (fitted >= prior) return fitted;
    return std::exp((kDefaultWeightCalls * std::log(prior) + m * std::log(fitted)) / (kDefaultWeightCalls + m));
  };
  d.calls = static_cast<int>(points.size());
  d.burst = std::max(kMinBurst, shrink(burst, kDefaultBurst));
  d.between = std::max(kMinBetween, shrink(between, kDefaultBetween));
  return d;
}

Dispersion conditionDispersion(const std::vector<CallCount>& calls, const Dispersion& common) {
  double errors = 0, chars = 0, squares = 0;
  for (const CallCount& c : calls) {
    errors += c.errors;
    chars += c.chars;
    squares += c.chars * c.chars;
  }
  const double n = static_cast<double>(calls.size());
  double spread = 1.0;
  if (calls.size() >= 2 && errors > 0 && chars > 0) {
    const double rate = errors / chars;
    double residuals = 0;
    for (const CallCount& c : calls) residuals += (c.errors - rate * c.chars) * (c.errors - rate * c.chars);
    const double observed = n / (n - 1.0) * residuals;
    const double model = common.burst * rate * chars + common.between * rate * rate * squares;
    spread = std::max(1.0, observed / model);
  }
  const double weight = calls.empty() ? 1.0 : (kPriorCalls + (n - 1.0) * spread) / (kPriorCalls + n - 1.0);
  Dispersion own = common;
  own.burst *= weight;
  own.between *= weight;
  return own;
}

namespace {

// A condition's calls summed by day: the day's errors, characters and the calls' squared
// characters.
struct DayCount {
  double errors = 0, chars = 0, squares = 0;
};

std::vector<DayCount> byDay(const std::vector<CallCount>& calls) {
  std::vector<std::pair<long long, DayCount>> days;
  for (const CallCount& c : calls) {
    auto it = std::find_if(days.begin(), days.end(), [&](const auto& d) { return d.first == c.day; });
    if (it == days.end()) it = days.insert(days.end(), {c.day, DayCount{}});
    it->second.errors += c.errors;
    it->second.chars += c.chars;
    it->second.squares += c.chars * c.chars;
  }
  std::vector<DayCount> out;
  for (const auto& [day, count] : days) out.push_back(count);
  return out;
}

}  // namespace

Dispersion withBetweenDays(const std::vector<std::vector<CallCount>>& conditions, const Dispersion& common) {
  std::vector<long long> days;
  for (const auto& group : conditions)
    for (const CallCount& c : group)
      if (std::find(days.begin(), days.end(), c.day) == days.end()) days.push_back(c.day);
  Dispersion d = common;
  if (days.size() < 2) return d;
  // Method of moments as for the calls, one point a day of each condition tested on several.
  double sxy = 0, sxx = 0, points = 0;
  int calls = 0;
  for (const auto& group : conditions) {
    const std::vector<DayCount> perDay = byDay(group);
    if (perDay.size() < 2) continue;
    double e = 0, chars = 0;
    for (const DayCount& c : perDay) e += c.errors, chars += c.chars;
    if (e <= 0 || chars <= 0) continue;
    const double p = e / chars;
    const Dispersion own = conditionDispersion(group, common);
    const double m = static_cast<double>(perDay.size());
    for (const DayCount& c : perDay) {
      const double r = c.errors - p * c.chars;
      const double within = own.burst * p * c.chars + own.between * p * p * c.squares;
      const double x = p * p * c.chars * c.chars;
      // Weights 1 / variance², the variance taken at the default day-to-day figure.
      const double v = within + kDefaultBetweenDays * x;
      const double w = 1.0 / (v * v);
      sxy += w * x * (m / (m - 1.0) * r * r - within);
      sxx += w * x * x;
      points += 1;
    }
    calls += static_cast<int>(group.size());
  }
  double fitted = kDefaultBetweenDays;
  if (points > 0 && sxx > 0) fitted = std::max(0.0, sxy / sxx);
  d.betweenDays = std::max(kMinBetweenDays, (kDefaultWeightDays * kDefaultBetweenDays + points * fitted) /
                                                (kDefaultWeightDays + points));
  d.dayCalls = points > 0 ? calls : 0;
  return d;
}

RateInterval rateInterval(const std::vector<CallCount>& calls, const Dispersion& common, double level) {
  const double alpha = 1.0 - level;
  double errors = 0, chars = 0, squares = 0;
  for (const CallCount& c : calls) {
    errors += c.errors;
    chars += c.chars;
    squares += c.chars * c.chars;
  }
  if (chars <= 0) return {0.0, 1.0};
  const double n = static_cast<double>(calls.size());

  // The condition's own figures; their uncertainty, as a variance estimated on
  // kPriorCalls + n - 1 degrees of freedom, widens the interval by (t / z)².
  const Dispersion own = conditionDispersion(calls, common);
  const double df = kPriorCalls + n - 1.0;
  const double z = normalQuantile(1.0 - alpha / 2.0), t = studentQuantile(df, 1.0 - alpha / 2.0);
  const double inflation = (t / z) * (t / z);

  // The count in units of a run of errors: errors / c ~ negative binomial with mean chars·p / c
  // and size r, so that its variance is burst·p·N + between·(p·N)² (+ betweenDays·(p·N_day)²
  // for each day), inflated.
  double daySquares = 0;
  if (own.betweenDays > 0)
    for (const DayCount& d : byDay(calls)) daySquares += d.chars * d.chars;
  const double c = std::max(1.0, inflation * own.burst);
  const double between = inflation * (own.between * squares + own.betweenDays * daySquares) / (chars * chars);
  const double r = between > 0 ? 1.0 / between : std::numeric_limits<double>::infinity();
  const double k = errors / c;
  auto mean = [&](double p) { return chars * p / c; };
  const double rate = errors / chars;

  RateInterval out;
  const double half = alpha / 2.0;
  // Upper end: the largest rate under which so few errors are not too unlikely.
  double lo = rate, hi = std::max(rate * 2.0, 1.0 / chars);
  const double cap = 1e6;
  while (hi < cap && countAtMost(k, mean(hi), r) > half) hi *= 2.0;
  if (hi >= cap) {
    out.high = std::numeric_limits<double>::infinity();
  } else {
    for (int i = 0; i < 100; ++i) {
      const double mid = 0.5 * (lo + hi);
      (countAtMost(k, mean(mid), r) > half ? lo : hi) = mid;
    }
    out.high = hi;
  }
  // Lower end: the smallest rate under which so many errors are not too unlikely.
  if (errors > 0) {
    lo = 0;
    hi = rate;
    for (int i = 0; i < 100; ++i) {
      const double mid = 0.5 * (lo + hi);
      (countAtLeast(k, mean(mid), r) < half ? lo : hi) = mid;
    }
    out.low = lo;
  }
  return out;
}

}  // namespace fieldreport
