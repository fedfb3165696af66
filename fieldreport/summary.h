// SPDX-License-Identifier: Apache-2.0
#pragma once
// The summary by test condition: pooled rates, their intervals and a verdict for each condition.
#include <string>
#include <string_view>
#include <vector>

#include "report.h"

namespace fieldreport {

// The record's value for a field named as on its value line (TYPE, DEVICE, PHONEMODEL), in any
// case and with or without underscores (phone_model); "" when the record has no such line.
std::string fieldValue(const fieldtext::Record& record, std::string_view field);

// The key a field name stands for: PHONEMODEL for phone_model.
std::string fieldKey(std::string_view field);

struct Summary {
  std::vector<Group> groups;
  std::array<Dispersion, 4> dispersion;  // the common figures, for each of kRates
  std::vector<long long> days;           // the days of the calls (days since 1970), in order
};

// Groups the records by the values of `fields`, in the order of those values. A call counts in
// every group that holds one of its records; its verdict there is that of those records. Each
// rate's interval rests on the calls' counts and the group's own dispersion of that rate, shrunk
// toward the common figures estimated from the complete calls of all groups (intervals.h); over
// several days, with the day-to-day term. A group's verdict: fail when one of its calls is
// incomplete or an interval lies wholly above its limit; pass when every interval lies below its limit and it
// has at least kMinCallsToPass calls; otherwise undetermined. The intervals are found on `jobs`
// threads.
Summary summarize(const std::vector<ScoredRecord>& records, const std::vector<Call>& calls,
                  const std::vector<std::string>& fields, const std::vector<Limit>& limits,
                  unsigned jobs = 1);

// How many more calls would likely settle a condition of `calls` calls, all complete, whose
// counts of each of kRates are `counts` (one for each call): the fewest further calls, each of
// its calls' average length at its pooled rate (so its own dispersion stays as it is), after
// which its verdict is pass or fail. 0 when it is settled already, kTooManyCalls beyond
// kMostCallsNeeded.
inline constexpr double kSettleLevel = 0.99;
int callsToSettle(const std::array<std::vector<CallCount>, 4>& counts, const std::array<Dispersion, 4>& common,
                  const std::vector<Limit>& limits, int calls);

// What an undetermined condition's callsNeeded says, for the verdict's cell: "12 more calls would
// likely settle it"; "" when it is settled.
std::string callsNeededText(const Group& group);

// A condition's verdict from its figures, and why in a few words.
GroupVerdict groupVerdict(const Group& group, const std::vector<Limit>& limits, std::string& why);

}  // namespace fieldreport
