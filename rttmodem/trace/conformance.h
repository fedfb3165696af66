// SPDX-License-Identifier: Apache-2.0
#pragma once
// The rules a far end's real-time text is judged by, from the wire trace of a call: each rule has
// its clause, and each judgement its verdict (pass, warn, fail, or not exercised when the call did
// not put the rule to the test) with the evidence: packets by their number among the far end's
// packets, their sequence numbers, times and trace lines. Only the far end is judged: what a trace
// says of our own side is the reference the far end is held to.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "wire_trace.h"

namespace rttmodem::trace {

enum class Verdict { NotExercised, Pass, Warn, Fail };
// "pass", "warn", "fail", "not exercised"
std::string_view verdictName(Verdict v);

struct Rule {
  std::string_view id;      // "red.sent"
  std::string_view title;   // what the far end must do
  std::string_view clause;  // where the requirement comes from
};
// Every rule, in the order the reports list them.
const std::vector<Rule>& rules();

struct RuleResult {
  const Rule* rule = nullptr;
  Verdict verdict = Verdict::NotExercised;
  std::string summary;                // one line: what was looked at, what was found
  std::vector<std::string> evidence;  // the packets or messages behind a warning or a failure
  std::size_t moreEvidence = 0;       // items left out of evidence (it keeps the first few)
};

// The thresholds the rules use, named so that the documentation and the tests can quote them.
namespace limits {
inline constexpr int kIntervalMinMs = 300;
inline constexpr int kIntervalMaxMs = 500;
inline constexpr int kIntervalWarnMs = 330;
inline constexpr int kIntervalToleranceMs = 20;  // clock granularity of the far end's timer
inline constexpr int kIdleMs = 1500;             // a silence this long is idle: the next packet needs M
inline constexpr int kCpsWindowMs = 10000;
inline constexpr double kCpsTolerance = 1.05;  // arrival jitter squeezes a window a little
inline constexpr int kClockMinSpanMs = 2000;
inline constexpr double kClockTolerance = 0.05;
inline constexpr int kStreamGoesOnMs = 12000;  // a live stream sends within this (keep-alives every 10 s)
inline constexpr std::size_t kEvidenceItems = 6;
}  // namespace limits

// Every rule judged on one call's trace, in rules() order.
std::vector<RuleResult> judge(const Trace& trace);

// Verdicts of several rules (or calls) together: the worst, where not exercised counts least.
Verdict worst(Verdict a, Verdict b);

}  // namespace rttmodem::trace
