// SPDX-License-Identifier: Apache-2.0
#pragma once
// The times of every character of a day's calls, from the timing files beside the captures,
// turned into figures per turn, call and condition: how long each side took to start its reply,
// how fast each turn flowed, what was lost at its start, and how long each character took from
// one end to the other (docs/fieldreport.md defines each).
#include <optional>
#include <string>
#include <vector>

#include "calls.h"
#include "report.h"
#include "scoring.h"
#include "timing.h"

namespace fieldreport {

// The middle of the values (the mean of the two middle ones for an even number), the 95th
// percentile by nearest rank (the smallest value with at least 95 % of them at or below it) and
// the largest; nothing for no values.
struct Spread {
  std::size_t count = 0;
  double median = 0, p95 = 0, max = 0;
};
std::optional<Spread> spreadOf(std::vector<double> values);

// What one record brings to the timing figures.
struct TimingInput {
  const Texts* texts = nullptr;  // the texts it was scored on
  const Script* script = nullptr;
  fieldtext::Side farEnd = fieldtext::Side::Even;
  bool handTyped = false;                      // its far end typed by hand (how its reference was made)
  std::optional<int> callNumber;               // {call} in its reference
  bool ownHandTyped = false;                   // its own turns were typed by hand (a Q-90 or a Supercom here)
  const timing::RecordTimes* times = nullptr;  // its own times; nothing without
  std::string computer;                        // COMPUTERID
};

struct TimingFigures {
  std::vector<std::vector<TurnTiming>> turns;  // for each record: every turn of its call, in order
  std::vector<CallClock> calls;                // for each call
  std::vector<TimingClock> clocks;             // each pair of computers with timed calls together
};

// The figures of every call with times at one end or both. A call's clock difference is
// estimated from its two directions (the median raw delay one way less the median the other
// way, halved, as NTP does with symmetric paths); a call with times at both ends but characters
// in only one direction takes the median of its computers' other calls; --clock-offset for
// either computer replaces the estimate. Runs on `jobs` threads.
TimingFigures timingFigures(const std::vector<TimingInput>& records, const std::vector<Call>& calls,
                            const ClockOffsets& given, unsigned jobs = 1);

// The one-way delays of the characters a record received (all its far end's turns), and the
// reply delays of its own turns.
std::vector<double> receivedDelays(const ScoredRecord& record);
std::vector<double> ownReplyDelays(const ScoredRecord& record);

}  // namespace fieldreport
